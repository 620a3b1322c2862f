// A command for activator-run's end-to-end test that starts a process of its
// own and never ends: it starts a copy of itself, writes the copy's process id
// to the file its argument names, and waits. The copy, started without
// arguments, only waits.
#include <cstdio>
#include <string>

#include "platform/os/windows_support.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    ::Sleep(INFINITE);
    return 0;
  }
  char self[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string line = "\"" + std::string(self, length) + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started))
    return 9;
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  if (FILE* out = std::fopen(argv[1], "wb")) {
    std::fprintf(out, "%lu\n", static_cast<unsigned long>(started.dwProcessId));
    std::fclose(out);
  }
  ::Sleep(INFINITE);
  return 0;
}
