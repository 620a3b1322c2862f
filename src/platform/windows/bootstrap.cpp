// The Windows port of the runtime bootstrap: LoadLibraryW and GetProcAddress,
// errors as GetLastError gives them.
#include "platform/bootstrap.h"

#include "platform/os/windows_support.h"

namespace activator {

namespace {

// The runtime's signature: (UINT32 majorMinorVersion, PCWSTR versionTag,
// PACKAGE_VERSION minVersion as its 64-bit value, options).
using BootstrapInitializeFunction = HRESULT(WINAPI*)(UINT32 major_minor_version, PCWSTR version_tag,
                                                     UINT64 min_version, UINT32 options);

}  // namespace

BootstrapOutcome InitializeBootstrap(const std::string& library_path, const char* entry_point,
                                     uint32_t major_minor_version) {
  BootstrapOutcome outcome;
  const std::wstring wide_path = WidenUtf8(library_path);
  // An empty name (or one that did not convert) is a module not found, never
  // a search of the whole library path.
  if (wide_path.empty() || library_path.find('\0') != std::string::npos) {
    outcome.status = BootstrapStatus::kLibraryNotLoaded;
    outcome.load_error = ERROR_MOD_NOT_FOUND;
    return outcome;
  }
  // Never freed: the runtime it brings in stays in use until the process ends.
  HMODULE library = ::LoadLibraryW(wide_path.c_str());
  if (library == nullptr) {
    outcome.status = BootstrapStatus::kLibraryNotLoaded;
    outcome.load_error = ::GetLastError();
    return outcome;
  }
  FARPROC symbol = ::GetProcAddress(library, entry_point);
  if (symbol == nullptr) {
    outcome.status = BootstrapStatus::kEntryPointMissing;
    return outcome;
  }
  // Through the generic function pointer type, the one cast between function
  // types the compilers accept without a warning.
  auto initialize =
      reinterpret_cast<BootstrapInitializeFunction>(reinterpret_cast<void (*)()>(symbol));
  outcome.status = BootstrapStatus::kCalled;
  outcome.result = initialize(major_minor_version, nullptr, 0, 0);
  return outcome;
}

}  // namespace activator
