// Windows: the starter's console is attached and the C runtime's streams that
// had no handle are reopened on it. The shell does not wait for a program of
// the Windows subsystem, so the lines arrive after its prompt.
#include "platform/console.h"

#include <cstdio>

#include "platform/os/windows_support.h"

namespace activator {

namespace {

// No handle, or a value that is no handle of this process (a starter's
// console handle, which a program without a console cannot use).
bool LeadsNowhere(DWORD stream) {
  const HANDLE handle = ::GetStdHandle(stream);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return true;
  ::SetLastError(NO_ERROR);
  return ::GetFileType(handle) == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR;
}

}  // namespace

void ReachStartersConsole() noexcept {
  const bool out = LeadsNowhere(STD_OUTPUT_HANDLE);
  const bool err = LeadsNowhere(STD_ERROR_HANDLE);
  if (!out && !err) return;
  if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return;  // the starter has none
  // A stream that cannot be reopened stays as it was: nothing is shown.
  if (out && std::freopen("CONOUT$", "w", stdout) == nullptr) return;
  if (err) static_cast<void>(std::freopen("CONOUT$", "w", stderr));
}

}  // namespace activator
