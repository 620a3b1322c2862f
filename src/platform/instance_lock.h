// The lock that lets one activator run per user: whoever holds it owns the
// state file, the job pipe and the clicks. The system gives it up when its
// holder ends, however it ends, and a child process (the text editor a click
// starts) never inherits it, so it can never outlive the activator.
#pragma once

#include <cstdint>
#include <string>

namespace activator {

enum class InstanceLockStatus {
  kTaken,   // this process holds the lock until it ends
  kHeld,    // another process holds it
  kFailed,  // it cannot be had at all (its folder is missing, it is not ours)
};

struct InstanceLockResult {
  InstanceLockStatus status = InstanceLockStatus::kFailed;
  uint32_t error = 0;  // the system's own number (errno, GetLastError) when kFailed
};

// Takes the lock `name` (kInstanceLockName) without waiting. Once taken it is
// never given back; call it from a thread that lasts as long as the process,
// as on Windows the lock belongs to the thread that took it.
InstanceLockResult TryTakeInstanceLock(const std::string& name) noexcept;

// The same, waiting for as long as another process holds the lock: kTaken or
// kFailed, never kHeld.
InstanceLockResult TakeInstanceLock(const std::string& name) noexcept;

// The name of a lock of the same kind for the file at `path` (whose folder
// must exist): on POSIX that file itself, on Windows a mutex of the session
// named after it.
std::string LockNameForFile(const std::string& path);

}  // namespace activator
