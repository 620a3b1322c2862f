// Windows shell: the existence check is the file's attributes; the text editor
// is started through the shell, which hands back no process handle, so nothing
// of the editor is left with us.
#include "platform/shell.h"

#include "base/build_constants.h"
// The support header first: it sets the macros the SDK headers read.
// clang-format off
#include "platform/os/windows_support.h"
#include <objbase.h>
#include <process.h>
#include <shellapi.h>
// clang-format on

namespace activator {

bool IsExistingNonDirectory(const std::string& path) noexcept {
  // A NUL byte would end the path early and check another file than the one
  // named.
  if (path.find('\0') != std::string::npos) return false;
  const DWORD attributes = ::GetFileAttributesW(WidenUtf8(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

namespace {

struct ShellStart {
  const std::string* path;
  INT_PTR result = 0;
};

// The shell asks for a single-threaded apartment without OLE1 DDE; the
// caller's thread (the notification platform's, in the multithreaded
// apartment) cannot become one, so the start runs on a thread of its own.
unsigned __stdcall StartEditorInApartment(void* argument) {
  auto* start = static_cast<ShellStart*>(argument);
  const HRESULT joined =
      ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  // Values above 32 mean started; the smaller ones are error codes.
  const HINSTANCE result = ::ShellExecuteW(nullptr, L"open", WidenUtf8(kTextEditor).c_str(),
                                           WidenUtf8(*start->path).c_str(), nullptr, SW_SHOWNORMAL);
  start->result = reinterpret_cast<INT_PTR>(result);
  if (SUCCEEDED(joined)) ::CoUninitialize();
  return 0;
}

}  // namespace

EditorStart StartTextEditor(const std::string& path, std::chrono::milliseconds /*watch*/) noexcept {
  EditorStart outcome;
  if (path.find('\0') != std::string::npos) {
    outcome.code = ERROR_INVALID_PARAMETER;
    return outcome;
  }
  ShellStart start{&path};
  const uintptr_t thread =
      ::_beginthreadex(nullptr, 0, &StartEditorInApartment, &start, 0, nullptr);
  if (thread == 0) {
    outcome.code = static_cast<int>(::GetLastError());
    return outcome;
  }
  const auto handle = reinterpret_cast<HANDLE>(thread);
  ::WaitForSingleObject(handle, INFINITE);
  ::CloseHandle(handle);
  if (start.result > 32) {
    outcome.outcome = EditorStart::Outcome::kStarted;
  } else {
    // The shell's own codes: 2 file not found, 31 no association, ...
    outcome.outcome = start.result == ERROR_FILE_NOT_FOUND ? EditorStart::Outcome::kNotFound
                                                           : EditorStart::Outcome::kStartFailed;
    outcome.code = static_cast<int>(start.result);
  }
  return outcome;
}

}  // namespace activator
