// The in-memory centre's state and the controls the tests use. One mutex
// guards all of it; it is released before any handler runs or any error is
// raised.
#include "platform/fake/fake_notification_centre.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include "platform/fake/fake_centre_internal.h"
#include "platform/text_conversion.h"

namespace activator::fake {

namespace {

struct ArmedFailure {
  HResult code = kHrFail;
  bool other_error = false;
  int after = 0;
  int times = 0;
};

struct Centre {
  std::mutex mu;
  // Signalled when listings are released and when a caller starts waiting.
  std::condition_variable changed;
  std::vector<internal::NotificationContent> notifications;
  std::vector<std::string> record;
  std::map<Operation, ArmedFailure> failures;
  std::vector<NotificationInvokedHandler> handlers;
  std::vector<NotificationClosedHandler> closed_handlers;
  int64_t next_token = 1;
  bool listings_held = false;
  std::optional<std::chrono::milliseconds> listing_wait_cap;
  std::size_t waiting_listings = 0;
  bool service_down = false;
  CentreOrder order;
};

Centre& TheCentre() {
  static Centre* centre = new Centre();  // never destroyed: detached threads may outlive main
  return *centre;
}

bool SameKey(const internal::NotificationContent& n, const std::u16string& tag,
             const std::u16string& group) {
  return n.tag == tag && n.group == group;
}

ShownNotification Describe(const internal::NotificationContent& n) {
  ShownNotification shown;
  shown.tag = internal::ToUtf8(n.tag);
  shown.group = internal::ToUtf8(n.group);
  shown.image = internal::ToUtf8(n.image);
  for (const auto& text : n.texts) shown.texts.push_back(internal::ToUtf8(text));
  for (const auto& button : n.buttons) {
    ShownButton b;
    b.caption = internal::ToUtf8(button.caption);
    for (const auto& [key, value] : button.arguments)
      b.arguments.emplace_back(internal::ToUtf8(key), internal::ToUtf8(value));
    shown.buttons.push_back(std::move(b));
  }
  shown.progress_bar = n.progress_bar;
  if (n.progress_bar && n.progress) shown.progress = n.progress->value;
  shown.attribution = internal::ToUtf8(n.attribution);
  shown.suppress_display = n.suppress_display;
  return shown;
}

// Must be called without the centre's lock.
void RaiseClick(std::map<std::u16string, std::u16string> arguments) {
  std::vector<NotificationInvokedHandler> handlers;
  {
    Centre& c = TheCentre();
    std::lock_guard<std::mutex> lock(c.mu);
    handlers = c.handlers;
  }
  AppNotificationManager sender(internal::ManagerImpl());
  auto impl = std::make_shared<AppNotificationActivatedEventArgs::Impl>();
  impl->arguments = std::move(arguments);
  AppNotificationActivatedEventArgs args(impl);
  for (const auto& handler : handlers) handler(sender, args);
}

void Arm(Operation op, ArmedFailure failure) {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  c.failures[op] = failure;
}

}  // namespace

namespace internal {

void Check(Operation op) {
  ArmedFailure hit;
  {
    Centre& c = TheCentre();
    std::lock_guard<std::mutex> lock(c.mu);
    auto it = c.failures.find(op);
    if (it == c.failures.end()) return;
    ArmedFailure& armed = it->second;
    if (armed.after > 0) {
      --armed.after;
      return;
    }
    if (armed.times <= 0) return;
    --armed.times;
    hit = armed;
  }
  if (hit.other_error) throw std::runtime_error("injected failure");
  throw HResultError(hit.code, "injected failure");
}

void Append(std::string line) {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  c.record.push_back(std::move(line));
}

void Show(const NotificationContent& content) {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  std::erase_if(c.notifications, [&](const NotificationContent& n) {
    return SameKey(n, content.tag, content.group);
  });
  c.notifications.push_back(content);
  c.record.push_back((content.suppress_display ? "ShowQuietly " : "Show ") + ToUtf8(content.tag) +
                     "|" + ToUtf8(content.group));
}

AppNotificationProgressResult UpdateProgress(const AppNotificationProgressData& data,
                                             std::u16string_view tag, std::u16string_view group) {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  for (NotificationContent& n : c.notifications) {
    if (!SameKey(n, std::u16string(tag), std::u16string(group))) continue;
    // As the platform does: older data never replaces newer.
    if (!n.progress || n.progress->sequence_number <= data.sequence_number) n.progress = data;
    c.record.push_back("UpdateProgress " + ToUtf8(tag) + "|" + ToUtf8(group) + " " +
                       std::to_string(static_cast<int>(data.value * 100 + 0.5)));
    return AppNotificationProgressResult::kSucceeded;
  }
  return AppNotificationProgressResult::kNotificationNotFound;
}

int64_t Subscribe(NotificationInvokedHandler handler) {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  c.handlers.push_back(std::move(handler));
  return c.next_token++;
}

int64_t SubscribeClosed(NotificationClosedHandler handler) {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  c.closed_handlers.push_back(std::move(handler));
  return c.next_token++;
}

std::vector<NotificationContent> List(std::chrono::milliseconds limit) {
  Centre& c = TheCentre();
  std::unique_lock<std::mutex> lock(c.mu);
  if (c.listings_held) {
    auto wait = limit;
    if (c.listing_wait_cap && *c.listing_wait_cap < wait) wait = *c.listing_wait_cap;
    auto deadline = std::chrono::steady_clock::now() + wait;
    ++c.waiting_listings;
    c.changed.notify_all();
    bool released = c.changed.wait_until(lock, deadline, [&c] { return !c.listings_held; });
    --c.waiting_listings;
    if (!released) {
      lock.unlock();
      throw HResultError(kHrTimeout, "listing timed out");
    }
  }
  return c.notifications;
}

void CheckServiceUp() {
  {
    Centre& c = TheCentre();
    std::lock_guard<std::mutex> lock(c.mu);
    if (!c.service_down) return;
  }
  throw HResultError(kHrNotConnected, "no notification service");
}

bool WaitForServiceUp(std::chrono::milliseconds limit) {
  Centre& c = TheCentre();
  std::unique_lock<std::mutex> lock(c.mu);
  return c.changed.wait_for(lock, limit, [&c] { return !c.service_down; });
}

std::shared_ptr<AppNotificationManager::Impl> ManagerImpl() {
  static auto* impl = new std::shared_ptr<AppNotificationManager::Impl>(
      std::make_shared<AppNotificationManager::Impl>());
  return *impl;
}

std::string ToUtf8(std::u16string_view text) { return Utf16ToUtf8(text); }

std::u16string ToUtf16(std::string_view text) { return Utf8ToUtf16(text); }

}  // namespace internal

void Reset() {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  c.notifications.clear();
  c.record.clear();
  c.failures.clear();
  c.handlers.clear();
  c.closed_handlers.clear();
  c.listings_held = false;
  c.listing_wait_cap.reset();
  c.service_down = false;
  c.order = {};
  c.changed.notify_all();
}

std::vector<std::string> Record() {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  return c.record;
}

std::vector<ShownNotification> Shown() {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  std::vector<ShownNotification> shown;
  for (const auto& n : c.notifications) shown.push_back(Describe(n));
  return shown;
}

std::size_t Count() {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  return c.notifications.size();
}

std::optional<ShownNotification> Find(const std::string& tag, const std::string& group) {
  auto tag16 = internal::ToUtf16(tag);
  auto group16 = internal::ToUtf16(group);
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  for (const auto& n : c.notifications)
    if (SameKey(n, tag16, group16)) return Describe(n);
  return std::nullopt;
}

bool Dismiss(const std::string& tag, const std::string& group) {
  auto tag16 = internal::ToUtf16(tag);
  auto group16 = internal::ToUtf16(group);
  std::vector<NotificationClosedHandler> handlers;
  {
    Centre& c = TheCentre();
    std::lock_guard<std::mutex> lock(c.mu);
    if (std::erase_if(c.notifications, [&](const internal::NotificationContent& n) {
          return SameKey(n, tag16, group16);
        }) == 0)
      return false;
    handlers = c.closed_handlers;
  }
  for (const auto& handler : handlers) handler(tag16, group16);
  return true;
}

void ForeignNotification(const std::string& tag, const std::string& group) {
  internal::NotificationContent content;
  content.tag = internal::ToUtf16(tag);
  content.group = internal::ToUtf16(group);
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  std::erase_if(c.notifications, [&](const internal::NotificationContent& n) {
    return SameKey(n, content.tag, content.group);
  });
  c.notifications.push_back(std::move(content));
}

bool InvokeButton(const std::string& tag, const std::string& group, std::size_t button_index) {
  auto tag16 = internal::ToUtf16(tag);
  auto group16 = internal::ToUtf16(group);
  std::map<std::u16string, std::u16string> arguments;
  {
    Centre& c = TheCentre();
    std::lock_guard<std::mutex> lock(c.mu);
    auto it = std::find_if(
        c.notifications.begin(), c.notifications.end(),
        [&](const internal::NotificationContent& n) { return SameKey(n, tag16, group16); });
    if (it == c.notifications.end() || button_index >= it->buttons.size()) return false;
    for (const auto& [key, value] : it->buttons[button_index].arguments) arguments[key] = value;
  }
  RaiseClick(std::move(arguments));
  return true;
}

void InvokeWithArguments(std::map<std::u16string, std::u16string> arguments) {
  RaiseClick(std::move(arguments));
}

void FailOperation(Operation op, HResult code, int times, int after) {
  Arm(op, ArmedFailure{code, false, after, times});
}

void FailOperationWithOtherError(Operation op, int times, int after) {
  Arm(op, ArmedFailure{kHrFail, true, after, times});
}

void HoldListings(bool held) {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  c.listings_held = held;
  c.changed.notify_all();
}

void SetListingWaitCap(std::chrono::milliseconds cap) {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  c.listing_wait_cap = cap;
}

std::size_t WaitingListings() {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  return c.waiting_listings;
}

bool WaitForWaitingListings(std::size_t count, std::chrono::milliseconds timeout) {
  Centre& c = TheCentre();
  std::unique_lock<std::mutex> lock(c.mu);
  return c.changed.wait_for(lock, timeout, [&] { return c.waiting_listings >= count; });
}

void SetDrawOrder(const CentreOrder& order) {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  c.order = order;
}

CentreOrder DrawOrder() {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  return c.order;
}

void SetServiceDown(bool down) {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  c.service_down = down;
  c.changed.notify_all();
}

std::size_t HandlerCount() {
  Centre& c = TheCentre();
  std::lock_guard<std::mutex> lock(c.mu);
  return c.handlers.size();
}

}  // namespace activator::fake
