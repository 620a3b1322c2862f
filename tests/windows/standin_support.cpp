#include "windows/standin_support.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/os/winappsdk_abi.h"

namespace activator::testing {

const wchar_t* const kStandinClasses[5] = {
    abi::kAppNotificationManagerClass, abi::kAppNotificationBuilderClass,
    abi::kAppNotificationButtonClass, abi::kUriClass, abi::kAppInstanceClass};

namespace {

constexpr wchar_t kClassesKey[] = L"Software\\Microsoft\\WindowsRuntime\\ActivatableClassId\\";

// The DLL's path as wine's Windows side names it.
std::wstring StandinPath() {
  std::string path = "Z:" STANDIN_RUNTIME_DLL;
  std::replace(path.begin(), path.end(), '/', '\\');
  return std::wstring(path.begin(), path.end());
}

}  // namespace

bool RegisterStandinRuntime() {
  const std::wstring dll = StandinPath();
  const DWORD in_process = 0;
  for (const wchar_t* name : kStandinClasses) {
    const std::wstring key = std::wstring(kClassesKey) + name;
    if (::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"DllPath", REG_SZ, dll.c_str(),
                          static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t))) !=
            ERROR_SUCCESS ||
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ActivationType", REG_DWORD,
                          &in_process, sizeof in_process) != ERROR_SUCCESS) {
      return false;
    }
  }
  return true;
}

void UnregisterStandinRuntime() {
  for (const wchar_t* name : kStandinClasses) {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kClassesKey) + name).c_str());
  }
}

std::string StandinCommand(const std::string& command) {
  using Command = int (*)(const char*, char*, int);
  static const Command run = [] {
    HMODULE dll = ::LoadLibraryW(StandinPath().c_str());
    return dll == nullptr ? nullptr
                          : reinterpret_cast<Command>(reinterpret_cast<void (*)()>(
                                ::GetProcAddress(dll, "StandinCommand")));
  }();
  if (run == nullptr) return "stand-in not loaded";
  std::string reply(1 << 16, '\0');
  reply.resize(
      static_cast<std::size_t>(run(command.c_str(), reply.data(), static_cast<int>(reply.size()))));
  return reply;
}

std::string StandinCommandOverPipe(const std::string& pipe, const std::string& command,
                                   int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string reply(1 << 16, '\0');
  for (;;) {
    DWORD read = 0;
    if (::CallNamedPipeA(pipe.c_str(), const_cast<char*>(command.data()),
                         static_cast<DWORD>(command.size()), reply.data(),
                         static_cast<DWORD>(reply.size()), &read, 1000)) {
      reply.resize(read);
      return reply;
    }
    // The pipe appears once the program has asked for its first class.
    if (std::chrono::steady_clock::now() > deadline) return std::string();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace activator::testing
