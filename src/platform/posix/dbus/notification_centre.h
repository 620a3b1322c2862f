// The process's link to the freedesktop notification service
// (org.freedesktop.Notifications on the session bus).
//
// One bus connection carries the calls and the signals, because servers such
// as dunst send ActionInvoked and NotificationClosed only to the connection
// that called Notify. Its event loop runs on a thread of ours that survives the
// bus going away (the library's own loop thread would end the process); a lost
// connection is replaced on the next operation. No call waits longer than a few
// seconds, and nothing waits for a reply on the loop thread.
//
// Clicks are handed to the invocation sink on a dispatcher thread of ours
// (click_dispatcher.h). The connection and its calls are in bus_link.cpp, the
// server's signals in server_signals.cpp.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "platform/app_notifications.h"
#include "platform/posix/dbus/click_dispatcher.h"
#include "platform/posix/dbus/notify_payload.h"

namespace sdbus {
class Message;
class MethodCall;
class MethodReply;
}  // namespace sdbus

namespace activator::dbus {

// How long one bus call may take before it counts as failed.
inline constexpr std::chrono::milliseconds kCallTimeout{3000};
// How long a Notify that timed out is still listened for: a server that was
// only paused shows it when it wakes, and its id must then be known so the
// notification is counted, replaced and clicked like any other.
inline constexpr std::chrono::milliseconds kLateReplyWindow{120000};
// While no server answers, how often WaitForService looks for one (besides
// waking at once when the name gets an owner).
inline constexpr std::chrono::milliseconds kProbeInterval{1000};
// How long the notifications a predecessor process left on screen count as
// on screen without word from the server. Servers such as dunst send their
// closes only to the connection that showed, which ended with that process,
// and a count that never fell would hold places of the display limit for
// ever. They are still replaced and their clicks still taken afterwards.
inline constexpr std::chrono::milliseconds kAdoptedCountWindow{60000};

class NotificationCentre {
 public:
  using InvocationSink = ClickDispatcher::Sink;

  struct Listed {
    std::string tag;
    std::string group;
  };

  // The process's one centre; it is never destroyed.
  static NotificationCentre& Instance();

  // Where clicks go. Clicks that arrive with no sink set are dropped.
  void SetInvocationSink(InvocationSink sink);
  // Where the news goes that the server closed one of our notifications (the
  // one now shown under that tag and group, never an earlier one). Called on
  // the event loop thread, with no lock of the centre held.
  using ClosedSink = std::function<void(const std::string& tag, const std::string& group)>;
  void SetClosedSink(ClosedSink sink) EXCLUDES(mu_);

  // What a predecessor process kept (KeepEntries' entries), and where the
  // changes go from now on. Its notifications are taken over when the same
  // server, by its unique bus name, is found to own the service still: a
  // later form of a job then replaces its notification and a click on one is
  // taken. Call before Register.
  void ResumeKept(std::map<std::string, std::string> entries, KeptEntrySink sink) EXCLUDES(mu_);

  // Opens a new connection to the session bus (replacing any current one) and
  // checks that a notification server answers. Raises HResultError when the
  // bus or the server cannot be reached; the connection is kept when only the
  // server is missing, so later shows work as soon as one appears.
  void Register() EXCLUDES(connect_mu_, mu_);

  // Sends Notify and waits for the server's id, replacing the notification
  // shown earlier under the same tag and group. Raises HResultError on any
  // failure (no bus, no server, refusal, time-out). After a time-out it raises
  // kHrTimeout at once, without calling, until the server answers again: a
  // paused server would otherwise cost every caller the whole time-out.
  void Show(const NotificationContent& content) EXCLUDES(connect_mu_, mu_);

  // Shows the notification now shown under this tag and group again with its
  // progress bar at `progress` (0 to 100), replacing it in place. False when
  // none is shown there; true, sending nothing, when it has no bar. Raises as
  // Show does.
  bool UpdateProgress(const std::string& tag, const std::string& group, int progress)
      EXCLUDES(connect_mu_, mu_);

  // Waits, at most `limit` (and one probe), until a notification server
  // answers; true when one does. Wakes at once when the service name gets a
  // new owner, and asks the server every kProbeInterval meanwhile, never at
  // once: the caller has just seen it fail.
  bool WaitForService(std::chrono::milliseconds limit) EXCLUDES(connect_mu_, mu_);

  // How the server last named draws notifications (DrawOrderOfServer).
  CentreOrder DrawOrder() EXCLUDES(mu_);

  // This process's notifications that the server showed and has not closed,
  // oldest first. Raises HResultError when not even the bus can be reached.
  std::vector<Listed> List() EXCLUDES(connect_mu_, mu_);

 private:
  struct Link;
  struct CallState;
  struct PendingOpen;
  struct Shown {
    std::pair<std::string, std::string> key;  // tag, group
    std::set<std::string> action_keys;
    std::string body_click_key;  // what "default" stands for; empty: nothing
    // A body click on this form was passed on. GNOME Shell sends "default"
    // once per Notify the notification has had for a single click; buttons
    // are not repeated, and a button the server keeps on screen may be
    // clicked again.
    bool body_clicked = false;
    // Left by a predecessor process: counted on screen only until then.
    std::optional<std::chrono::steady_clock::time_point> counted_until;
    // What was sent, for a progress update; none for what a predecessor left.
    std::optional<NotificationContent> content;
  };
  // What a predecessor left, until the server is known.
  struct Inherited {
    std::string server;
    std::map<uint32_t, Shown> shown;
  };

  NotificationCentre();

  // The current link, or a new one when there is none or the current one is
  // `stale` (it failed under the caller). Raises when no connection opens.
  std::shared_ptr<Link> AcquireLink(const std::shared_ptr<Link>& stale, bool force_new)
      EXCLUDES(connect_mu_, mu_);
  // Opens a connection on a helper thread and waits for it at most
  // kCallTimeout: the library's handshake would wait 90 s for a bus that
  // accepted the connection and went quiet. Never more than one opening is
  // under way; one that outlives its caller is left to end on its own.
  std::shared_ptr<Link> OpenLinkBounded() REQUIRES(connect_mu_);
  std::shared_ptr<Link> OpenLink();
  // Stops using `link`: forgets what it showed and ends its event loop.
  void DropLink(const std::shared_ptr<Link>& link) EXCLUDES(mu_);
  void RunEventLoop(std::shared_ptr<Link> link) EXCLUDES(mu_);

  // Sends `call` without waiting; `on_reply` runs on the loop thread with a
  // successful reply, if one comes within `reply_window`, and whether the
  // caller had already given up on it (`late`). Raises HResultError when the
  // call cannot be sent.
  using ReplyHandler = std::function<void(sdbus::MethodReply& reply, bool late)>;
  // Never called with mu_ held: the loop thread's handlers take mu_ while the
  // link's dispatch lock, which the send takes, is held.
  std::shared_ptr<CallState> SendCall(Link& link, sdbus::MethodCall& call, ReplyHandler on_reply,
                                      std::chrono::milliseconds reply_window = kCallTimeout)
      EXCLUDES(mu_);
  // Waits (bounded) for the reply of SendCall and returns its sender's
  // unique name; raises on error or time-out.
  std::string AwaitReply(Link& link, CallState& state);
  // One GetServerInformation; true when a server answered, even with an
  // error of its own.
  bool ProbeServer() EXCLUDES(connect_mu_, mu_);
  // A server answered: it is responsive again.
  void NoteAnswer() EXCLUDES(mu_);

  // Event loop thread handlers. `link` identifies the connection they came on;
  // they change nothing unless it is still the current one.
  void OnServerSignal(Link* link, sdbus::Message& message) EXCLUDES(mu_);
  void OnOwnerChanged(Link* link, sdbus::Message& message) EXCLUDES(mu_);
  // `late`: the caller had given up waiting, so the answer says nothing of
  // the server answering in time.
  void RecordShown(Link* link, uint32_t id, Shown shown, const std::string& server, bool late)
      EXCLUDES(mu_);
  // What a server calls itself in GetServerInformation: MATE's server and
  // notification-daemon share the name.
  struct ServerName {
    std::string name;
    std::string vendor;
  };
  // `name`: what the server calls itself, when the answer said.
  void NoteServer(Link* link, const std::string& server,
                  const std::optional<ServerName>& name = std::nullopt) EXCLUDES(mu_);
  // The habits of the server now serving; asks it its name first when that
  // is not known yet.
  struct KnownServer {
    std::string server;  // the unique name the habits are of; empty: none known
    ServerHabits habits;
  };
  KnownServer CurrentServerHabits() EXCLUDES(connect_mu_, mu_);
  // One Notify of `content` written for `habits`; the unique name of the
  // server that answered, empty when nothing was sent (a replacement with
  // nothing left to replace).
  std::string SendNotify(const NotificationContent& content, const ServerHabits& habits)
      EXCLUDES(connect_mu_, mu_);
  void ForgetShown() REQUIRES(mu_);
  // The service is owned by `server` (empty: by nobody) from now on; takes
  // over what a predecessor showed there.
  void SetServer(const std::string& server) REQUIRES(mu_);
  // Reports the changes of server_ and shown_ to the keeper.
  void KeepServer() REQUIRES(mu_);
  void KeepShown(uint32_t id) REQUIRES(mu_);
  void KeepClosed(uint32_t id) REQUIRES(mu_);

  // Serialises opening connections, so two threads never open two at once.
  Mutex connect_mu_ ACQUIRED_BEFORE(mu_);
  // An opening that has not finished within its caller's wait.
  std::shared_ptr<PendingOpen> opening_ GUARDED_BY(connect_mu_);
  Mutex mu_;
  std::shared_ptr<Link> link_ GUARDED_BY(mu_);
  // Unique bus name of the server that owns org.freedesktop.Notifications,
  // as last seen; signals from anyone else are ignored.
  std::string server_ GUARDED_BY(mu_);
  // What the server `named_server_` (a unique bus name) calls itself.
  std::string named_server_ GUARDED_BY(mu_);
  ServerName server_name_ GUARDED_BY(mu_);
  std::map<uint32_t, Shown> shown_ GUARDED_BY(mu_);
  std::map<std::pair<std::string, std::string>, uint32_t> ids_by_key_ GUARDED_BY(mu_);
  // A Notify timed out and no server has answered since.
  bool unresponsive_ GUARDED_BY(mu_) = false;
  // Counts the times the service name got an owner; WaitForService sleeps on
  // service_cv_ until it changes.
  uint64_t owner_arrivals_ GUARDED_BY(mu_) = 0;
  std::condition_variable service_cv_;
  KeptEntrySink keeper_ GUARDED_BY(mu_);
  std::optional<Inherited> inherited_ GUARDED_BY(mu_);
  ClosedSink closed_sink_ GUARDED_BY(mu_);

  ClickDispatcher clicks_;
};

}  // namespace activator::dbus
