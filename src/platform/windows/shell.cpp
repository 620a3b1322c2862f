// Windows shell: the existence check is the file's attributes; the text editor
// is started through the shell, which hands back no process handle, so nothing
// of the editor is left with us.
#include "platform/shell.h"

#include "base/build_constants.h"
// The support header first: it sets the macros the SDK headers read.
// clang-format off
#include "platform/os/windows_support.h"
#include <shellapi.h>
// clang-format on

namespace activator {

bool IsExistingNonDirectory(const std::string& path) noexcept {
  // A NUL byte would end the path early and check another file than the one
  // named.
  if (path.find('\0') != std::string::npos) return false;
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool StartTextEditor(const std::string& path, std::chrono::milliseconds /*watch*/) noexcept {
  if (path.find('\0') != std::string::npos) return false;
  // Values above 32 mean started; the smaller ones are error codes.
  const HINSTANCE result =
      ::ShellExecuteA(nullptr, "open", kTextEditor, path.c_str(), nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace activator
