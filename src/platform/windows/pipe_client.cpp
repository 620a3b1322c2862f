// Windows client end of a pipe: the pipe opened write-only, one message
// written, the handle closed again. A busy pipe (its one instance taken by
// another client) is a failed open at once, never a wait.
//
// The name comes from another process's message, so it is checked before it
// is opened: only a pipe of this machine is opened, never a file (which the
// write would overwrite) nor a name on another host (which would open a
// network connection carrying this user's credentials). The pipe's server
// learns who wrote, and no more: it cannot act as this process's user. Nor
// does a pipe of another user's get the message: the job pipe's name is the
// machine's, so another user's activator, or any program of theirs, may hold
// it, and only a pipe this user owns (or, for an administrator, the
// Administrators group: see PipeOwnerOf) is written to. The
// write is overlapped and bounded, since a peer that never reads would
// otherwise hold the caller, and the platform thread it runs on, for good.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/os/windows_support.h"
#include "platform/pipes.h"
#include "platform/windows/user_sid.h"

namespace activator {

namespace {

// "\\.\pipe\" and a name with no step out of the pipe folder: the system
// resolves "." and ".." before the open, so "\\.\pipe\..\C:\x" names a file,
// and it first strips a component's trailing dots and spaces, so ".. " and
// "..." may be ".." by then. No pipe needs such a component.
bool IsLocalPipeName(const std::string& name) {
  constexpr std::string_view kPrefix = "\\\\.\\pipe\\";
  if (name.size() <= kPrefix.size()) return false;
  for (std::size_t i = 0; i < kPrefix.size(); ++i) {
    const char c = name[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != kPrefix[i]) return false;
  }
  const std::string_view rest = std::string_view(name).substr(kPrefix.size());
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = rest.find_first_of("\\/", start);
    const std::string_view step = rest.substr(start, end - start);
    if (step.empty() || step.back() == '.' || step.back() == ' ') return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

// kUnreadable: the owner could not be read (the server may have gone at
// once); kUnknown: the pipe has none.
enum class PipeOwner { kThisUser, kAdministratorsOfThisUser, kOtherUser, kUnknown, kUnreadable };

// Whether this process's token holds the Administrators group, enabled or
// not: a user's unelevated token keeps it for deny only, the elevated one of
// the same user has it enabled.
bool TokenHoldsAdministrators(HANDLE token) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
  if (size == 0) return false;
  std::string buffer(size, '\0');
  if (!::GetTokenInformation(token, TokenGroups, buffer.data(), size, &size)) return false;
  SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!::AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
    return false;
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
  bool held = false;
  for (DWORD i = 0; i < groups->GroupCount && !held; ++i)
    held = ::EqualSid(groups->Groups[i].Sid, administrators) != FALSE;
  ::FreeSid(administrators);
  return held;
}

// Who made the pipe, as far as this user's trust goes. The kernel fixes an
// object's owner at its creation, from the creator's token: its user, or a
// group of it that may own objects, which for the Administrators group means
// an elevated process. That is the default owner of whatever an elevated
// program makes, so a worker run as administrator owns its reply pipe as
// Administrators. Such a process can do anything to this user's files and
// processes already, so when this user is an administrator (the token holds
// the group, if only for deny) its pipe is trusted as this user's own. A
// standard user gets nothing from it: an administrator's elevated program is
// then another user's. The owner, rather than the server's process and its
// token, because the owner is the creator's for good, where a process id may
// be reused or name a process the pipe's handle was passed to, and an
// elevated process's token does not let the user's unelevated one read it.
// No owner at all is no proof either way: Windows always gives a pipe one,
// so only a system that keeps no owners (wine, with NULL security) makes
// such a pipe, and nothing says whose it is.
PipeOwner PipeOwnerOf(HANDLE pipe) {
  HANDLE raw_token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw_token))
    return PipeOwner::kUnreadable;
  const UniqueHandle token(raw_token);
  const std::string user = ProcessTokenUser();
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR raw_descriptor = nullptr;
  if (user.empty() ||
      ::GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &raw_descriptor) != ERROR_SUCCESS)
    return PipeOwner::kUnreadable;
  const std::unique_ptr<void, LocalFreer> descriptor(raw_descriptor);
  if (owner == nullptr || !::IsValidSid(owner)) return PipeOwner::kUnknown;
  if (::EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid))
    return PipeOwner::kThisUser;
  if (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) && TokenHoldsAdministrators(token.get()))
    return PipeOwner::kAdministratorsOfThisUser;
  return PipeOwner::kOtherUser;
}

}  // namespace

PipeSendResult WriteMessageToPipe(const std::string& name, std::string_view message,
                                  std::chrono::milliseconds limit,
                                  std::chrono::milliseconds /*handled_wait*/) {
  // No pipe recorded: nothing is opened, and the code is the one the system
  // gives for an empty name.
  if (name.empty()) return {PipeSendStatus::kOpenFailed, ERROR_PATH_NOT_FOUND};
  // A NUL byte would end the name early and reach another pipe.
  if (name.find('\0') != std::string::npos)
    return {PipeSendStatus::kOpenFailed, ERROR_INVALID_NAME};
  if (!IsLocalPipeName(name)) return {PipeSendStatus::kNotAPipe, 0};
  UniqueHandle pipe(::CreateFileW(
      WidenUtf8(name).c_str(), GENERIC_WRITE | READ_CONTROL, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  if (!pipe) return {PipeSendStatus::kOpenFailed, static_cast<PipeErrorCode>(::GetLastError())};
  if (::GetFileType(pipe.get()) != FILE_TYPE_PIPE) return {PipeSendStatus::kNotAPipe, 0};
  switch (PipeOwnerOf(pipe.get())) {
    case PipeOwner::kThisUser:
    case PipeOwner::kAdministratorsOfThisUser:
      break;
    case PipeOwner::kOtherUser:
      return {PipeSendStatus::kOtherUser, 0};
    case PipeOwner::kUnknown:
      return {PipeSendStatus::kUnknownOwner, 0};
    case PipeOwner::kUnreadable:
      // No proof either way: nothing is written, as to a pipe whose server
      // went away.
      return {PipeSendStatus::kWriteFailed, 0};
  }
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event || message.size() > MAXDWORD) return {PipeSendStatus::kWriteFailed, 0};

  // One write of the whole message; a count short of it is a failure, not a
  // message delivered.
  const DWORD size = static_cast<DWORD>(message.size());
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  bool timed_out = false;
  DWORD written = 0;
  bool done = false;
  if (::WriteFile(pipe.get(), message.data(), size, nullptr, &overlapped) ||
      ::GetLastError() == ERROR_IO_PENDING) {
    const DWORD wait = static_cast<DWORD>(std::clamp<std::int64_t>(limit.count(), 0, INFINITE - 1));
    if (::WaitForSingleObject(event.get(), wait) != WAIT_OBJECT_0) {
      timed_out = true;
      ::CancelIoEx(pipe.get(), &overlapped);
    }
    // The system writes into `overlapped` until the write has ended, cancelled
    // or not; one that completed just as the limit passed was delivered.
    done = ::GetOverlappedResult(pipe.get(), &overlapped, &written, TRUE) != FALSE;
  }
  pipe.reset();  // closed before the caller hears the outcome, whatever it is
  if (done && written == size) return {PipeSendStatus::kSent, 0};
  return {timed_out ? PipeSendStatus::kTimedOut : PipeSendStatus::kWriteFailed, 0};
}

bool PipeWasBusy(PipeErrorCode error) noexcept { return error == ERROR_PIPE_BUSY; }

std::string PipeLocation(const std::string& name) { return name; }

}  // namespace activator
