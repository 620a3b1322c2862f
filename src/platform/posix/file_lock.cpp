// POSIX: flock on the file itself, which a second taker finds held only
// while the path still names that file; so after the lock the path is looked
// at again, and a file deleted or replaced meanwhile is locked afresh. On
// Linux the lock also takes a name in the abstract socket namespace, which
// lives exactly as long as the socket that holds it and which no one can
// delete: a run whose lock file was deleted still keeps the next one out.
#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/socket.h>
#include <sys/un.h>
#endif

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/posix/unique_fd.h"

namespace activator {

namespace {

// A file that keeps being replaced between the open and the lock is not
// worth fighting over for longer.
constexpr int kLockAttempts = 8;

#if defined(__linux__)
enum class NameState { kTaken, kHeld, kUnavailable };

// The abstract name of the lock of `path`. The namespace is the machine's:
// the user's id keeps two users' names apart, and a hash keeps a long path
// within a socket address.
NameState TakeAbstractName(const std::string& path) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char c : path) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  char name[80];
  const int length =
      std::snprintf(name, sizeof name, "activator-file-lock/%u/%016llx",
                    static_cast<unsigned>(::getuid()), static_cast<unsigned long long>(hash));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name, static_cast<std::size_t>(length));  // sun_path[0] == 0
  const auto* any = reinterpret_cast<const sockaddr*>(&address);
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  UniqueFd holder(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!holder) return NameState::kUnavailable;
  if (::bind(holder.get(), any, size) == 0) {
    // Listening lets a later taker ask who holds the name.
    ::listen(holder.get(), 1);
    holder.release();  // open, and so held, until the process ends
    return NameState::kTaken;
  }
  if (errno != EADDRINUSE) return NameState::kUnavailable;
  // Anyone may bind any name: one held by another user is no run of ours,
  // and leaves the file's lock to decide.
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  ucred peer{};
  socklen_t peer_size = sizeof peer;
  if (probe && ::connect(probe.get(), any, size) == 0 &&
      ::getsockopt(probe.get(), SOL_SOCKET, SO_PEERCRED, &peer, &peer_size) == 0 &&
      peer.uid != ::getuid())
    return NameState::kUnavailable;
  return NameState::kHeld;
}
#endif

}  // namespace

FileLockResult TryTakeFileLock(const std::string& path) noexcept {
#if defined(__linux__)
  if (TakeAbstractName(path) == NameState::kHeld) return {FileLockStatus::kHeld};
#endif
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    // O_NONBLOCK: a FIFO put at the path cannot hold up the open.
    UniqueFd file(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (!file) return {FileLockStatus::kFailed, static_cast<uint32_t>(errno)};
    int result;
    do {
      result = ::flock(file.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      if (errno == EWOULDBLOCK) return {FileLockStatus::kHeld};
      return {FileLockStatus::kFailed, static_cast<uint32_t>(errno)};
    }
    struct stat locked {
    }, named{};
    if (::fstat(file.get(), &locked) == 0 && ::stat(path.c_str(), &named) == 0 &&
        locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
      file.release();  // open, and so locked, until the process ends
      return {FileLockStatus::kTaken};
    }
    // Deleted or replaced between the open and the lock: a lock on a file
    // no one else can find keeps no one out.
  }
  return {FileLockStatus::kFailed, static_cast<uint32_t>(EAGAIN)};
}

}  // namespace activator
