// Windows: a mutex of the machine named after the file and the user, which
// exists while a handle to it is open and which no one can delete; the file
// itself is never made. Of the machine, as the activator's own lock is, so
// that the user's other sessions are kept out too; the user's SID in the name
// keeps two users' locks of one lab apart. It is made owner-only, and one of
// the name that another user made is refused: it is no lock of this user's.
#include "platform/file_lock.h"

#include <memory>
#include <string>

#include "platform/os/windows_support.h"
#include "platform/windows/user_sid.h"

namespace activator {

FileLockResult TryTakeFileLock(const std::string& path) noexcept {
  // A kernel object's name may hold anything but a backslash.
  const std::wstring user = ProcessUserSidText();
  std::string name = "Global\\" + path + "-" + std::string(user.begin(), user.end());
  for (std::size_t i = 7; i < name.size(); ++i)
    if (name[i] == '\\') name[i] = '/';
  const std::unique_ptr<void, LocalFreer> descriptor = OwnerOnlyDescriptor();
  if (!descriptor) return {FileLockStatus::kFailed, ::GetLastError()};
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
  UniqueHandle mutex(::CreateMutexW(&security, FALSE, WidenUtf8(name).c_str()));
  if (!mutex) return {FileLockStatus::kFailed, ::GetLastError()};
  if (::GetLastError() == ERROR_ALREADY_EXISTS && OwnedByProcessUser(mutex.get()) != true)
    return {FileLockStatus::kFailed, ERROR_ACCESS_DENIED};
  switch (::WaitForSingleObject(mutex.get(), 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      mutex.release();  // open, and so owned, until the process ends
      return {FileLockStatus::kTaken};
    case WAIT_TIMEOUT:
      return {FileLockStatus::kHeld};
    default:
      return {FileLockStatus::kFailed, ::GetLastError()};
  }
}

}  // namespace activator
