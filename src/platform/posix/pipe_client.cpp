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
#include <new>

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

// False only when the kernel says the server runs as another user.
bool PeerIsThisUser(int fd) {
#ifdef SO_PEERCRED
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer)
    return peer.uid == ::geteuid();
#else
  (void)fd;
#endif
  return true;
}

}  // namespace

namespace {

// The end of our writing ends the message for the server; its end of the
// connection closing then means it is done with it. Anything it writes back
// is not ours to read.
void WaitForServerToDrop(int fd, std::chrono::milliseconds wait) {
  if (::shutdown(fd, SHUT_WR) != 0) return;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  char ignored[64];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return;
    const ssize_t n = ::read(fd, ignored, sizeof(ignored));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
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
    if (!PeerIsThisUser(fd.get())) return {PipeSendStatus::kOtherUser, 0};
    const PipeSendStatus status = SendAll(fd.get(), message, limit);
    if (status == PipeSendStatus::kSent && handled_wait.count() > 0)
      WaitForServerToDrop(fd.get(), handled_wait);
    fd.reset();  // closed before the caller hears the outcome, whatever it is
    return {status, 0};
  } catch (const std::bad_alloc&) {
    return OpenFailed(ENOMEM);
  }
}

bool PipeWasBusy(PipeErrorCode error) noexcept { return error == EAGAIN; }

std::string PipeLocation(const std::string& name) { return SocketPathForPipe(name); }

}  // namespace activator
