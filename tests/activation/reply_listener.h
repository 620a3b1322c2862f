// The worker's end of a reply pipe, played by the test. On POSIX a listening
// Unix socket at the path the port maps a pipe name to: connections queue in
// the backlog until the test accepts them, so the code under test can run on
// the test's own thread. On Windows one instance of a named pipe, which takes
// one client's message into its buffer before the test waits for it.
#pragma once

#if defined(_WIN32)

#include <chrono>
#include <optional>
#include <string>

#include "platform/pipes.h"
#include "support/test_lab.h"

namespace activator::testing {

class ReplyListener {
 public:
  // A named pipe of one instance has no backlog: the argument of the POSIX
  // listener is taken and ignored.
  explicit ReplyListener(int /*backlog*/ = 1) : pipe_name_("\\\\.\\pipe\\" + UniqueName("reply")) {
    Reopen();
  }
  ReplyListener(const ReplyListener&) = delete;
  ReplyListener& operator=(const ReplyListener&) = delete;

  bool listening() const { return instance_.has_value(); }
  const std::string& pipe_name() const { return pipe_name_; }

  // Waits for the client and reads its message to the end, then makes the
  // pipe ready for the next client. Only for a client that has already
  // connected: a named pipe offers no wait with a time limit.
  std::optional<std::string> ReceiveOne() {
    if (!instance_ || !instance_->WaitForClient()) return std::nullopt;
    std::string bytes;
    for (;;) {
      PipeReadResult piece =
          instance_->ReadMessage(4096, std::chrono::seconds(30), std::chrono::seconds(30));
      if (piece.status != PipeReadStatus::kRead) break;
      bytes += piece.bytes;
    }
    Reopen();
    return bytes;
  }

  // Waits until a client has connected (it may be writing still).
  bool WaitForClient() { return instance_ && instance_->WaitForClient(); }

  // True when a client holds the pipe. The one instance fits one client, so
  // a probe that gets in shows nobody was there (and is cleared away).
  bool HasPendingConnection() {
    if (!instance_) return false;
    const PipeSendResult probe = WriteMessageToPipe(pipe_name_, "");
    if (probe.status == PipeSendStatus::kOpenFailed) return probe.error == 231;  // ERROR_PIPE_BUSY
    Reopen();
    return false;
  }

  // The worker is gone: the pipe is closed under the client.
  void Close() { instance_.reset(); }

 private:
  void Reopen() {
    instance_.reset();
    PipeErrorCode error = 0;
    instance_ = PipeServerInstance::Create(pipe_name_, &error);
  }

  std::string pipe_name_;
  std::optional<PipeServerInstance> instance_;
};

}  // namespace activator::testing

#else  // POSIX

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "platform/posix/pipe_names.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/unix_socket.h"
#include "support/test_lab.h"

namespace activator::testing {

class ReplyListener {
 public:
  explicit ReplyListener(int backlog = 16)
      : pipe_name_("\\\\.\\pipe\\" + UniqueName("reply")), path_(SocketPathForPipe(pipe_name_)) {
    sockaddr_un addr;
    socklen_t length = 0;
    if (MakeSocketAddress(path_, &addr, &length) != 0) return;
    ::unlink(path_.c_str());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), length) != 0 ||
        ::listen(fd.get(), backlog) != 0)
      return;
    fd_ = std::move(fd);
  }
  ~ReplyListener() { Close(); }
  ReplyListener(const ReplyListener&) = delete;
  ReplyListener& operator=(const ReplyListener&) = delete;

  bool listening() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  const std::string& pipe_name() const { return pipe_name_; }
  const std::string& socket_path() const { return path_; }

  // Accepts the next connection and reads it to its end, waiting at most
  // `timeout_ms` for each. nullopt when no connection came or it never ended.
  std::optional<std::string> ReceiveOne(int timeout_ms = 10000) {
    if (!WaitReadable(fd_.get(), timeout_ms)) return std::nullopt;
    UniqueFd client(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) return std::nullopt;
    std::string bytes;
    char buffer[4096];
    while (true) {
      if (!WaitReadable(client.get(), timeout_ms)) return std::nullopt;
      const ssize_t n = ::read(client.get(), buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::nullopt;
      if (n == 0) return bytes;
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
  }

  // True when a connection waits to be accepted (does not wait for one).
  bool HasPendingConnection() { return fd_.valid() && WaitReadable(fd_.get(), 0); }
  // Waits (bounded) until a client has connected, without accepting it.
  bool WaitForClient() { return fd_.valid() && WaitReadable(fd_.get(), 10000); }

  // The worker is gone: no listener, no socket file.
  void Close() {
    if (!fd_) return;
    fd_.reset();
    ::unlink(path_.c_str());
  }

 private:
  static bool WaitReadable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
      r = ::poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    return r == 1;
  }

  std::string pipe_name_;
  std::string path_;
  UniqueFd fd_;
};

}  // namespace activator::testing

#endif
