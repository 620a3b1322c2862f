// What the seam's classes and the centre's controls share inside the
// in-memory notification centre. Not for tests: they use
// fake_notification_centre.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/app_notifications.h"
#include "platform/fake/fake_notification_centre.h"

namespace activator::fake::internal {

struct ButtonContent {
  std::u16string caption;
  std::vector<std::pair<std::u16string, std::u16string>> arguments;
};

struct NotificationContent {
  std::u16string tag;
  std::u16string group;
  std::u16string image;
  std::vector<std::u16string> texts;
  std::vector<ButtonContent> buttons;
  bool progress_bar = false;
  std::optional<AppNotificationProgressData> progress;
  std::u16string attribution;
  bool suppress_display = false;
};

// Raises what a test armed for `op`, if anything.
void Check(Operation op);
void Append(std::string line);
void Show(const NotificationContent& content);
AppNotificationProgressResult UpdateProgress(const AppNotificationProgressData& data,
                                             std::u16string_view tag, std::u16string_view group);
int64_t Subscribe(NotificationInvokedHandler handler);
int64_t SubscribeClosed(NotificationClosedHandler handler);
// Waits out a hold (bounded by `limit` and the cap), then gives the centre's
// notifications in show order.
std::vector<NotificationContent> List(std::chrono::milliseconds limit);
// Raises kHrNotConnected while the service is down.
void CheckServiceUp();
// Waits (at most `limit`) for the service to be up; true when it is.
bool WaitForServiceUp(std::chrono::milliseconds limit);
// The one manager implementation every Default() hands out.
std::shared_ptr<AppNotificationManager::Impl> ManagerImpl();

// The record and the test API speak UTF-8; the seam speaks UTF-16.
std::string ToUtf8(std::u16string_view text);
std::u16string ToUtf16(std::string_view text);

}  // namespace activator::fake::internal

namespace activator {

struct Uri::Impl {
  std::u16string address;
};

struct AppNotificationButton::Impl {
  fake::internal::ButtonContent content;
};

struct AppNotification::Impl {
  fake::internal::NotificationContent content;
};

struct AppNotificationBuilder::Impl {
  fake::internal::NotificationContent content;
};

struct AppNotificationActivatedEventArgs::Impl {
  std::map<std::u16string, std::u16string> arguments;
};

struct AppNotificationProgressBar::Impl {};

struct AppNotificationListOperation::Impl {};

struct AppNotificationManager::Impl {};

}  // namespace activator
