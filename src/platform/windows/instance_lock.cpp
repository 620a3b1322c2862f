// Windows: a named mutex of the user's session ("Local\"). A holder that ends
// without giving it back leaves it abandoned, which the next waiter gets as
// its own. Made without security attributes, its handle is never inherited.
#include "platform/instance_lock.h"

#include "platform/os/windows_support.h"

namespace activator {

namespace {

InstanceLockResult Take(const std::string& name, DWORD wait_ms) {
  UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, WidenUtf8(name).c_str()));
  if (!mutex) return {InstanceLockStatus::kFailed, ::GetLastError()};
  switch (::WaitForSingleObject(mutex.get(), wait_ms)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      mutex.release();  // open, and so owned, until the process ends
      return {InstanceLockStatus::kTaken};
    case WAIT_TIMEOUT:
      return {InstanceLockStatus::kHeld};
    default:
      return {InstanceLockStatus::kFailed, ::GetLastError()};
  }
}

}  // namespace

InstanceLockResult TryTakeInstanceLock(const std::string& name) noexcept { return Take(name, 0); }

InstanceLockResult TakeInstanceLock(const std::string& name) noexcept {
  return Take(name, INFINITE);
}

}  // namespace activator
