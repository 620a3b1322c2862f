// Windows files: the append-data right alone, so that the system places each
// write at the end of the file even when other handles (other processes)
// append to it at the same time.
//
// Within the process the appends are taken one at a time as well: wine, where
// this port is tested, does not make a write through an append-only handle
// one step, and lines of concurrent threads were lost over each other there.
#include "platform/files.h"

#include <algorithm>
#include <cstdint>

#include "base/mutex.h"
#include "platform/os/windows_support.h"

namespace activator {

namespace {
Mutex& AppendLock() {
  static auto* lock = new Mutex();  // lives as long as the process
  return *lock;
}
}  // namespace

namespace {

// Opens `path` for appending. Only a file on a disk is kept: a path may also
// lead to a pipe or a device, which would take the bytes away or wait.
// FILE_READ_ATTRIBUTES lets the size be read for a rollover.
UniqueHandle OpenForAppend(const std::string& path) {
  // No security attributes: the handle is not inherited by child processes.
  UniqueHandle file(::CreateFileW(WidenUtf8(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file && ::GetFileType(file.get()) != FILE_TYPE_DISK) return UniqueHandle();
  return file;
}

}  // namespace

bool AppendToFile(const std::string& path, std::string_view bytes,
                  const FileRollover& rollover) noexcept {
  // A NUL byte would end the name early and append to another file.
  if (path.find('\0') != std::string::npos) return false;
  if (bytes.size() > MAXDWORD) return false;
  MutexLock hold(AppendLock());
  UniqueHandle file = OpenForAppend(path);
  if (!file) return false;
  LARGE_INTEGER size{};
  if (rollover.limit_bytes != 0 && rollover.predecessor.find('\0') == std::string::npos &&
      ::GetFileSizeEx(file.get(), &size) &&
      static_cast<uint64_t>(size.QuadPart) >= rollover.limit_bytes) {
    // Within the process the append lock makes this one rename; every opener
    // shares deletion, so the rename succeeds with other handles open. When it
    // fails all the same, the bytes go to the file as it is.
    file.reset();
    ::MoveFileExW(WidenUtf8(path).c_str(), WidenUtf8(rollover.predecessor).c_str(),
                  MOVEFILE_REPLACE_EXISTING);
    file = OpenForAppend(path);
    if (!file) return false;
  }
  // One write call: splitting the line would let another writer's line land
  // inside it.
  DWORD written = 0;
  const BOOL ok =
      ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return ok && written == bytes.size();
}

FileReadResult ReadFileStart(const std::string& path, std::size_t max_bytes) {
  FileReadResult result;
  if (path.find('\0') != std::string::npos) return result;
  // Full sharing, so a worker holding the file open keeps it. A folder does
  // not open without backup semantics, which are not asked for.
  UniqueHandle file(::CreateFileW(WidenUtf8(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return result;
  // A path can also name a pipe or a device (CON, a COM port), whose reads may
  // wait for ever: only a file on a disk is read.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
    result.status = FileReadStatus::kNotRegularFile;
    return result;
  }
  // Sized by what the file holds now, one byte more to see its end at once;
  // grown only when a writer made it longer meanwhile.
  LARGE_INTEGER size{};
  const uint64_t held = ::GetFileSizeEx(file.get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
  std::string bytes(std::min<uint64_t>(max_bytes, held + 1), '\0');
  std::size_t filled = 0;
  while (filled < max_bytes) {
    if (filled == bytes.size()) bytes.resize(std::min(max_bytes, 2 * bytes.size()));
    const DWORD wanted =
        static_cast<DWORD>(std::min<std::size_t>(bytes.size() - filled, MAXDWORD));
    DWORD count = 0;
    if (!::ReadFile(file.get(), bytes.data() + filled, wanted, &count, nullptr)) return result;
    if (count == 0) break;
    filled += count;
  }
  bytes.resize(filled);
  result.status = FileReadStatus::kRead;
  result.bytes = std::move(bytes);
  return result;
}

bool IsAbsolutePath(std::string_view path) noexcept {
  auto separator = [](char c) { return c == '\\' || c == '/'; };
  const bool drive = path.size() >= 3 &&
                     ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                     path[1] == ':' && separator(path[2]);
  // "\\server\share\..." and the "\\?\" and "\\.\" forms. A lone "\" is the
  // root of whichever drive is current, and "C:x" is relative to that drive's
  // working folder: neither is absolute.
  const bool unc = path.size() >= 2 && separator(path[0]) && separator(path[1]);
  return drive || unc;
}

struct PrivateFile::Impl {
  UniqueHandle file;
};

namespace {
// The open file for a PrivateFile, or null with the system's error stored.
std::unique_ptr<PrivateFile::Impl> ImplOf(UniqueHandle file, int* error) {
  if (!file) {
    if (error != nullptr) *error = static_cast<int>(::GetLastError());
    return nullptr;
  }
  auto impl = std::make_unique<PrivateFile::Impl>();
  impl->file = std::move(file);
  return impl;
}
}  // namespace

std::optional<PrivateFile> PrivateFile::Create(const std::string& path, int* error) {
  // No security attributes: the user's default access, and a handle that no
  // child process inherits.
  UniqueHandle file(::CreateFileW(WidenUtf8(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::unique_ptr<Impl> impl = ImplOf(std::move(file), error);
  if (!impl) return std::nullopt;
  return PrivateFile(std::move(impl));
}

std::optional<PrivateFile> PrivateFile::OpenToAppend(const std::string& path, int* error) {
  // Deletion and renames are shared, so the file can still be replaced by a
  // snapshot or kept aside while this handle is open.
  UniqueHandle file(::CreateFileW(WidenUtf8(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file && ::GetFileType(file.get()) != FILE_TYPE_DISK) {
    file.reset();
    ::SetLastError(ERROR_INVALID_PARAMETER);
  }
  std::unique_ptr<Impl> impl = ImplOf(std::move(file), error);
  if (!impl) return std::nullopt;
  return PrivateFile(std::move(impl));
}

std::optional<std::uint64_t> PrivateFile::SizeWhileNamed() const noexcept {
  // A file deleted while open is only marked for deletion until its last
  // handle closes; one cannot be renamed over while this handle is open.
  FILE_STANDARD_INFO info{};
  if (!::GetFileInformationByHandleEx(impl_->file.get(), FileStandardInfo, &info, sizeof(info)) ||
      info.DeletePending || info.NumberOfLinks == 0)
    return std::nullopt;
  return static_cast<std::uint64_t>(info.EndOfFile.QuadPart);
}

PrivateFile::PrivateFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PrivateFile::PrivateFile(PrivateFile&&) noexcept = default;
PrivateFile& PrivateFile::operator=(PrivateFile&&) noexcept = default;
PrivateFile::~PrivateFile() = default;

namespace {
// Writes all of `bytes` from the position `at` names.
int WriteAt(HANDLE file, OVERLAPPED* at, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), chunk, &written, at))
      return static_cast<int>(::GetLastError());
    if (written == 0) return static_cast<int>(ERROR_WRITE_FAULT);
    bytes.remove_prefix(written);
    // The end-of-file marker (all ones) stays as it is.
    if (at->Offset != 0xFFFFFFFF || at->OffsetHigh != 0xFFFFFFFF) {
      const ULONGLONG next = ((ULONGLONG{at->OffsetHigh} << 32) | at->Offset) + written;
      at->Offset = static_cast<DWORD>(next);
      at->OffsetHigh = static_cast<DWORD>(next >> 32);
    }
  }
  return 0;
}
}  // namespace

int PrivateFile::Append(std::string_view bytes) noexcept {
  OVERLAPPED at_end{};
  at_end.Offset = 0xFFFFFFFF;
  at_end.OffsetHigh = 0xFFFFFFFF;
  return WriteAt(impl_->file.get(), &at_end, bytes);
}

int PrivateFile::Overwrite(std::uint64_t offset, std::string_view bytes) noexcept {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return WriteAt(impl_->file.get(), &at, bytes);
}

bool MakeOwnerOnlyFolder(const std::string& path, int* error) noexcept {
  if (::CreateDirectoryW(WidenUtf8(path).c_str(), nullptr) ||
      ::GetLastError() == ERROR_ALREADY_EXISTS)
    return true;
  if (error != nullptr) *error = static_cast<int>(::GetLastError());
  return false;
}

std::string DescribeFileError(int error) { return "error " + std::to_string(error); }

bool StandardErrorIsTerminal() noexcept {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  return error != nullptr && error != INVALID_HANDLE_VALUE &&
         ::GetFileType(error) == FILE_TYPE_CHAR;
}

bool ReplaceFileWhole(const std::string& path, std::string_view bytes) noexcept {
  if (path.empty() || path.find('\0') != std::string::npos || bytes.size() > MAXDWORD) return false;
  const std::string temporary = path + ".tmp";
  {
    UniqueHandle file(::CreateFileW(WidenUtf8(temporary).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) return false;
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) ||
        written != bytes.size() || !::FlushFileBuffers(file.get())) {
      file.reset();
      ::DeleteFileW(WidenUtf8(temporary).c_str());
      return false;
    }
  }
  if (!::MoveFileExW(WidenUtf8(temporary).c_str(), WidenUtf8(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ::DeleteFileW(WidenUtf8(temporary).c_str());
    return false;
  }
  return true;
}

bool RenameFile(const std::string& from, const std::string& to) noexcept {
  return from.find('\0') == std::string::npos && to.find('\0') == std::string::npos &&
         ::MoveFileExW(WidenUtf8(from).c_str(), WidenUtf8(to).c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool FileExists(const std::string& path) noexcept {
  return path.find('\0') == std::string::npos &&
         ::GetFileAttributesW(WidenUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace activator
