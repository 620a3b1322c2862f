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
  // kTaken in a file this take made: no activator ever took the lock, or its
  // file was deleted under one that still runs. Always false where the lock
  // is no file (Windows).
  bool new_file = false;
};

// Takes the lock `name` (kInstanceLockName) without waiting. Once taken it is
// never given back; call it from a thread that lasts as long as the process,
// as on Windows the lock belongs to the thread that took it.
InstanceLockResult TryTakeInstanceLock(const std::string& name) noexcept;

// The same, waiting for as long as another process holds the lock: kTaken or
// kFailed, never kHeld.
InstanceLockResult TakeInstanceLock(const std::string& name) noexcept;

enum class InstanceLockCheck {
  kHeld,          // still held where the next process looks for it
  kTakenAgain,    // it was gone (deleted, replaced) and is held again
  kTakenByOther,  // it was gone, and another process took its place first
  kFailed,        // it was gone and cannot be had again (`error` says why)
};

struct InstanceLockCheckResult {
  InstanceLockCheck status = InstanceLockCheck::kFailed;
  uint32_t error = 0;
};

// Makes sure that the lock `name`, taken by this process (or not had at
// all), still stands where another process would look for it, and takes it
// again when it does not. On POSIX the lock is a file that its user may
// delete or replace while it is held, which would let a second process take
// a lock of its own; a Windows mutex cannot go while it is held, and there
// this only tries again a lock that could not be had. Call it from the
// thread that took the lock.
InstanceLockCheckResult KeepInstanceLock(const std::string& name) noexcept;

}  // namespace activator
