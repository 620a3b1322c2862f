// The runtime bootstrap: the library that makes the notification platform's
// runtime available to the process. Start-up loads it from a fixed path and
// calls its initialisation entry point once; the library stays loaded, and
// the initialisation is undone only by a program that ends of itself
// (ShutdownBootstrap).
#pragma once

#include <cstdint>
#include <string>

namespace activator {

enum class BootstrapStatus {
  kCalled,             // the entry point ran; `result` holds what it returned
  kLibraryNotLoaded,   // `load_error` holds the platform's error code
  kEntryPointMissing,  // the library has no entry point of that name
};

struct BootstrapOutcome {
  BootstrapStatus status = BootstrapStatus::kLibraryNotLoaded;
  uint32_t load_error = 0;
  int32_t result = 0;  // an HRESULT
};

// Loads the library at `library_path` for the rest of the process's life,
// finds `entry_point` by name and calls it as the runtime's initialisation
// function, HRESULT(uint32_t major_minor_version, version tag, uint64_t
// minimum version, uint32_t options), with no version tag, minimum version 0
// and no options.
//
// A library that cannot be loaded is reported with the platform's error code;
// the POSIX port reports 126 (module not found) whatever dlopen's reason, as
// dlopen gives no error number and the code is what the log's readers know.
//
// An entry point that raises an exception nothing handles instead of
// returning (the SDK's bootstrap does so under wine when the runtime is
// missing: docs/windows.md) never comes back: the Windows port calls
// `fault.report` with the exception code on a thread of its own, made ready
// before the call (the faulting one may hold any lock, the heap's included,
// so it only hands the code over and waits), then ends the process with
// `fault.exit_code`, after the report or after a few seconds, whichever comes
// first. A fail-fast (RaiseFailFastException, __fastfail) passes no handler
// and is not seen. The POSIX port ignores `fault`.
struct BootstrapFault {
  void (*report)(uint32_t exception_code) = nullptr;
  int exit_code = 1;
};
BootstrapOutcome InitializeBootstrap(const std::string& library_path, const char* entry_point,
                                     uint32_t major_minor_version,
                                     const BootstrapFault& fault = BootstrapFault());

// Undoes a successful initialisation: calls the library's MddBootstrapShutdown,
// when it has one, once every object of the runtime the program held is given
// back. Nothing happens when no initialisation succeeded.
void ShutdownBootstrap();

}  // namespace activator
