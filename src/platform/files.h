// Files: the few operations on files that the program needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace activator {

enum class FileReadStatus {
  kRead,            // `bytes` holds the start of the file (empty for an empty file)
  kUnreadable,      // missing, not ours to read, or the read failed
  kNotRegularFile,  // a FIFO, a device, a folder: nothing was read
  kOtherUsers,      // Windows: a file of another user's, which this user may not trust
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
// creating the file (not its folder) when missing, for this user alone (0600
// on POSIX; on Windows a descriptor that lets in only the user and the
// system). On Windows, whose lab every user shares, a file there that another
// user owns (not the administrators or the system) gets nothing. The file is opened and
// closed within the call, shared with every other opener, and never inherited
// by child processes. Only a regular file is appended to, and the open never
// waits: a FIFO or a device at `path` gets nothing. With a `rollover` the file
// is first renamed as it says; concurrent appenders, in this process or
// another, rename it once between them. Returns false when the file could not
// be opened or is not a regular file, or the write failed; never throws.
bool AppendToFile(const std::string& path, std::string_view bytes,
                  const FileRollover& rollover = {}) noexcept;

// True when the process's standard error is a terminal (a user started the
// program by hand and sees what it prints there).
bool StandardErrorIsTerminal() noexcept;

// Reads at most `max_bytes` from the start of the regular file at `path`, as
// raw bytes, taking only as much memory as the file holds, denying other openers nothing (a writer may hold the file open).
// Only a regular file is read, and the call never waits on anything else: a
// FIFO with no writer or a device never ends a read, so they are refused
// without one, and opening them cannot block either. A path holding a NUL
// byte names no file. On Windows a file another user owns is not read
// (kOtherUsers): that user chose what it says.
FileReadResult ReadFileStart(const std::string& path, std::size_t max_bytes);

// Replaces the file at `path` by one holding exactly `bytes`, so that the
// path names the old file or the new one, each whole, at every moment, a
// crash or a power cut included: the bytes go to a file created new,
// `path` + ".tmp" (a file of this user's there is removed first, a link there
// is not followed; on Windows, where another user may have made the name
// first, another name beside it then), this user's alone, are flushed to the
// disk, and the temporary file is then renamed over `path`. Returns false (the old
// file left as it was) when any step failed; never throws.
bool ReplaceFileWhole(const std::string& path, std::string_view bytes) noexcept;

// Renames the file at `from` to `to`, replacing whatever file is there.
bool RenameFile(const std::string& from, const std::string& to) noexcept;

// True when something (a file, a folder, anything) is at `path`.
bool FileExists(const std::string& path) noexcept;

// True when `path` is absolute in the system's own terms ("/..." on POSIX;
// "C:\...", "C:/..." or "\\server\..." on Windows), so that its meaning does
// not depend on the program's working folder.
bool IsAbsolutePath(std::string_view path) noexcept;

// A file created afresh for this user alone (0600 on POSIX; on Windows a
// descriptor that lets in only the user and the system), never inherited by
// child processes. On Windows an existing file is opened only when this
// user, the administrators or the system own it (ERROR_ACCESS_DENIED
// otherwise).
// Error numbers are the system's own (errno, GetLastError), 0 for none.
class PrivateFile {
 public:
  // Creates or empties the file at `path`.
  static std::optional<PrivateFile> Create(const std::string& path, int* error);
  // Opens the existing regular file at `path` (a link there is not followed)
  // to append to it, for as long as the object is kept.
  static std::optional<PrivateFile> OpenToAppend(const std::string& path, int* error);

  PrivateFile(PrivateFile&&) noexcept;
  PrivateFile& operator=(PrivateFile&&) noexcept;
  ~PrivateFile();

  // Writes all of `bytes` at the file's end, or returns why not.
  int Append(std::string_view bytes) noexcept;
  // Writes `bytes` over what stands at `offset` (already written).
  int Overwrite(std::uint64_t offset, std::string_view bytes) noexcept;
  // The file's size while it still has a name; nullopt once it was deleted,
  // or another file was renamed over it. One look at the open file, no path
  // lookup: cheap enough to ask before every append.
  std::optional<std::uint64_t> SizeWhileNamed() const noexcept;

  struct Impl;

 private:
  explicit PrivateFile(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Creates the folder at `path` (its parent must exist) so that only this user
// can read it; an existing folder of this user's is made so (POSIX) or taken
// as it is (Windows, where the administrators' or the system's is taken too).
// False, with the system's error number, when neither could be done: an
// existing folder of another user's, or a link, is refused.
bool MakeOwnerOnlyFolder(const std::string& path, int* error) noexcept;

// The system's words for an error number of this header's calls.
std::string DescribeFileError(int error);

}  // namespace activator
