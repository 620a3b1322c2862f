// Unix domain socket addresses for the POSIX pipe port (server and client).
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace activator {

// Fills `addr` with the socket path. Returns 0, or the errno value that
// describes why the path cannot name a socket: ENAMETOOLONG when it does not
// fit sun_path with its terminating NUL (a cut path would name another
// socket), EINVAL when it is empty or holds a NUL byte.
inline int MakeSocketAddress(const std::string& path, sockaddr_un* addr, socklen_t* length) {
  std::memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.find('\0') != std::string::npos) return EINVAL;
  if (path.size() >= sizeof(addr->sun_path)) return ENAMETOOLONG;
  std::memcpy(addr->sun_path, path.data(), path.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return 0;
}

}  // namespace activator
