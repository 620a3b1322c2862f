// Files: the few operations on files that the program needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace activator {

enum class FileReadStatus {
  kRead,            // `bytes` holds the start of the file (empty for an empty file)
  kUnreadable,      // missing, not ours to read, or the read failed
  kNotRegularFile,  // a FIFO, a device, a folder: nothing was read
};

struct FileReadResult {
  FileReadStatus status = FileReadStatus::kUnreadable;
  std::string bytes;
};

// When a file that is appended to must stay bounded: once it holds at least
// `limit_bytes` (0: no bound), it is renamed to `predecessor` (replacing the
// one before) and the next bytes begin a new file.
struct FileRollover {
  uint64_t limit_bytes = 0;
  std::string predecessor;
};

// Appends `bytes` to the file at `path` with a single write at the file's end,
// creating the file (not its folder) when missing. The file is opened and
// closed within the call, shared with every other opener, and never inherited
// by child processes. Only a regular file is appended to, and the open never
// waits: a FIFO or a device at `path` gets nothing. With a `rollover` the file
// is first renamed as it says; concurrent appenders, in this process or
// another, rename it once between them. Returns false when the file could not
// be opened or is not a regular file, or the write failed; never throws.
bool AppendToFile(const std::string& path, std::string_view bytes,
                  const FileRollover& rollover = {}) noexcept;

// Reads at most `max_bytes` from the start of the regular file at `path`, as
// raw bytes, denying other openers nothing (a writer may hold the file open).
// Only a regular file is read, and the call never waits on anything else: a
// FIFO with no writer or a device never ends a read, so they are refused
// without one, and opening them cannot block either. A path holding a NUL
// byte names no file.
FileReadResult ReadFileStart(const std::string& path, std::size_t max_bytes);

// True when `path` is absolute in the system's own terms ("/..." on POSIX;
// "C:\...", "C:/..." or "\\server\..." on Windows), so that its meaning does
// not depend on the program's working folder.
bool IsAbsolutePath(std::string_view path) noexcept;

}  // namespace activator
