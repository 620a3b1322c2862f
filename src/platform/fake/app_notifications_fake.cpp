// The app-notification seam over the in-memory centre: every object keeps its
// content by value, and the centre records each call that builds or changes
// something.
#include <memory>

#include "platform/app_notifications.h"
#include "platform/fake/fake_centre_internal.h"
#include "platform/fake/fake_notification_centre.h"

namespace activator {

using fake::Operation;
namespace internal = fake::internal;

Uri::Uri(std::u16string_view address) {
  internal::Check(Operation::CreateUri);
  impl_ = std::make_shared<Impl>();
  impl_->address = std::u16string(address);
}

AppNotificationButton::AppNotificationButton(std::u16string_view content) {
  internal::Check(Operation::CreateButton);
  impl_ = std::make_shared<Impl>();
  impl_->content.caption = std::u16string(content);
}

AppNotificationButton& AppNotificationButton::AddArgument(std::u16string_view key,
                                                          std::u16string_view value) {
  internal::Check(Operation::AddArgument);
  impl_->content.arguments.emplace_back(std::u16string(key), std::u16string(value));
  internal::Append("AddArgument " + internal::ToUtf8(key) + "=" + internal::ToUtf8(value));
  return *this;
}

std::u16string AppNotification::Tag() const {
  internal::Check(Operation::Tag);
  return impl_->content.tag;
}

std::u16string AppNotification::Group() const {
  internal::Check(Operation::Group);
  return impl_->content.group;
}

AppNotificationBuilder::AppNotificationBuilder() {
  internal::Check(Operation::CreateBuilder);
  impl_ = std::make_shared<Impl>();
}

AppNotificationBuilder& AppNotificationBuilder::SetHeroImage(const Uri& image) {
  internal::Check(Operation::SetHeroImage);
  impl_->content.image = image.impl()->address;
  internal::Append("SetHeroImage " + internal::ToUtf8(impl_->content.image));
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::SetTag(std::u16string_view tag) {
  internal::Check(Operation::SetTag);
  impl_->content.tag = std::u16string(tag);
  internal::Append("SetTag " + internal::ToUtf8(tag));
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::SetGroup(std::u16string_view group) {
  internal::Check(Operation::SetGroup);
  impl_->content.group = std::u16string(group);
  internal::Append("SetGroup " + internal::ToUtf8(group));
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::AddText(std::u16string_view text) {
  internal::Check(Operation::AddText);
  impl_->content.texts.emplace_back(text);
  internal::Append("AddText " + internal::ToUtf8(text));
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::AddButton(const AppNotificationButton& button) {
  internal::Check(Operation::AddButton);
  // The builder takes the button as it is now, like the platform serialising
  // it into the notification's content.
  impl_->content.buttons.push_back(button.impl()->content);
  internal::Append("AddButton " + internal::ToUtf8(button.impl()->content.caption));
  return *this;
}

AppNotificationProgressBar::AppNotificationProgressBar() : impl_(std::make_shared<Impl>()) {}

AppNotificationBuilder& AppNotificationBuilder::AddProgressBar(const AppNotificationProgressBar&) {
  impl_->content.progress_bar = true;
  internal::Append("AddProgressBar");
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::SetAttributionText(std::u16string_view text) {
  impl_->content.attribution = std::u16string(text);
  internal::Append("SetAttributionText " + internal::ToUtf8(text));
  return *this;
}

void AppNotification::SetProgress(const AppNotificationProgressData& data) {
  impl_->content.progress = data;
}

void AppNotification::SetSuppressDisplay(bool suppress) {
  impl_->content.suppress_display = suppress;
}

AppNotification AppNotificationBuilder::BuildNotification() {
  internal::Check(Operation::BuildNotification);
  auto built = std::make_shared<AppNotification::Impl>();
  built->content = impl_->content;
  internal::Append("BuildNotification");
  return AppNotification(std::move(built));
}

AppNotificationArguments AppNotificationActivatedEventArgs::Arguments() const {
  internal::Check(Operation::Arguments);
  return AppNotificationArguments(impl_->arguments);
}

std::vector<AppNotification> AppNotificationListOperation::get(
    std::chrono::milliseconds limit) const {
  internal::Check(Operation::ListingGet);
  std::vector<AppNotification> listing;
  for (auto& content : internal::List(limit)) {
    auto listed = std::make_shared<AppNotification::Impl>();
    listed->content = std::move(content);
    listing.emplace_back(std::move(listed));
  }
  return listing;
}

AppNotificationManager AppNotificationManager::Default() {
  internal::Check(Operation::Default);
  return AppNotificationManager(internal::ManagerImpl());
}

int64_t AppNotificationManager::NotificationClosed(NotificationClosedHandler handler) const {
  return internal::SubscribeClosed(std::move(handler));
}

int64_t AppNotificationManager::NotificationInvoked(NotificationInvokedHandler handler) const {
  internal::Check(Operation::Subscribe);
  int64_t token = internal::Subscribe(std::move(handler));
  internal::Append("Subscribe");
  return token;
}

// The in-memory centre lives and dies with the process: nothing to keep.
void AppNotificationManager::ResumeKeptEntries(std::map<std::string, std::string>,
                                               KeptEntrySink) const {}

void AppNotificationManager::Register() const {
  internal::Check(Operation::Register);
  internal::Append("Register");
}

bool AppNotificationManager::IsSupported() { return true; }

void AppNotificationManager::UnregisterAll() const { internal::Append("UnregisterAll"); }

std::vector<AppNotificationManager::LeftoverKey> AppNotificationManager::RemoveLeftovers() const {
  return {};
}

std::optional<AppNotificationActivatedEventArgs> AppNotificationManager::LaunchingClick() const {
  return std::nullopt;  // the tests' centre starts no program
}

void AppNotificationManager::Show(const AppNotification& notification) const {
  internal::Check(Operation::Show);
  internal::CheckServiceUp();
  internal::Show(notification.impl()->content);
}

AppNotificationProgressResult AppNotificationManager::UpdateProgress(
    const AppNotificationProgressData& data, std::u16string_view tag,
    std::u16string_view group) const {
  internal::Check(Operation::UpdateProgress);
  internal::CheckServiceUp();
  return internal::UpdateProgress(data, tag, group);
}

CentreOrder AppNotificationManager::DrawOrder() const { return fake::DrawOrder(); }

bool AppNotificationManager::WaitForService(std::chrono::milliseconds limit) const {
  return internal::WaitForServiceUp(limit);
}

AppNotificationListOperation AppNotificationManager::GetAllAsync() const {
  internal::Check(Operation::GetAllAsync);
  return AppNotificationListOperation(std::make_shared<AppNotificationListOperation::Impl>());
}

}  // namespace activator
