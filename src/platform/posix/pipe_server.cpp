// The server end of a pipe on POSIX: a Unix domain stream socket at the path
// SocketPathForPipe gives.
//
// Unlike a Windows pipe instance, the listening socket is made once per path
// and kept for the life of the process; an "instance" is one accepted
// connection. A client that connects while the previous message is being
// handled waits in the listen backlog instead of being turned away, so no job
// message is lost between two instances.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <thread>

#include "base/mutex.h"
#include "platform/pipes.h"
#include "platform/posix/pipe_names.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/unix_socket.h"

namespace activator {

namespace {

// A listening socket and the identity of the file it is bound to, so that a
// socket file removed or replaced behind our back can be noticed.
struct Listener {
  UniqueFd fd;
  dev_t device = 0;
  ino_t inode = 0;
};

struct ListenerTable {
  Mutex lock;
  std::map<std::string, std::shared_ptr<Listener>> by_path GUARDED_BY(lock);
};

ListenerTable& Listeners() {
  static auto* table = new ListenerTable();  // lives as long as the process
  return *table;
}

// Whether `path` still names the socket `listener` is bound to. When the file
// has gone (a clean-up of the folder) or been replaced, clients can no longer
// reach the listener and it has to be bound afresh.
bool StillBound(const Listener& listener, const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == listener.device &&
         st.st_ino == listener.inode;
}

enum class SocketFile { kAbsent, kStale, kInUse };

// What stands at a socket path that bind() found taken. Only a socket file
// that refuses connections (its server died without removing it) counts as
// stale; anything else - a live server, a full backlog, a socket we may not
// connect to, a file that is not a socket - is left alone.
SocketFile ProbeSocketFile(const std::string& path, const sockaddr_un& addr, socklen_t length) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0)
    return errno == ENOENT ? SocketFile::kAbsent : SocketFile::kInUse;
  if (!S_ISSOCK(st.st_mode)) return SocketFile::kInUse;
  // Non-blocking, so a live server with a full backlog cannot hold us here.
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!probe) return SocketFile::kInUse;
  int rc;
  do {
    rc = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), length);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return SocketFile::kInUse;
  if (errno == ECONNREFUSED) return SocketFile::kStale;
  if (errno == ENOENT) return SocketFile::kAbsent;
  return SocketFile::kInUse;
}

// Binds and listens on `path`, owner-only. Returns 0 or an errno value.
int BindListener(const std::string& path, std::shared_ptr<Listener>* out) {
  sockaddr_un addr;
  socklen_t length = 0;
  if (const int error = MakeSocketAddress(path, &addr, &length); error != 0) return error;

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return errno;
  const auto* address = reinterpret_cast<const sockaddr*>(&addr);
  if (::bind(fd.get(), address, length) != 0) {
    if (errno != EADDRINUSE) return errno;
    switch (ProbeSocketFile(path, addr, length)) {
      case SocketFile::kInUse:
        return EADDRINUSE;
      case SocketFile::kStale:
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) return errno;
        break;
      case SocketFile::kAbsent:
        break;
    }
    if (::bind(fd.get(), address, length) != 0) return errno;
  }

  // Until listen() every connect is refused, so narrowing the mode here, on
  // the path, leaves no moment in which another user could reach the server.
  // (fchmod on the socket does not reach the file on Linux, and umask is
  // process-wide.)
  struct stat st {};
  if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0 || ::lstat(path.c_str(), &st) != 0 ||
      ::listen(fd.get(), SOMAXCONN) != 0) {
    const int error = errno;
    ::unlink(path.c_str());
    return error;
  }

  auto listener = std::make_shared<Listener>();
  listener->fd = std::move(fd);
  listener->device = st.st_dev;
  listener->inode = st.st_ino;
  *out = std::move(listener);
  return 0;
}

// How often a waiting server checks that its socket file is still the one it
// listens on. Someone may delete or replace the file while the server waits;
// no client could reach the listener again, so the wait ends and the next
// instance binds the path afresh.
constexpr int kBindingCheckIntervalMs = 1000;

}  // namespace

struct PipeServerInstance::Impl {
  std::string path;
  std::shared_ptr<Listener> listener;
  UniqueFd connection;
};

// A socket file that a live server holds (see ProbeSocketFile).
bool PipeServerInstance::IsNameTaken(PipeErrorCode error) { return error == EADDRINUSE; }

std::optional<PipeServerInstance> PipeServerInstance::Create(const std::string& name,
                                                             PipeErrorCode* error) {
  const std::string path = SocketPathForPipe(name);
  ListenerTable& table = Listeners();
  std::shared_ptr<Listener> listener;
  {
    MutexLock lock(table.lock);
    auto it = table.by_path.find(path);
    if (it != table.by_path.end() && StillBound(*it->second, path)) {
      listener = it->second;
    } else {
      if (it != table.by_path.end()) table.by_path.erase(it);
      if (const int code = BindListener(path, &listener); code != 0) {
        if (error != nullptr) *error = static_cast<PipeErrorCode>(code);
        return std::nullopt;
      }
      table.by_path[path] = listener;
    }
  }
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->listener = std::move(listener);
  return PipeServerInstance(std::move(impl));
}

PipeServerInstance::PipeServerInstance(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeServerInstance::PipeServerInstance(PipeServerInstance&&) noexcept = default;
PipeServerInstance& PipeServerInstance::operator=(PipeServerInstance&&) noexcept = default;
PipeServerInstance::~PipeServerInstance() = default;

bool PipeServerInstance::WaitForClient() {
  if (!impl_ || !impl_->listener) return false;
  impl_->connection.reset();
  const int listener_fd = impl_->listener->fd.get();
  for (;;) {
    pollfd waiting{listener_fd, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, kBindingCheckIntervalMs);
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) return false;
    if (ready == 0 && !StillBound(*impl_->listener, impl_->path)) return false;
  }
  int fd;
  do {
    fd = ::accept4(listener_fd, nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // A client that gave up before being accepted is no reason to pause; any
    // other failure would recur at once, so the caller's loop must not spin.
    if (errno != ECONNABORTED) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return false;
  }
  impl_->connection.reset(fd);
  return true;
}

namespace {

// Waits until `fd` has something to take (bytes, the end, an error) or
// `until` has come. 1: ready, 0: the time came first, -1: poll failed.
int WaitReadable(int fd, std::chrono::steady_clock::time_point until) {
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd waiting{fd, POLLIN, 0};
    const int ready = ::poll(&waiting, 1,
                             static_cast<int>(std::clamp<std::int64_t>(
                                 left.count(), 0, std::numeric_limits<int>::max())));
    if (ready > 0) return 1;
    if (ready < 0 && errno != EINTR) return -1;
    if (ready == 0 && left.count() <= 0) return 0;
  }
}

}  // namespace

PipeReadResult PipeServerInstance::ReadMessage(std::size_t max_bytes,
                                               std::chrono::milliseconds limit,
                                               std::chrono::milliseconds pause) {
  PipeReadResult result;
  if (!impl_ || !impl_->connection || max_bytes == 0) return result;
  const int fd = impl_->connection.get();
  // The waits, not the reads, are what a slow client could stretch: each read
  // starts only once there is something to take.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const int first = WaitReadable(fd, deadline);
  if (first < 0) return result;
  if (first == 0) {
    result.status = PipeReadStatus::kTimedOut;
    result.end = PipeReadEnd::kLimit;
    return result;
  }
  std::string buffer(max_bytes, '\0');
  std::size_t filled = 0;
  for (;;) {
    ssize_t count;
    do {
      count = ::recv(fd, buffer.data() + filled, max_bytes - filled, MSG_DONTWAIT);
    } while (count < 0 && errno == EINTR);
    if (count <= 0) {
      result.end = count == 0 ? PipeReadEnd::kClosed : PipeReadEnd::kFailed;
      break;
    }
    filled += static_cast<std::size_t>(count);
    if (filled == max_bytes) {
      result.end = PipeReadEnd::kFull;
      break;
    }
    const auto pause_end = std::chrono::steady_clock::now() + pause;
    const bool limit_first = deadline <= pause_end;
    const int ready = WaitReadable(fd, limit_first ? deadline : pause_end);
    if (ready != 1) {
      result.end = ready < 0     ? PipeReadEnd::kFailed
                   : limit_first ? PipeReadEnd::kLimit
                                 : PipeReadEnd::kPause;
      break;
    }
  }
  if (filled == 0) return result;  // the client closed without writing
  buffer.resize(filled);
  result.status = PipeReadStatus::kRead;
  result.bytes = std::move(buffer);
  return result;
}

void PipeServerInstance::Disconnect() {
  if (impl_) impl_->connection.reset();
}

void PipeServerInstance::DisconnectAndClose() {
  if (!impl_) return;
  // Unread bytes of the connection are discarded; the listener stays with the
  // table, and clients already waiting in its backlog keep their place.
  impl_->connection.reset();
  impl_->listener.reset();
}

}  // namespace activator
