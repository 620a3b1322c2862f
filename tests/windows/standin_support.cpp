#include "windows/standin_support.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/os/winappsdk_abi.h"
#include "windows/standin_runtime/standin_control.h"

namespace activator::testing {

const wchar_t* const kStandinClasses[7] = {abi::kAppNotificationManagerClass,
                                           abi::kAppNotificationBuilderClass,
                                           abi::kAppNotificationButtonClass,
                                           abi::kAppNotificationProgressBarClass,
                                           abi::kAppNotificationProgressDataClass,
                                           abi::kUriClass,
                                           abi::kAppInstanceClass};

namespace {

constexpr wchar_t kClassesKey[] = L"Software\\Microsoft\\WindowsRuntime\\ActivatableClassId\\";

// Registers `dll` as the in-process server of `name`.
bool RegisterClass(const wchar_t* name, const std::wstring& dll) {
  const std::wstring key = std::wstring(kClassesKey) + name;
  const DWORD in_process = 0;
  return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"DllPath", REG_SZ, dll.c_str(),
                           static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t))) ==
             ERROR_SUCCESS &&
         ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ActivationType", REG_DWORD,
                           &in_process, sizeof in_process) == ERROR_SUCCESS;
}

BOOL WINAPI OriginateNothing(HRESULT, UINT, PCWSTR) { return FALSE; }

// Points `module`'s export `name` at `target`, through a jump placed within
// the 32-bit reach of the module's export table. Wine stubs an export it does
// not implement with a routine that ends the process.
bool ReplaceExport(const wchar_t* module, const char* name, const void* target) {
  auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(module));
  if (base == nullptr) return false;
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  auto* exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
  auto* names = reinterpret_cast<DWORD*>(base + exports->AddressOfNames);
  auto* ordinals = reinterpret_cast<WORD*>(base + exports->AddressOfNameOrdinals);
  auto* functions = reinterpret_cast<DWORD*>(base + exports->AddressOfFunctions);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    if (std::strcmp(reinterpret_cast<const char*>(base + names[i]), name) != 0) continue;
    BYTE* jump = nullptr;
    for (UINT_PTR at =
             (reinterpret_cast<UINT_PTR>(base) + nt->OptionalHeader.SizeOfImage + 0xFFFF) &
             ~UINT_PTR{0xFFFF};
         jump == nullptr && at < reinterpret_cast<UINT_PTR>(base) + 0x7FFF0000; at += 0x10000) {
      jump = static_cast<BYTE*>(::VirtualAlloc(reinterpret_cast<void*>(at), 16,
                                               MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
    }
    if (jump == nullptr) return false;
    const BYTE code[12] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0};  // mov rax; jmp rax
    std::memcpy(jump, code, sizeof code);
    std::memcpy(jump + 2, &target, sizeof target);
    DWORD* slot = &functions[ordinals[i]];
    DWORD old = 0;
    if (!::VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) return false;
    *slot = static_cast<DWORD>(jump - base);
    ::VirtualProtect(slot, sizeof *slot, old, &old);
    return true;
  }
  return false;
}

// The DLL's path as wine's Windows side names it.
std::wstring StandinPath() {
  std::string path = "Z:" STANDIN_RUNTIME_DLL;
  std::replace(path.begin(), path.end(), '/', '\\');
  return std::wstring(path.begin(), path.end());
}

}  // namespace

bool RegisterStandinRuntime() {
  const std::wstring dll = StandinPath();
  for (const wchar_t* name : kStandinClasses) {
    if (!RegisterClass(name, dll)) return false;
  }
  return true;
}

void UnregisterStandinRuntime() {
  for (const wchar_t* name : kStandinClasses) {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kClassesKey) + name).c_str());
  }
}

bool LoadRealRuntime(const std::wstring& runtime_dll, const std::wstring& rometadata_stub,
                     std::string& why) {
  if (::GetModuleHandleW(runtime_dll.c_str()) != nullptr) return true;
  // Only where wine leaves them out: a Windows of its own keeps its own.
  const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
  if (wine && (!ReplaceExport(L"combase.dll", "RoOriginateErrorW",
                              reinterpret_cast<const void*>(&OriginateNothing)) ||
               !ReplaceExport(L"combase.dll", "RoOriginateError",
                              reinterpret_cast<const void*>(&OriginateNothing)))) {
    why = "combase's RoOriginateError exports could not be replaced";
    return false;
  }
  if (::LoadLibraryW(rometadata_stub.c_str()) == nullptr) {
    why = "RoMetadata.dll stand-in not loaded, error " + std::to_string(::GetLastError());
    return false;
  }
  if (::LoadLibraryW(runtime_dll.c_str()) == nullptr) {
    why = "runtime not loaded, error " + std::to_string(::GetLastError());
    return false;
  }
  if (!RegisterClass(standin::kXmlDocumentClass, StandinPath())) {
    why = "XmlDocument not registered";
    return false;
  }
  return true;
}

bool RegisterRealClass(const wchar_t* class_name, const std::wstring& runtime_dll) {
  return RegisterClass(class_name, runtime_dll);
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
