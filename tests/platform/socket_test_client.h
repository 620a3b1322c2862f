// A bare Unix-socket client for tests that play the worker: connects to a
// socket path and writes bytes, without going through the code under test.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "platform/posix/unique_fd.h"
#include "platform/posix/unix_socket.h"

namespace activator::testing {

// A connected client socket (close-on-exec), or an invalid one.
inline UniqueFd ConnectToSocket(const std::string& path) {
  sockaddr_un addr;
  socklen_t length = 0;
  if (MakeSocketAddress(path, &addr, &length) != 0) return UniqueFd();
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), length) != 0) return UniqueFd();
  return fd;
}

inline bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Connects, writes `bytes` and closes, as the worker does for one message.
inline bool SendToSocket(const std::string& path, std::string_view bytes) {
  UniqueFd fd = ConnectToSocket(path);
  return fd && SendAll(fd.get(), bytes);
}

}  // namespace activator::testing
