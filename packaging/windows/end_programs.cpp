// The uninstall's step that ends the running programs of the folder it is
// about to empty (activator.exe, activator-flat.exe, activator-run.exe,
// activator-remote.exe), in
// every user's session: a running program keeps its file
// and the bootstrap library it loaded from being removed (the uninstall would
// leave them for a restart), and an activator left running without its files
// would go on taking jobs. The one argument is the programs' folder (a
// trailing "\." is allowed); a
// process of another folder that has the same file name is left alone.
// Built for the installer only (its Binary table), never installed.
// clang-format off
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
// clang-format on

#include <string>
#include <vector>

namespace {

// Whether `image` is `name` in `folder` (which ends with a backslash), as the
// file system compares names.
bool IsProgramOf(const std::wstring& image, const std::wstring& folder, const wchar_t* name) {
  const std::wstring program = folder + name;
  return ::CompareStringOrdinal(image.c_str(), static_cast<int>(image.size()), program.c_str(),
                                static_cast<int>(program.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (arguments == nullptr || count != 2) return 1;
  wchar_t full[MAX_PATH * 4];
  const DWORD full_length = ::GetFullPathNameW(arguments[1], MAX_PATH * 4, full, nullptr);
  ::LocalFree(arguments);
  if (full_length == 0 || full_length >= MAX_PATH * 4) return 1;
  std::wstring folder(full, full_length);
  if (folder.back() != L'\\') folder += L'\\';

  // The list is cut at the buffer's end without a word: a full buffer may
  // have left processes out, so it grows until the list leaves room.
  std::vector<DWORD> ids(1024);
  DWORD bytes = 0;
  for (;;) {
    if (!::EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes)) {
      return 1;
    }
    if (bytes < ids.size() * sizeof(DWORD) || ids.size() >= (1u << 24)) break;
    ids.resize(ids.size() * 2);
  }
  ids.resize(bytes / sizeof(DWORD));
  for (DWORD id : ids) {
    HANDLE process = ::OpenProcess(
        PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (process == nullptr) continue;
    wchar_t image[MAX_PATH * 4];
    DWORD length = MAX_PATH * 4;
    if (::QueryFullProcessImageNameW(process, 0, image, &length) &&
        (IsProgramOf(std::wstring(image, length), folder, L"activator.exe") ||
         IsProgramOf(std::wstring(image, length), folder, L"activator-flat.exe") ||
         IsProgramOf(std::wstring(image, length), folder, L"activator-run.exe") ||
         IsProgramOf(std::wstring(image, length), folder, L"activator-remote.exe"))) {
      // Its files are removed right after: wait until it has let them go.
      if (::TerminateProcess(process, 1)) ::WaitForSingleObject(process, 10000);
    }
    ::CloseHandle(process);
  }
  return 0;
}
