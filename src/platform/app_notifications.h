// What the program needs from a desktop notification centre, shaped like the
// Windows App SDK projection so the calling code reads the same on every port.
//
// Exactly one implementation is linked into a program: the freedesktop
// notification service over D-Bus (posix/dbus/), the in-memory centre the
// tests use (fake/), and on Windows the Windows App SDK through the WinRT ABI
// (windows/). Each defines the Impl structures declared here; there is no
// runtime switch.
//
// Texts cross this seam as UTF-16. Every failure is raised as HResultError
// carrying the platform's result code. Objects are counted handles: copies
// share the same platform object.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace activator {

using HResult = int32_t;

// Result codes the ports and tests use by name.
inline constexpr HResult kHrFail = static_cast<HResult>(0x80004005);    // E_FAIL
inline constexpr HResult kHrBounds = static_cast<HResult>(0x8000000B);  // E_BOUNDS
inline constexpr HResult kHrIllegalMethodCall = static_cast<HResult>(0x8000000E);
inline constexpr HResult kHrInvalidArg = static_cast<HResult>(0x80070057);  // E_INVALIDARG
inline constexpr HResult kHrTimeout =
    static_cast<HResult>(0x800705B4);  // HRESULT_FROM_WIN32(ERROR_TIMEOUT)
inline constexpr HResult kHrCancelled =
    static_cast<HResult>(0x800704C7);  // HRESULT_FROM_WIN32(ERROR_CANCELLED)
inline constexpr HResult kHrNotConnected =
    static_cast<HResult>(0x800708CA);  // HRESULT_FROM_WIN32(ERROR_NOT_CONNECTED)

// True for the failures that mean no notification service answered: none is
// running, it did not answer in time, or the connection to it is lost. A show
// that failed this way may succeed once the service is back
// (AppNotificationManager::WaitForService). Any other failure is the
// service's own answer, such as a refusal, and showing again will not help.
inline constexpr bool IsServiceUnavailable(HResult code) noexcept {
  return code == kHrNotConnected || code == kHrTimeout;
}

// A failure of the notification platform.
class HResultError : public std::runtime_error {
 public:
  explicit HResultError(HResult code, const std::string& what = "notification platform error")
      : std::runtime_error(what), code_(code) {}
  HResult code() const noexcept { return code_; }

 private:
  HResult code_;
};

// An address, such as the hero image's "file:///..." address.
class Uri {
 public:
  explicit Uri(std::u16string_view address);
  struct Impl;
  const std::shared_ptr<Impl>& impl() const { return impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};

// A button of a notification. Its arguments come back unchanged, as a key to
// value map, when the user clicks it.
class AppNotificationButton {
 public:
  explicit AppNotificationButton(std::u16string_view content);
  AppNotificationButton& AddArgument(std::u16string_view key, std::u16string_view value);
  struct Impl;
  const std::shared_ptr<Impl>& impl() const { return impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};

// What a notification's progress bar shows: the bar's status and value are
// bound to it, so an update changes them in place. The platform ignores data
// whose sequence number is lower than that of the data it shows.
struct AppNotificationProgressData {
  uint32_t sequence_number = 0;
  std::u16string status;  // the text beside the bar
  double value = 0;       // 0 to 1
};

// How an update of a notification's progress data ended.
enum class AppNotificationProgressResult {
  kSucceeded,
  kNotificationNotFound,  // no notification with that tag and group is in the centre
};

// A progress bar whose status and value come from the notification's progress
// data (AppNotification::SetProgress, AppNotificationManager::UpdateProgress).
class AppNotificationProgressBar {
 public:
  AppNotificationProgressBar();
  struct Impl;
  const std::shared_ptr<Impl>& impl() const { return impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};

// A built notification, or one listed from the centre.
class AppNotification {
 public:
  std::u16string Tag() const;
  std::u16string Group() const;
  // The data its progress bar shows when it is shown.
  void SetProgress(const AppNotificationProgressData& data);
  // Shown without a banner: it replaces its predecessor where that stands,
  // or goes straight to the centre's list, without popping up again.
  void SetSuppressDisplay(bool suppress);
  struct Impl;
  explicit AppNotification(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
  const std::shared_ptr<Impl>& impl() const { return impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};

// Collects a notification's content; each call adds to the same builder and
// text lines appear in the order they were added.
class AppNotificationBuilder {
 public:
  AppNotificationBuilder();
  AppNotificationBuilder& SetHeroImage(const Uri& image);
  AppNotificationBuilder& SetTag(std::u16string_view tag);
  AppNotificationBuilder& SetGroup(std::u16string_view group);
  AppNotificationBuilder& AddText(std::u16string_view text);
  AppNotificationBuilder& AddButton(const AppNotificationButton& button);
  AppNotificationBuilder& AddProgressBar(const AppNotificationProgressBar& bar);
  // A small line of its own below the texts.
  AppNotificationBuilder& SetAttributionText(std::u16string_view text);
  AppNotification BuildNotification();
  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// The arguments of the clicked button. Lookup raises when the key is absent.
class AppNotificationArguments {
 public:
  explicit AppNotificationArguments(std::map<std::u16string, std::u16string> values)
      : values_(std::move(values)) {}
  std::u16string Lookup(const std::u16string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) throw HResultError(kHrBounds, "argument not found");
    return it->second;
  }
  bool HasKey(const std::u16string& key) const { return values_.count(key) != 0; }
  const std::map<std::u16string, std::u16string>& values() const { return values_; }

 private:
  std::map<std::u16string, std::u16string> values_;
};

// What a click hands the invocation handler.
class AppNotificationActivatedEventArgs {
 public:
  AppNotificationArguments Arguments() const;
  struct Impl;
  explicit AppNotificationActivatedEventArgs(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
  const std::shared_ptr<Impl>& impl() const { return impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};

// The pending result of GetAllAsync.
class AppNotificationListOperation {
 public:
  // Waits for the listing: this application's notifications now in the
  // centre, in the platform's order. Raises when the listing fails, is
  // cancelled, or does not complete within `limit` (kHrTimeout).
  std::vector<AppNotification> get(std::chrono::milliseconds limit) const;
  struct Impl;
  explicit AppNotificationListOperation(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

 private:
  std::shared_ptr<Impl> impl_;
};

class AppNotificationManager;

// Called on a thread of the platform's choosing, once per click.
using NotificationInvokedHandler = std::function<void(
    const AppNotificationManager& sender, const AppNotificationActivatedEventArgs& args)>;

// A change of what a port keeps across a restart of the program: (key, value)
// set, (key, nullopt) erased, ("", nullopt) everything erased.
using KeptEntrySink =
    std::function<void(const std::string& key, const std::optional<std::string>& value)>;
// Called on a thread of the platform's choosing when the centre says that one
// of this application's notifications closed (dismissed, expired, or taken
// away by a click), with its tag and group, each time once. Replacing a
// notification is not closing it.
using NotificationClosedHandler =
    std::function<void(const std::u16string& tag, const std::u16string& group)>;

// Where a centre draws this program's notifications, as far as the port
// knows the centre: the one it draws first is where a user looks, and what
// must be said about all of them (how many jobs wait) goes there.
struct CentreOrder {
  bool newest_first = true;  // else the oldest first
  // A notification shown again (replaced, not updated in place) is drawn as
  // a new one: the Windows centre moves it to the top. Otherwise it keeps
  // the place of its first show.
  bool replacement_is_new = true;
  // Critical notifications (the error form) come before all others.
  bool urgent_first = false;

  bool operator==(const CentreOrder&) const = default;
};

class AppNotificationManager {
 public:
  // The process's one manager.
  static AppNotificationManager Default();
  // False where the platform serves no notifications to this process (on
  // Windows, a process run elevated): every other call then does nothing and
  // reports success. Raises when the platform cannot be asked.
  static bool IsSupported();

  // Hands the port the entries it kept in a predecessor process, and where to
  // report its changes to them from now on. The D-Bus port keeps the server's
  // ids of the notifications it showed, which a new process could not learn
  // otherwise; the Windows port keeps nothing (tags replace by themselves).
  // Called once, before Register. The sink runs with the port's own lock
  // held: it must be quick and must not call the port.
  void ResumeKeptEntries(std::map<std::string, std::string> entries, KeptEntrySink sink) const;

  // Subscribes `handler` to clicks; the subscription is never revoked. Returns
  // the event token.
  int64_t NotificationInvoked(NotificationInvokedHandler handler) const;
  // Subscribes `handler` to the closings the centre reports; never revoked.
  // Not every platform reports them (the Windows App SDK does not): a
  // handler there is never called, and only a listing shows what is gone.
  int64_t NotificationClosed(NotificationClosedHandler handler) const;
  // Registers the application so that notifications can be shown and clicks
  // arrive.
  void Register() const;
  // Removes every registration the platform keeps for this program, for an
  // uninstall; afterwards a click on an old notification starts nothing.
  void UnregisterAll() const;
  // A key the platform's registration leaves behind after UnregisterAll,
  // and the platform's error code for deleting it (0: deleted).
  struct LeftoverKey {
    std::string key;
    uint32_t error = 0;
  };
  // Deletes what UnregisterAll leaves of this program's registration, as far
  // as it provably belongs to this program; call after UnregisterAll succeeds.
  std::vector<LeftoverKey> RemoveLeftovers() const;
  // The click that started this process, if it was started by one. The
  // platform hands that click here and never to the NotificationInvoked
  // handlers. Call only after a successful Register (on Windows the SDK ends
  // the process otherwise). A kHrTimeout failure means the click had not come
  // yet: a later call may still get it. A port whose platform starts no
  // program on a click has none.
  std::optional<AppNotificationActivatedEventArgs> LaunchingClick() const;
  // Shows the notification, replacing one with the same tag and group.
  void Show(const AppNotification& notification) const;
  // Replaces the progress data of the notification with this tag and group
  // in place, without showing it anew, and waits (at most kListingTimeLimit)
  // for the platform's answer. Raises on any failure.
  AppNotificationProgressResult UpdateProgress(const AppNotificationProgressData& data,
                                               std::u16string_view tag,
                                               std::u16string_view group) const;
  // Starts listing this application's notifications in the centre.
  AppNotificationListOperation GetAllAsync() const;
  // After a show failed with IsServiceUnavailable: waits, at most `limit`,
  // until the notification service answers again. True when it does. The
  // wait sleeps until the service comes back or looks for it now and then; it
  // never spins.
  bool WaitForService(std::chrono::milliseconds limit) const;
  // How the centre now serving draws notifications; the default order when
  // the port does not know it.
  CentreOrder DrawOrder() const;

  struct Impl;
  explicit AppNotificationManager(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
  const std::shared_ptr<Impl>& impl() const { return impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};

// How long a caller waits for a listing before treating it as failed. The
// platform gives no bound of its own, and a wait that never ends would stop
// whoever holds the display lock.
inline constexpr std::chrono::milliseconds kListingTimeLimit{10000};

}  // namespace activator
