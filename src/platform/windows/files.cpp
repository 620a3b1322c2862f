// Windows files: the append-data right alone, so that the system places each
// write at the end of the file even when other handles (other processes)
// append to it at the same time.
//
// Within the process the appends are taken one at a time as well: wine, where
// this port is tested, does not make a write through an append-only handle
// one step, and lines of concurrent threads were lost over each other there.
//
// The lab is the machine's, and any user may create files and folders in its
// shared folders under the names this program uses: whatever the program
// creates there gets a descriptor that lets in this user (and the system)
// alone, and a file or folder it finds there is used only when this user
// owns it, or the administrators or the system do (who could read and change
// it whoever owned it). Another user may own a file that lets this user in:
// written to, it would hand that user what this user writes.
#include "platform/files.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/mutex.h"
#include "platform/os/windows_support.h"
#include "platform/windows/user_sid.h"

namespace activator {

namespace {
Mutex& AppendLock() {
  static auto* lock = new Mutex();  // lives as long as the process
  return *lock;
}
}  // namespace

namespace {

// This process's user, copied once (lives as long as the process); empty when
// the token could not be read.
const std::vector<BYTE>& UserSid() {
  static const auto* sid = [] {
    auto* copy = new std::vector<BYTE>();
    const std::string user = ProcessTokenUser();
    if (user.empty()) return copy;
    PSID raw = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    copy->resize(::GetLengthSid(raw));
    if (!::CopySid(static_cast<DWORD>(copy->size()), copy->data(), raw)) copy->clear();
    return copy;
  }();
  return *sid;
}

// Whether the file or folder `handle` is open on (with READ_CONTROL) may be
// used: owned by this user, the administrators or the system. An owner that
// cannot be read counts as another user's.
bool OwnerIsTrusted(HANDLE handle) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR raw_descriptor = nullptr;
  if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &raw_descriptor) != ERROR_SUCCESS)
    return false;
  const std::unique_ptr<void, LocalFreer> descriptor(raw_descriptor);
  if (owner == nullptr) return false;
  if (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
      ::IsWellKnownSid(owner, WinLocalSystemSid))
    return true;
  const std::vector<BYTE>& user = UserSid();
  return !user.empty() && ::EqualSid(owner, const_cast<BYTE*>(user.data())) != FALSE;
}

// Security attributes that make a new file (or, with `folder`, a folder and
// what is created in it) this user's alone: owned by the user, who and the
// system alone may open it, nothing taken from the folder above. Null when
// the descriptor could not be made; the file is then not created.
const SECURITY_ATTRIBUTES* OwnerOnly(bool folder) {
  static PSECURITY_DESCRIPTOR descriptors[2] = {};
  static const bool made = [] {
    const std::wstring sid = ProcessUserSidText();
    if (sid.empty()) return false;
    for (int i = 0; i < 2; ++i) {
      const wchar_t* inherit = i == 0 ? L"" : L"OICI";
      const std::wstring sddl = L"O:" + sid + L"D:P(A;" + inherit + L";GA;;;SY)(A;" + inherit +
                                L";GA;;;" + sid + L")";
      if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  &descriptors[i], nullptr))
        return false;
    }
    return true;
  }();
  static SECURITY_ATTRIBUTES attributes[2] = {{sizeof(SECURITY_ATTRIBUTES), descriptors[0], FALSE},
                                              {sizeof(SECURITY_ATTRIBUTES), descriptors[1], FALSE}};
  return made ? &attributes[folder ? 1 : 0] : nullptr;
}

// Opens or creates `path` with `access` (READ_CONTROL added), a new file
// this user's alone, an existing one only when its owner is trusted (the
// error is then ERROR_ACCESS_DENIED) and only a file on a disk.
UniqueHandle OpenOwnFile(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  const SECURITY_ATTRIBUTES* security = OwnerOnly(false);
  if (security == nullptr) return UniqueHandle();
  // The attributes are not inherited: no child process holds the handle.
  UniqueHandle file(::CreateFileW(WidenUtf8(path).c_str(), access | READ_CONTROL, share,
                                  const_cast<SECURITY_ATTRIBUTES*>(security), disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return file;
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return UniqueHandle();
  }
  if (!OwnerIsTrusted(file.get())) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return UniqueHandle();
  }
  return file;
}

// Opens `path` for appending. Only a file on a disk is kept: a path may also
// lead to a pipe or a device, which would take the bytes away or wait.
// FILE_READ_ATTRIBUTES lets the size be read for a rollover.
UniqueHandle OpenForAppend(const std::string& path) {
  return OpenOwnFile(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS);
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
  UniqueHandle file(::CreateFileW(WidenUtf8(path).c_str(), GENERIC_READ | READ_CONTROL,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return result;
  // A path can also name a pipe or a device (CON, a COM port), whose reads may
  // wait for ever: only a file on a disk is read.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
    result.status = FileReadStatus::kNotRegularFile;
    return result;
  }
  if (!OwnerIsTrusted(file.get())) {
    result.status = FileReadStatus::kOtherUsers;
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
  // Emptied only once it is known to be this user's: CREATE_ALWAYS would
  // empty another user's file before its owner could be read.
  UniqueHandle file = OpenOwnFile(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
  if (file && !::SetEndOfFile(file.get())) file.reset();
  std::unique_ptr<Impl> impl = ImplOf(std::move(file), error);
  if (!impl) return std::nullopt;
  return PrivateFile(std::move(impl));
}

std::optional<PrivateFile> PrivateFile::OpenToAppend(const std::string& path, int* error) {
  // Deletion and renames are shared, so the file can still be replaced by a
  // snapshot or kept aside while this handle is open.
  UniqueHandle file = OpenOwnFile(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  OPEN_EXISTING);
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
  const auto failed = [error] {
    if (error != nullptr) *error = static_cast<int>(::GetLastError());
    return false;
  };
  if (path.find('\0') != std::string::npos) {
    ::SetLastError(ERROR_INVALID_NAME);
    return failed();
  }
  const SECURITY_ATTRIBUTES* security = OwnerOnly(true);
  if (security == nullptr) return failed();
  const std::wstring wide = WidenUtf8(path);
  if (::CreateDirectoryW(wide.c_str(), const_cast<SECURITY_ATTRIBUTES*>(security))) return true;
  if (::GetLastError() != ERROR_ALREADY_EXISTS) return failed();
  // One that was there first is used only when it is a folder of a trusted
  // owner, not a link to somewhere else; one of another user's would show
  // that user what is written in it, or keep it out. (A folder another user
  // made that this user may not open fails the open, with the same error.)
  UniqueHandle folder(::CreateFileW(wide.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
  if (!folder) return failed();
  FILE_BASIC_INFO info{};
  if (!::GetFileInformationByHandleEx(folder.get(), FileBasicInfo, &info, sizeof info)) return failed();
  if ((info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    ::SetLastError(ERROR_DIRECTORY);
    return failed();
  }
  if (!OwnerIsTrusted(folder.get())) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return failed();
  }
  return true;
}

std::string DescribeFileError(int error) { return "error " + std::to_string(error); }

bool StandardErrorIsTerminal() noexcept {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  return error != nullptr && error != INVALID_HANDLE_VALUE &&
         ::GetFileType(error) == FILE_TYPE_CHAR;
}

namespace {

// A file created new for this user alone at `name`, or, when something is
// there already, at `name` + "-<process>-<n>": a file made there first by
// another user, which this user may be allowed to write, is never reused
// (renamed over the state, it would stay that user's). A leftover of this
// user's own at `name` is removed first. The name taken is left in `name`.
UniqueHandle CreateTemporary(std::string& name) {
  const SECURITY_ATTRIBUTES* security = OwnerOnly(false);
  if (security == nullptr) return UniqueHandle();
  const std::string first = name;
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (attempt > 0)
      name = first + "-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(attempt);
    const std::wstring wide = WidenUtf8(name);
    for (int again = 0; again < 2; ++again) {
      UniqueHandle file(::CreateFileW(wide.c_str(), GENERIC_WRITE, 0,
                                      const_cast<SECURITY_ATTRIBUTES*>(security), CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
      if (file) return file;
      if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS)
        return UniqueHandle();
      if (again > 0) break;
      UniqueHandle there(::CreateFileW(wide.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
      const bool own = there && ::GetFileType(there.get()) == FILE_TYPE_DISK &&
                       OwnerIsTrusted(there.get());
      there.reset();
      if (!own || !::DeleteFileW(wide.c_str())) break;
    }
  }
  ::SetLastError(ERROR_FILE_EXISTS);
  return UniqueHandle();
}

}  // namespace

bool ReplaceFileWhole(const std::string& path, std::string_view bytes) noexcept {
  if (path.empty() || path.find('\0') != std::string::npos || bytes.size() > MAXDWORD) return false;
  std::string temporary = path + ".tmp";
  UniqueHandle file = CreateTemporary(temporary);
  if (!file) return false;
  DWORD written = 0;
  if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size() || !::FlushFileBuffers(file.get())) {
    file.reset();
    ::DeleteFileW(WidenUtf8(temporary).c_str());
    return false;
  }
  file.reset();
  // Over the state file whoever made it: what stands at the name from here
  // on is this user's own.
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
