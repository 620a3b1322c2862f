// POSIX files: append-mode open so that concurrent appends from any thread or
// process land whole at the end of the file.
#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace activator {

bool AppendToFile(const std::string& path, std::string_view bytes) noexcept {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  // One write call: splitting the line would let another writer's line land
  // inside it.
  ssize_t written;
  do {
    written = ::write(fd, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  ::close(fd);
  return written == static_cast<ssize_t>(bytes.size());
}

}  // namespace activator
