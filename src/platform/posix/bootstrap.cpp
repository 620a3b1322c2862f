// The POSIX port of the runtime bootstrap: dlopen and dlsym.
#include "platform/bootstrap.h"

#include <dlfcn.h>

namespace activator {

namespace {

// ERROR_MOD_NOT_FOUND: the number a failed load has always been logged with.
constexpr uint32_t kModuleNotFound = 126;

using BootstrapInitializeFunction = int32_t(uint32_t major_minor_version, const char16_t* version_tag,
                                            uint64_t min_version, uint32_t options);

}  // namespace

BootstrapOutcome InitializeBootstrap(const std::string& library_path, const char* entry_point,
                                     uint32_t major_minor_version) {
  BootstrapOutcome outcome;
  // Never closed: the runtime it brings in stays in use until the process ends.
  // An empty name would make dlopen hand back the program itself.
  void* library =
      library_path.empty() ? nullptr : ::dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    outcome.status = BootstrapStatus::kLibraryNotLoaded;
    outcome.load_error = kModuleNotFound;
    return outcome;
  }
  void* symbol = ::dlsym(library, entry_point);
  if (symbol == nullptr) {
    outcome.status = BootstrapStatus::kEntryPointMissing;
    return outcome;
  }
  auto* initialize = reinterpret_cast<BootstrapInitializeFunction*>(symbol);
  outcome.status = BootstrapStatus::kCalled;
  outcome.result = initialize(major_minor_version, nullptr, 0, 0);
  return outcome;
}

}  // namespace activator
