// Stands in for the system text editor in the end-to-end tests: records the
// command line it was started with in notepad_opened.txt beside itself, and
// ends. The test puts it in the prefix's system folder in place of wine's
// notepad.exe, which wine then runs as a program of its own
// (WINEDLLOVERRIDES=notepad.exe=n) instead of its built-in editor.
#include <cstdio>
#include <string>

#include "platform/os/windows_support.h"

int main() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring record(path, length);
  record.resize(record.find_last_of(L'\\') + 1);
  record += L"notepad_opened.txt";
  const wchar_t* line = ::GetCommandLineW();
  char bytes[4096];
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, line, -1, bytes, sizeof bytes, nullptr, nullptr);
  if (FILE* out = _wfopen(record.c_str(), L"ab")) {
    std::fwrite(bytes, 1, size > 0 ? static_cast<std::size_t>(size - 1) : 0, out);
    std::fputs("\r\n", out);
    std::fclose(out);
  }
  return 0;
}
