// POSIX files: append-mode open so that concurrent appends from any thread or
// process land whole at the end of the file; appends to and reads of regular
// files only, with opens that never wait.
#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/posix/unique_fd.h"

namespace activator {

namespace {

// Opens `path` for appending. O_NONBLOCK keeps the open of a FIFO without a
// reader from waiting for one (it fails instead), and the look after the open
// refuses whatever is not a regular file: a FIFO with a reader would take the
// bytes away, and a device could do anything with them.
UniqueFd OpenForAppend(const std::string& path, struct stat* info) {
  int raw;
  do {
    raw = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                 0600);
  } while (raw < 0 && errno == EINTR);
  UniqueFd fd(raw);
  if (!fd || ::fstat(fd.get(), info) != 0 || !S_ISREG(info->st_mode)) return UniqueFd();
  return fd;
}

// Renames the file `fd` is open on to `predecessor`, if `path` still names
// it. The lock keeps two appenders (threads or processes) from both renaming:
// the second would move the new, nearly empty file over the full one. It is
// only tried: an appender that finds it held leaves the rename to its holder.
void RollOver(int fd, const struct stat& opened, const std::string& path,
              const std::string& predecessor) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return;
  struct stat now;
  if (::stat(path.c_str(), &now) == 0 && now.st_dev == opened.st_dev && now.st_ino == opened.st_ino)
    ::rename(path.c_str(), predecessor.c_str());
  // Closing the descriptor releases the lock.
}

// Writes all of `bytes` to `fd`; 0, or the error that stopped it.
int WriteAll(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace

bool AppendToFile(const std::string& path, std::string_view bytes,
                  const FileRollover& rollover) noexcept {
  if (path.find('\0') != std::string::npos) return false;
  struct stat info;
  UniqueFd fd = OpenForAppend(path, &info);
  if (!fd) return false;
  if (rollover.limit_bytes != 0 && static_cast<uint64_t>(info.st_size) >= rollover.limit_bytes &&
      rollover.predecessor.find('\0') == std::string::npos) {
    RollOver(fd.get(), info, path, rollover.predecessor);
    // The name now leads to the new file (or, when another appender is in
    // the middle of its rename, still to the old one: these bytes then end
    // it). Either way they are not held back.
    fd.reset();
    fd = OpenForAppend(path, &info);
    if (!fd) return false;
  }
  // One write call: splitting the line would let another writer's line land
  // inside it. A regular file takes it whole, O_NONBLOCK or not.
  ssize_t written;
  do {
    written = ::write(fd.get(), bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(bytes.size());
}

FileReadResult ReadFileStart(const std::string& path, std::size_t max_bytes) {
  FileReadResult result;
  if (path.find('\0') != std::string::npos) return result;
  // A look before the open spares devices the open itself, which may act
  // (a tape rewinds, a modem line rises); the look after it is the one that
  // counts, since the path may have been replaced in between. O_NONBLOCK keeps
  // the open of a FIFO without a writer from waiting for one.
  struct stat info;
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    result.status = FileReadStatus::kNotRegularFile;
    return result;
  }
  int raw;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  UniqueFd fd(raw);
  if (!fd) return result;
  if (::fstat(fd.get(), &info) != 0) return result;
  if (!S_ISREG(info.st_mode)) {
    result.status = FileReadStatus::kNotRegularFile;
    return result;
  }
  // Sized by what the file holds now, one byte more to see its end at once;
  // grown only when a writer made it longer meanwhile.
  std::string bytes(std::min<uint64_t>(max_bytes, static_cast<uint64_t>(info.st_size) + 1), '\0');
  std::size_t filled = 0;
  while (filled < max_bytes) {
    if (filled == bytes.size()) bytes.resize(std::min(max_bytes, 2 * bytes.size()));
    const ssize_t n = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return result;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  bytes.resize(filled);
  result.status = FileReadStatus::kRead;
  result.bytes = std::move(bytes);
  return result;
}

bool IsAbsolutePath(std::string_view path) noexcept { return !path.empty() && path[0] == '/'; }

struct PrivateFile::Impl {
  UniqueFd fd;
};

std::optional<PrivateFile> PrivateFile::Create(const std::string& path, int* error) {
  // O_CLOEXEC: a command started meanwhile never holds it open. As for the
  // log, a FIFO found at the path fails the open instead of waiting for a
  // reader, and anything but a regular file is refused.
  UniqueFd fd(::open(path.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                     0600));
  struct stat info {};
  if (fd && (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))) {
    fd = UniqueFd();
    errno = EINVAL;
  }
  if (!fd || ::fchmod(fd.get(), 0600) != 0) {  // an existing file keeps its mode otherwise
    if (error != nullptr) *error = errno;
    return std::nullopt;
  }
  auto impl = std::make_unique<Impl>();
  impl->fd = std::move(fd);
  return PrivateFile(std::move(impl));
}

std::optional<PrivateFile> PrivateFile::OpenToAppend(const std::string& path, int* error) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  struct stat info {};
  if (fd && (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))) {
    fd = UniqueFd();
    errno = EINVAL;
  }
  if (!fd) {
    if (error != nullptr) *error = errno;
    return std::nullopt;
  }
  auto impl = std::make_unique<Impl>();
  impl->fd = std::move(fd);
  return PrivateFile(std::move(impl));
}

std::optional<std::uint64_t> PrivateFile::SizeWhileNamed() const noexcept {
  struct stat info {};
  if (::fstat(impl_->fd.get(), &info) != 0 || info.st_nlink == 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

PrivateFile::PrivateFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PrivateFile::PrivateFile(PrivateFile&&) noexcept = default;
PrivateFile& PrivateFile::operator=(PrivateFile&&) noexcept = default;
PrivateFile::~PrivateFile() = default;

int PrivateFile::Append(std::string_view bytes) noexcept {
  return WriteAll(impl_->fd.get(), bytes);
}

int PrivateFile::Overwrite(std::uint64_t offset, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t n =
        ::pwrite(impl_->fd.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    bytes.remove_prefix(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return 0;
}

bool MakeOwnerOnlyFolder(const std::string& path, int* error) noexcept {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error != nullptr) *error = errno;
    return false;
  }
  struct stat info {};
  int problem = 0;
  if (::lstat(path.c_str(), &info) != 0)
    problem = errno;
  else if (!S_ISDIR(info.st_mode))
    problem = ENOTDIR;
  else if (info.st_uid != ::getuid())
    problem = EPERM;  // someone else's folder is not made ours
  else if ((info.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0)
    problem = errno;
  if (problem != 0 && error != nullptr) *error = problem;
  return problem == 0;
}

std::string DescribeFileError(int error) { return std::strerror(error); }

bool StandardErrorIsTerminal() noexcept { return ::isatty(STDERR_FILENO) == 1; }

bool ReplaceFileWhole(const std::string& path, std::string_view bytes) noexcept {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  const std::string temporary = path + ".tmp";
  // Unlinked first so that whatever stands there (a FIFO, a link) is neither
  // waited on nor followed; O_EXCL then makes sure the file is our own.
  ::unlink(temporary.c_str());
  int raw;
  do {
    raw = ::open(temporary.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  } while (raw < 0 && errno == EINTR);
  UniqueFd fd(raw);
  if (!fd) return false;
  if (WriteAll(fd.get(), bytes) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  if (::fsync(fd.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself is on the disk once the folder is.
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return true;
}

bool RenameFile(const std::string& from, const std::string& to) noexcept {
  return from.find('\0') == std::string::npos && to.find('\0') == std::string::npos &&
         ::rename(from.c_str(), to.c_str()) == 0;
}

bool FileExists(const std::string& path) noexcept {
  struct stat info;
  return path.find('\0') == std::string::npos && ::lstat(path.c_str(), &info) == 0;
}

}  // namespace activator
