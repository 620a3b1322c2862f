// The app-notification seam on the freedesktop notification service. The
// classes here only collect content and convert texts; the bus work is the
// centre's (notification_centre.h).
#include <utility>

#include "base/mutex.h"
#include "platform/app_notifications.h"
#include "platform/posix/dbus/notification_centre.h"
#include "platform/text_conversion.h"

namespace activator {

using dbus::NotificationCentre;

struct Uri::Impl {
  std::u16string address;
};

Uri::Uri(std::u16string_view address)
    : impl_(std::make_shared<Impl>(Impl{std::u16string(address)})) {}

struct AppNotificationButton::Impl {
  std::u16string content;
  std::vector<std::pair<std::u16string, std::u16string>> arguments;
};

AppNotificationButton::AppNotificationButton(std::u16string_view content)
    : impl_(std::make_shared<Impl>(Impl{std::u16string(content), {}})) {}

AppNotificationButton& AppNotificationButton::AddArgument(std::u16string_view key,
                                                          std::u16string_view value) {
  impl_->arguments.emplace_back(std::u16string(key), std::u16string(value));
  return *this;
}

struct AppNotificationProgressBar::Impl {};

AppNotificationProgressBar::AppNotificationProgressBar() : impl_(std::make_shared<Impl>()) {}

struct AppNotification::Impl {
  std::u16string tag;
  std::u16string group;
  dbus::NotificationContent content;  // what Show sends
};

std::u16string AppNotification::Tag() const { return impl_->tag; }
std::u16string AppNotification::Group() const { return impl_->group; }

namespace {

int PerCent(double value) {
  if (!(value > 0)) return 0;  // NaN as well
  if (value >= 1) return 100;
  return static_cast<int>(value * 100 + 0.5);
}

}  // namespace

void AppNotification::SetProgress(const AppNotificationProgressData& data) {
  // Servers draw the value alone; the status has no place to go.
  if (impl_->content.progress) impl_->content.progress = PerCent(data.value);
}

void AppNotification::SetSuppressDisplay(bool suppress) { impl_->content.replace_only = suppress; }

struct AppNotificationBuilder::Impl {
  std::optional<std::u16string> image;
  std::u16string tag;
  std::u16string group;
  std::vector<std::u16string> texts;
  bool progress_bar = false;
  std::u16string attribution;
  // Buttons are shared handles: arguments added after AddButton still count,
  // up to BuildNotification.
  std::vector<std::shared_ptr<AppNotificationButton::Impl>> buttons;
};

AppNotificationBuilder::AppNotificationBuilder() : impl_(std::make_shared<Impl>()) {}

AppNotificationBuilder& AppNotificationBuilder::SetHeroImage(const Uri& image) {
  impl_->image = image.impl()->address;
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::SetTag(std::u16string_view tag) {
  impl_->tag = std::u16string(tag);
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::SetGroup(std::u16string_view group) {
  impl_->group = std::u16string(group);
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::AddText(std::u16string_view text) {
  impl_->texts.emplace_back(text);
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::AddButton(const AppNotificationButton& button) {
  impl_->buttons.push_back(button.impl());
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::AddProgressBar(const AppNotificationProgressBar&) {
  impl_->progress_bar = true;
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::SetAttributionText(std::u16string_view text) {
  impl_->attribution = std::u16string(text);
  return *this;
}

AppNotification AppNotificationBuilder::BuildNotification() {
  auto built = std::make_shared<AppNotification::Impl>();
  built->tag = impl_->tag;
  built->group = impl_->group;
  dbus::NotificationContent& content = built->content;
  content.tag = Utf16ToUtf8(impl_->tag);
  content.group = Utf16ToUtf8(impl_->group);
  for (const auto& text : impl_->texts) content.texts.push_back(Utf16ToUtf8(text));
  if (impl_->image) content.image_address = Utf16ToUtf8(*impl_->image);
  // Until its data says otherwise, the bar stands at 0.
  if (impl_->progress_bar) content.progress = 0;
  content.attribution = Utf16ToUtf8(impl_->attribution);
  for (const auto& button : impl_->buttons) {
    dbus::ButtonContent converted;
    converted.caption = Utf16ToUtf8(button->content);
    for (const auto& [key, value] : button->arguments) {
      converted.arguments.emplace_back(Utf16ToUtf8(key), Utf16ToUtf8(value));
    }
    content.buttons.push_back(std::move(converted));
  }
  return AppNotification(std::move(built));
}

struct AppNotificationActivatedEventArgs::Impl {
  std::map<std::u16string, std::u16string> arguments;
};

AppNotificationArguments AppNotificationActivatedEventArgs::Arguments() const {
  return AppNotificationArguments(impl_->arguments);
}

struct AppNotificationListOperation::Impl {
  std::vector<AppNotification> notifications;
};

std::vector<AppNotification> AppNotificationListOperation::get(std::chrono::milliseconds) const {
  // The listing is complete when the operation is made.
  return impl_->notifications;
}

struct AppNotificationManager::Impl {
  Mutex mu;
  int64_t next_token GUARDED_BY(mu) = 1;
  std::vector<NotificationInvokedHandler> handlers GUARDED_BY(mu);
  std::vector<NotificationClosedHandler> closed_handlers GUARDED_BY(mu);
};

namespace {

void DeliverClick(const std::shared_ptr<AppNotificationManager::Impl>& manager,
                  const std::map<std::string, std::string>& arguments) {
  auto event = std::make_shared<AppNotificationActivatedEventArgs::Impl>();
  for (const auto& [key, value] : arguments)
    event->arguments[Utf8ToUtf16(key)] = Utf8ToUtf16(value);
  std::vector<NotificationInvokedHandler> handlers;
  {
    MutexLock lock(manager->mu);
    handlers = manager->handlers;
  }
  const AppNotificationManager sender(manager);
  const AppNotificationActivatedEventArgs args(event);
  for (const auto& handler : handlers) {
    try {
      handler(sender, args);
    } catch (...) {
      // A failing handler must not keep the others from their click.
    }
  }
}

void DeliverClosed(const std::shared_ptr<AppNotificationManager::Impl>& manager,
                   const std::string& tag, const std::string& group) {
  std::vector<NotificationClosedHandler> handlers;
  {
    MutexLock lock(manager->mu);
    handlers = manager->closed_handlers;
  }
  if (handlers.empty()) return;
  const std::u16string tag16 = Utf8ToUtf16(tag);
  const std::u16string group16 = Utf8ToUtf16(group);
  for (const auto& handler : handlers) {
    try {
      handler(tag16, group16);
    } catch (...) {
      // The event loop thread must go on.
    }
  }
}

}  // namespace

AppNotificationManager AppNotificationManager::Default() {
  // One manager for the process, never destroyed (the centre's threads call
  // into it until the process ends).
  static auto* manager = [] {
    auto* impl = new std::shared_ptr<Impl>(std::make_shared<Impl>());
    std::weak_ptr<Impl> weak = *impl;
    NotificationCentre::Instance().SetInvocationSink(
        [weak](const std::map<std::string, std::string>& arguments) {
          if (auto strong = weak.lock()) DeliverClick(strong, arguments);
        });
    NotificationCentre::Instance().SetClosedSink(
        [weak](const std::string& tag, const std::string& group) {
          if (auto strong = weak.lock()) DeliverClosed(strong, tag, group);
        });
    return impl;
  }();
  return AppNotificationManager(*manager);
}

int64_t AppNotificationManager::NotificationInvoked(NotificationInvokedHandler handler) const {
  MutexLock lock(impl_->mu);
  impl_->handlers.push_back(std::move(handler));
  return impl_->next_token++;
}

void AppNotificationManager::ResumeKeptEntries(std::map<std::string, std::string> entries,
                                               KeptEntrySink sink) const {
  NotificationCentre::Instance().ResumeKept(std::move(entries), std::move(sink));
}

int64_t AppNotificationManager::NotificationClosed(NotificationClosedHandler handler) const {
  MutexLock lock(impl_->mu);
  impl_->closed_handlers.push_back(std::move(handler));
  return impl_->next_token++;
}

void AppNotificationManager::Register() const { NotificationCentre::Instance().Register(); }

// The freedesktop service serves every process, and keeps nothing of a
// program between its runs: nothing to check, nothing to remove.
bool AppNotificationManager::IsSupported() { return true; }

void AppNotificationManager::UnregisterAll() const {}

std::vector<AppNotificationManager::LeftoverKey> AppNotificationManager::RemoveLeftovers() const {
  return {};
}

// The service starts no program on a click: a click reaches only a running
// activator.
std::optional<AppNotificationActivatedEventArgs> AppNotificationManager::LaunchingClick() const {
  return std::nullopt;
}

void AppNotificationManager::Show(const AppNotification& notification) const {
  NotificationCentre::Instance().Show(notification.impl()->content);
}

AppNotificationProgressResult AppNotificationManager::UpdateProgress(
    const AppNotificationProgressData& data, std::u16string_view tag,
    std::u16string_view group) const {
  return NotificationCentre::Instance().UpdateProgress(Utf16ToUtf8(tag), Utf16ToUtf8(group),
                                                       PerCent(data.value))
             ? AppNotificationProgressResult::kSucceeded
             : AppNotificationProgressResult::kNotificationNotFound;
}

CentreOrder AppNotificationManager::DrawOrder() const {
  return NotificationCentre::Instance().DrawOrder();
}

bool AppNotificationManager::WaitForService(std::chrono::milliseconds limit) const {
  return NotificationCentre::Instance().WaitForService(limit);
}

AppNotificationListOperation AppNotificationManager::GetAllAsync() const {
  auto operation = std::make_shared<AppNotificationListOperation::Impl>();
  for (const auto& listed : NotificationCentre::Instance().List()) {
    auto item = std::make_shared<AppNotification::Impl>();
    item->tag = Utf8ToUtf16(listed.tag);
    item->group = Utf8ToUtf16(listed.group);
    operation->notifications.emplace_back(std::move(item));
  }
  return AppNotificationListOperation(std::move(operation));
}

}  // namespace activator
