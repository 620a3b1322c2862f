// The POSIX port of the runtime bootstrap: dlopen and dlsym.
#include "platform/bootstrap.h"

#include <dlfcn.h>
#include <sys/stat.h>

namespace activator {

namespace {

// ERROR_MOD_NOT_FOUND: the number a failed load has always been logged with.
constexpr uint32_t kModuleNotFound = 126;

using BootstrapInitializeFunction = int32_t(uint32_t major_minor_version,
                                            const char16_t* version_tag, uint64_t min_version,
                                            uint32_t options);
using BootstrapShutdownFunction = void();

// The library whose initialisation succeeded, for ShutdownBootstrap.
void* g_initialized = nullptr;

}  // namespace

BootstrapOutcome InitializeBootstrap(const std::string& library_path, const char* entry_point,
                                     uint32_t major_minor_version, const BootstrapFault&) {
  BootstrapOutcome outcome;
  // Never closed: the runtime it brings in stays in use until the process ends.
  // An empty name would make dlopen hand back the program itself, and only a
  // regular file is offered to it: its open of a FIFO would wait for a
  // writer, holding start-up for good.
  struct stat info;
  const bool regular =
      !library_path.empty() && ::stat(library_path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  void* library = regular ? ::dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
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
  if (outcome.result >= 0) g_initialized = library;
  return outcome;
}

void ShutdownBootstrap() {
  if (g_initialized == nullptr) return;
  void* symbol = ::dlsym(g_initialized, "MddBootstrapShutdown");
  g_initialized = nullptr;
  if (symbol != nullptr) reinterpret_cast<BootstrapShutdownFunction*>(symbol)();
}

}  // namespace activator
