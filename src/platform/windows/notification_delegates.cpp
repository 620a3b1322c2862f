#include "platform/windows/notification_delegates.h"

#include "platform/windows/app_notifications_windows.h"

namespace activator {

HRESULT STDMETHODCALLTYPE NotificationInvokedDelegate::Invoke(
    abi::IAppNotificationManager* sender, abi::IAppNotificationActivatedEventArgs* args) {
  try {
    const AppNotificationManager manager(std::make_shared<AppNotificationManager::Impl>(
        ComRef<abi::IAppNotificationManager>::Borrow(sender)));
    const AppNotificationActivatedEventArgs event_args(
        std::make_shared<AppNotificationActivatedEventArgs::Impl>(
            ComRef<abi::IAppNotificationActivatedEventArgs>::Borrow(args)));
    handler_(manager, event_args);
  } catch (...) {
    // Nothing may unwind into the runtime; the handler reports its own
    // failures.
  }
  return S_OK;
}

}  // namespace activator
