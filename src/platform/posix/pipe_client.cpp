// POSIX client end of a pipe: one short-lived Unix domain stream connection
// that carries one message.
//
// The connect is made on a non-blocking socket, because a blocking connect to
// a Unix socket whose backlog is full sleeps until the server accepts: a busy
// peer must be a failed open at once (EAGAIN), never a wait. Once connected the
// socket is switched back to blocking, so that the one send hands the kernel
// the whole message or fails, as a synchronous pipe write does; a short
// message fits the socket buffer whether or not the server has accepted yet.
// A message larger than the buffers waits for the peer to read, and that wait
// is bounded by the socket's send time-out.
//
// The socket lies in the user's own lab, which nobody else may enter, so its
// server is this user's; where the kernel names the peer's user
// (SO_PEERCRED) that is checked too, as it costs one call, and a peer of
// another uid (a lab shared by mistake) gets nothing.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <new>
#include <string>

#include "platform/pipes.h"
#include "platform/posix/pipe_names.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/unix_socket.h"

namespace activator {

namespace {

PipeSendResult OpenFailed(int error) {
  return {PipeSendStatus::kOpenFailed, static_cast<PipeErrorCode>(error)};
}

UniqueFd ConnectWithoutWaiting(const std::string& socket_path, int* error) {
  // An empty name has nothing behind it, as on Windows.
  if (socket_path.empty()) {
    *error = ENOENT;
    return UniqueFd();
  }
  sockaddr_un addr;
  socklen_t addr_length = 0;
  if (const int bad = MakeSocketAddress(socket_path, &addr, &addr_length); bad != 0) {
    *error = bad;
    return UniqueFd();
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    *error = errno;
    return UniqueFd();
  }
  // A Unix socket connect completes or fails on the spot even when the socket
  // is non-blocking; EAGAIN is the full backlog, reported as it stands.
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), addr_length) != 0) {
    *error = errno;
    return UniqueFd();
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    *error = errno;
    return UniqueFd();
  }
  return fd;
}

// One send of the whole message. A blocking stream send returns short only
// when it is cut off after part of the data went out (a signal, or the peer
// going away while the message did not fit its buffer). The rest is then sent
// too: either it goes out, or the next send reports the failure. Reporting the
// short count as success would pass a cut message off as delivered. Each send
// may wait only for what is left of `limit`.
PipeSendStatus SendAll(int fd, std::string_view message, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + limit;
  std::size_t sent = 0;
  do {
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0) return PipeSendStatus::kTimedOut;
    timeval wait{};
    wait.tv_sec = static_cast<time_t>(left.count() / 1000000);
    wait.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0)
      return PipeSendStatus::kWriteFailed;
    const ssize_t n = ::send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return PipeSendStatus::kTimedOut;
      return PipeSendStatus::kWriteFailed;
    }
    sent += static_cast<std::size_t>(n);
  } while (sent < message.size());
  return PipeSendStatus::kSent;
}

// False only when the kernel says the server runs as another user. `pid`
// gets the server's process where the kernel names it, else stays 0.
bool PeerIsThisUser(int fd, pid_t* pid) {
#ifdef SO_PEERCRED
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer) {
    *pid = peer.pid;
    return peer.uid == ::geteuid();
  }
#else
  (void)fd;
  (void)pid;
#endif
  return true;
}

// Whether `pid` still runs: a process that ended and is not yet reaped (a
// zombie) has closed its sockets already, and counts as ended.
bool StillRuns(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (std::getline(stat, line)) {
    const std::size_t name_end = line.rfind(')');
    return name_end == std::string::npos || name_end + 2 >= line.size() ||
           (line[name_end + 2] != 'Z' && line[name_end + 2] != 'X');
  }
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace

namespace {

// The end of our writing ends the message for the server; its end of the
// connection closing then means it is done with it. Anything it writes back
// is not ours to read.
PipeHandled WaitForServerToDrop(int fd, std::chrono::milliseconds wait, pid_t server) {
  if (::shutdown(fd, SHUT_WR) != 0) return PipeHandled::kUnknown;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  char ignored[64];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return PipeHandled::kUnknown;
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return PipeHandled::kUnknown;
    const ssize_t n = ::read(fd, ignored, sizeof(ignored));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (server <= 0) return PipeHandled::kUnknown;
      return StillRuns(server) ? PipeHandled::kDropped : PipeHandled::kServerEnded;
    }
  }
}

}  // namespace

PipeSendResult WriteMessageToPipe(const std::string& name, std::string_view message,
                                  std::chrono::milliseconds limit,
                                  std::chrono::milliseconds handled_wait) {
  try {
    int error = 0;
    UniqueFd fd = ConnectWithoutWaiting(SocketPathForPipe(name), &error);
    if (!fd) return OpenFailed(error);
    pid_t server = 0;
    if (!PeerIsThisUser(fd.get(), &server)) return {PipeSendStatus::kOtherUser, 0};
    const PipeSendStatus status = SendAll(fd.get(), message, limit);
    PipeHandled handled = PipeHandled::kUnknown;
    if (status == PipeSendStatus::kSent && handled_wait.count() > 0)
      handled = WaitForServerToDrop(fd.get(), handled_wait, server);
    fd.reset();  // closed before the caller hears the outcome, whatever it is
    return {status, 0, handled};
  } catch (const std::bad_alloc&) {
    return OpenFailed(ENOMEM);
  }
}

bool PipeWasBusy(PipeErrorCode error) noexcept { return error == EAGAIN; }

std::string PipeLocation(const std::string& name) { return SocketPathForPipe(name); }

}  // namespace activator
