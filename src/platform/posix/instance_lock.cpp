// POSIX: flock on a file in the lab's State folder. The lock goes with the
// open file description, so the kernel frees it when the last descriptor of it
// closes; O_CLOEXEC keeps that descriptor out of every program the activator
// starts.
#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "platform/posix/unique_fd.h"

namespace activator {

namespace {

// The descriptors of the locks this process holds, by path: the file a
// check compares with what the path names now. Used only by the thread that
// took a lock (the activator's main thread).
std::map<std::string, int>& HeldLocks() {
  static auto* held = new std::map<std::string, int>();
  return *held;
}

InstanceLockResult Take(const std::string& path, bool wait) {
  // O_NONBLOCK: a FIFO put at the path cannot hold up the open.
  constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  bool new_file = false;
  UniqueFd file(::open(path.c_str(), kFlags));
  if (!file && errno == ENOENT) {
    file.reset(::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600));
    new_file = static_cast<bool>(file);
    if (!file && errno == EEXIST) file.reset(::open(path.c_str(), kFlags));
  }
  if (!file) return {InstanceLockStatus::kFailed, static_cast<uint32_t>(errno)};
  int result;
  do {
    result = ::flock(file.get(), LOCK_EX | (wait ? 0 : LOCK_NB));
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    if (errno == EWOULDBLOCK) return {InstanceLockStatus::kHeld};
    return {InstanceLockStatus::kFailed, static_cast<uint32_t>(errno)};
  }
  try {
    int& held = HeldLocks().try_emplace(path, -1).first->second;
    // A lock taken again in a new file: the old one stands nowhere now.
    if (held >= 0) ::close(held);
    held = file.release();  // open, and so locked, until the process ends
  } catch (...) {
    file.release();  // held all the same, only never checked
  }
  return {InstanceLockStatus::kTaken, 0, new_file};
}

}  // namespace

InstanceLockResult TryTakeInstanceLock(const std::string& name) noexcept {
  return Take(name, false);
}

InstanceLockResult TakeInstanceLock(const std::string& name) noexcept { return Take(name, true); }

InstanceLockCheckResult KeepInstanceLock(const std::string& name) noexcept {
  try {
    const auto held = HeldLocks().find(name);
    if (held != HeldLocks().end()) {
      struct stat named {}, locked {};
      if (::lstat(name.c_str(), &named) == 0 && ::fstat(held->second, &locked) == 0 &&
          named.st_dev == locked.st_dev && named.st_ino == locked.st_ino)
        return {InstanceLockCheck::kHeld};
    }
  } catch (...) {
    return {InstanceLockCheck::kFailed, ENOMEM};
  }
  const InstanceLockResult again = Take(name, false);
  switch (again.status) {
    case InstanceLockStatus::kTaken:
      return {InstanceLockCheck::kTakenAgain};
    case InstanceLockStatus::kHeld:
      return {InstanceLockCheck::kTakenByOther};
    case InstanceLockStatus::kFailed:
      break;
  }
  return {InstanceLockCheck::kFailed, again.error};
}

}  // namespace activator
