// What each object of the app-notification seam holds on Windows: a
// reference to the runtime object behind it.
#pragma once

#include <memory>

#include "platform/app_notifications.h"
#include "platform/windows/notification_delegates.h"
#include "platform/windows/winrt_refs.h"

namespace activator {

struct Uri::Impl {
  ComRef<abi::IUriRuntimeClass> uri;
};

struct AppNotificationButton::Impl {
  ComRef<abi::IAppNotificationButton> button;
};

struct AppNotificationProgressBar::Impl {
  ComRef<abi::IAppNotificationProgressBar> bar;
};

struct AppNotification::Impl {
  explicit Impl(ComRef<abi::IAppNotification> n) : notification(std::move(n)) {}
  ComRef<abi::IAppNotification> notification;
};

struct AppNotificationBuilder::Impl {
  ComRef<abi::IAppNotificationBuilder> builder;
};

struct AppNotificationActivatedEventArgs::Impl {
  explicit Impl(ComRef<abi::IAppNotificationActivatedEventArgs> a) : args(std::move(a)) {}
  ComRef<abi::IAppNotificationActivatedEventArgs> args;
};

struct AppNotificationListOperation::Impl {
  ComRef<abi::IAsyncOperationVectorAppNotification> operation;
  std::shared_ptr<AsyncCompletion> completion;
};

struct AppNotificationManager::Impl {
  explicit Impl(ComRef<abi::IAppNotificationManager> m) : manager(std::move(m)) {}
  ComRef<abi::IAppNotificationManager> manager;
};

}  // namespace activator
