// Windows: a named mutex. A holder that ends without giving it back leaves it
// abandoned, which the next waiter gets as its own. Its handle is never
// inherited.
//
// The activator's lock is a mutex of the machine ("Global\") named after the
// user's SID, so that two sessions of one user exclude each other while two
// users never do. Any user may make a mutex of any name there, so one is
// made owner-only, and a mutex of the name that another user owns is never
// waited on: held for good by its maker, it would keep this user's activator
// from ever starting.
#include "platform/instance_lock.h"

#include <set>

#include "platform/os/windows_support.h"
#include "platform/windows/user_sid.h"

namespace activator {

namespace {

// The names of the mutexes this process owns. Used only by the thread that
// took them, which owns them.
std::set<std::string>& HeldLocks() {
  static auto* held = new std::set<std::string>();
  return *held;
}

InstanceLockResult Take(const std::string& name, DWORD wait_ms) {
  const std::unique_ptr<void, LocalFreer> descriptor = OwnerOnlyDescriptor();
  if (!descriptor) return {InstanceLockStatus::kFailed, ::GetLastError()};
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
  UniqueHandle mutex(::CreateMutexW(&security, FALSE, WidenUtf8(name).c_str()));
  if (!mutex) return {InstanceLockStatus::kFailed, ::GetLastError()};
  if (::GetLastError() == ERROR_ALREADY_EXISTS && OwnedByProcessUser(mutex.get()) != true)
    return {InstanceLockStatus::kFailed, ERROR_ACCESS_DENIED};
  switch (::WaitForSingleObject(mutex.get(), wait_ms)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      mutex.release();  // open, and so owned, until the process ends
      try {
        HeldLocks().insert(name);
      } catch (...) {
        // Owned all the same; a check would only take it again.
      }
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

InstanceLockCheckResult KeepInstanceLock(const std::string& name) noexcept {
  // A mutex this process owns cannot be taken from it; one it could not
  // have is tried again.
  try {
    if (HeldLocks().count(name) != 0) return {InstanceLockCheck::kHeld};
  } catch (...) {
    return {InstanceLockCheck::kFailed, ERROR_OUTOFMEMORY};
  }
  const InstanceLockResult again = Take(name, 0);
  if (again.status == InstanceLockStatus::kTaken) return {InstanceLockCheck::kTakenAgain};
  if (again.status == InstanceLockStatus::kHeld) return {InstanceLockCheck::kTakenByOther};
  return {InstanceLockCheck::kFailed, again.error};
}

}  // namespace activator
