// The Windows port of the runtime bootstrap: LoadLibraryW and GetProcAddress,
// errors as GetLastError gives them.
#include "platform/bootstrap.h"

#include <mutex>

#include "platform/os/mdd_bootstrap_abi.h"
#include "platform/os/windows_support.h"

namespace activator {

namespace {

// The fault handling of the call in progress on this thread, if any: the
// system calls the unhandled-exception filter on the thread that raised.
thread_local const BootstrapFault* t_fault = nullptr;
// The filter that was in place before ours, which gets every other thread's
// exceptions.
LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;
std::once_flag g_filter_installed;

// Reached only when no handler of the bootstrap's or of the program's took
// the exception: the process ends here, with the caller's line and code,
// instead of with wine's or Windows' crash handling (a dialog or a debugger
// where one is set up). TerminateProcess rather than ExitProcess: the
// bootstrap's state is whatever the exception left, so none of its library
// detach code runs.
LONG WINAPI EndOnBootstrapFault(EXCEPTION_POINTERS* exception) {
  if (t_fault == nullptr) {
    return g_previous_filter != nullptr ? g_previous_filter(exception) : EXCEPTION_CONTINUE_SEARCH;
  }
  const auto code = static_cast<uint32_t>(exception->ExceptionRecord->ExceptionCode);
  if (t_fault->report != nullptr) t_fault->report(code);
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(t_fault->exit_code));
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

BootstrapOutcome InitializeBootstrap(const std::string& library_path, const char* entry_point,
                                     uint32_t major_minor_version, const BootstrapFault& fault) {
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
      reinterpret_cast<abi::MddBootstrapInitialize2Function>(reinterpret_cast<void (*)()>(symbol));
  outcome.status = BootstrapStatus::kCalled;
  // Installed once and left in place: calls on several threads never undo
  // each other's.
  std::call_once(g_filter_installed,
                 [] { g_previous_filter = ::SetUnhandledExceptionFilter(EndOnBootstrapFault); });
  t_fault = &fault;
  // No version tag, any version of the major version asked for, and no
  // options: a missing runtime comes back as an error code, never as a
  // dialog or a fail-fast.
  outcome.result = initialize(major_minor_version, nullptr, abi::PackageVersion{},
                              abi::kMddBootstrapInitializeOptionsNone);
  t_fault = nullptr;
  return outcome;
}

}  // namespace activator
