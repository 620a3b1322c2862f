// Who this process runs as, in the terms the port compares users in: the SID
// of its token's user. Pipes, mutexes and file names of the machine-wide lab
// are told apart by it, so two users of one machine never serve or feed each
// other's jobs.
#pragma once

// clang-format off
#include "platform/os/windows_support.h"
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <memory>
#include <optional>
#include <string>

namespace activator {

// Frees what the system allocated with LocalAlloc.
struct LocalFreer {
  void operator()(void* memory) const noexcept { ::LocalFree(memory); }
};

// The TOKEN_USER of this process's token, in a buffer of its own; empty when
// the token could not be read.
inline std::string ProcessTokenUser() {
  HANDLE raw_token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw_token)) return std::string();
  UniqueHandle token(raw_token);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return std::string();
  std::string user(size, '\0');
  if (!::GetTokenInformation(token.get(), TokenUser, user.data(), size, &size))
    return std::string();
  return user;
}

// This process's user as a SID string ("S-1-5-21-..."); empty when unknown.
inline std::wstring ProcessUserSidText() {
  const std::string user = ProcessTokenUser();
  if (user.empty()) return std::wstring();
  wchar_t* raw_text = nullptr;
  if (!::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid,
                                &raw_text))
    return std::wstring();
  const std::unique_ptr<void, LocalFreer> owned(raw_text);
  return std::wstring(raw_text);
}

// Whether the kernel object behind `handle` (opened with READ_CONTROL) is
// owned by this process's user; nullopt when either cannot be read (a pipe
// whose server has gone). A process can make only a SID of its own token an
// object's owner, so another user's object is never this user's, whatever
// access list it carries.
inline std::optional<bool> OwnedByProcessUser(HANDLE handle) {
  const std::string user = ProcessTokenUser();
  if (user.empty()) return std::nullopt;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR raw_descriptor = nullptr;
  if (::GetSecurityInfo(handle, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &raw_descriptor) != ERROR_SUCCESS)
    return std::nullopt;
  const std::unique_ptr<void, LocalFreer> descriptor(raw_descriptor);
  if (owner == nullptr) return std::nullopt;
  return ::EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid) != FALSE;
}

// A descriptor owned by this process's user whose access list grants that
// user and the system full access and nobody else anything; protected, so
// nothing is inherited into it. Null when it could not be made (the error is
// left for the caller).
inline std::unique_ptr<void, LocalFreer> OwnerOnlyDescriptor() {
  const std::wstring sid = ProcessUserSidText();
  if (sid.empty()) return nullptr;
  const std::wstring sddl = L"O:" + sid + L"D:P(A;;GA;;;SY)(A;;GA;;;" + sid + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr))
    return nullptr;
  return std::unique_ptr<void, LocalFreer>(descriptor);
}

}  // namespace activator
