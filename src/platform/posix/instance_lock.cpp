// POSIX: flock on a file in the lab's State folder. The lock goes with the
// open file description, so the kernel frees it when the last descriptor of it
// closes; O_CLOEXEC keeps that descriptor out of every program the activator
// starts.
#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "platform/posix/unique_fd.h"

namespace activator {

namespace {

InstanceLockResult Take(const std::string& path, bool wait) {
  // O_NONBLOCK: a FIFO put at the path cannot hold up the open.
  UniqueFd file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
  if (!file) return {InstanceLockStatus::kFailed, static_cast<uint32_t>(errno)};
  int result;
  do {
    result = ::flock(file.get(), LOCK_EX | (wait ? 0 : LOCK_NB));
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    if (errno == EWOULDBLOCK) return {InstanceLockStatus::kHeld};
    return {InstanceLockStatus::kFailed, static_cast<uint32_t>(errno)};
  }
  file.release();  // open, and so locked, until the process ends
  return {InstanceLockStatus::kTaken};
}

}  // namespace

InstanceLockResult TryTakeInstanceLock(const std::string& name) noexcept {
  return Take(name, false);
}

InstanceLockResult TakeInstanceLock(const std::string& name) noexcept { return Take(name, true); }

std::string LockNameForFile(const std::string& path) { return path; }

}  // namespace activator
