// The Windows port of the runtime bootstrap: LoadLibraryW and GetProcAddress,
// errors as GetLastError gives them.
#include "platform/bootstrap.h"

#include <process.h>

#include <atomic>
#include <mutex>

#include "platform/os/mdd_bootstrap_abi.h"
#include "platform/os/windows_support.h"

namespace activator {

namespace {

// How long the faulting thread waits for the report before it ends the
// process all the same: the reporting thread may itself wait on a lock the
// faulting code holds.
constexpr DWORD kFaultReportBound = 5000;

// The call in progress: the thread that makes it, and what to do on its
// fault. Plain words, read by the filter without allocating or locking.
std::atomic<DWORD> g_calling_thread{0};
const BootstrapFault* g_fault = nullptr;  // set before g_calling_thread
std::atomic<uint32_t> g_fault_code{0};
std::atomic<bool> g_faulted{false};
HANDLE g_fault_raised = nullptr;    // the filter, or the call's end, wakes the reporter
HANDLE g_fault_reported = nullptr;  // the reporter is done
// The filter that was in place before ours, which gets every other thread's
// exceptions.
LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;
std::once_flag g_filter_installed;

// The library whose initialisation succeeded, for ShutdownBootstrap.
HMODULE g_initialized = nullptr;

// Reached only when no handler of the bootstrap's or of the program's took
// the exception. The faulting thread's state is whatever the exception left
// (a heap or loader lock may be held), so it only hands the code to the
// reporting thread and waits for it, bounded, then ends the process with the
// caller's code instead of with wine's or Windows' crash handling (a dialog,
// or a debugger where one is set up). TerminateProcess rather than
// ExitProcess: none of the bootstrap's library detach code runs.
LONG WINAPI EndOnBootstrapFault(EXCEPTION_POINTERS* exception) {
  if (g_calling_thread.load() != ::GetCurrentThreadId()) {
    return g_previous_filter != nullptr ? g_previous_filter(exception) : EXCEPTION_CONTINUE_SEARCH;
  }
  g_fault_code.store(static_cast<uint32_t>(exception->ExceptionRecord->ExceptionCode));
  g_faulted.store(true);
  ::SetEvent(g_fault_raised);
  ::WaitForSingleObject(g_fault_reported, kFaultReportBound);
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(g_fault->exit_code));
  return EXCEPTION_CONTINUE_SEARCH;
}

// The reporting thread: waits for the call to fault or to end.
unsigned __stdcall ReportFault(void*) {
  ::WaitForSingleObject(g_fault_raised, INFINITE);
  if (g_faulted.load() && g_fault->report != nullptr) g_fault->report(g_fault_code.load());
  ::SetEvent(g_fault_reported);
  return 0;
}

// Calls `initialize` with the fault handling above around it. Without the
// reporting thread (the system gave none) a fault still ends the process,
// unreported.
HRESULT CallWithFaultHandling(abi::MddBootstrapInitialize2Function initialize,
                              uint32_t major_minor_version, const BootstrapFault& fault) {
  // Installed once and left in place: calls on several threads never undo
  // each other's.
  std::call_once(g_filter_installed, [] {
    g_fault_raised = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_fault_reported = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_previous_filter = ::SetUnhandledExceptionFilter(EndOnBootstrapFault);
  });
  static std::mutex one_call_at_a_time;
  const std::lock_guard<std::mutex> hold(one_call_at_a_time);
  g_fault = &fault;
  g_faulted.store(false);
  ::ResetEvent(g_fault_reported);
  const uintptr_t reporter = g_fault_raised != nullptr && g_fault_reported != nullptr
                                 ? ::_beginthreadex(nullptr, 0, &ReportFault, nullptr, 0, nullptr)
                                 : 0;
  g_calling_thread.store(::GetCurrentThreadId());
  // No version tag, any version of the major version asked for, and no
  // options: a missing runtime comes back as an error code, never as a
  // dialog or a fail-fast.
  const HRESULT result = initialize(major_minor_version, nullptr, abi::PackageVersion{},
                                    abi::kMddBootstrapInitializeOptionsNone);
  g_calling_thread.store(0);
  if (reporter != 0) {
    ::SetEvent(g_fault_raised);  // no fault: the reporter ends
    ::WaitForSingleObject(reinterpret_cast<HANDLE>(reporter), INFINITE);
    ::CloseHandle(reinterpret_cast<HANDLE>(reporter));
  }
  return result;
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
  outcome.result = CallWithFaultHandling(initialize, major_minor_version, fault);
  if (outcome.result >= 0) g_initialized = library;
  return outcome;
}

void ShutdownBootstrap() {
  if (g_initialized == nullptr) return;
  FARPROC symbol = ::GetProcAddress(g_initialized, "MddBootstrapShutdown");
  g_initialized = nullptr;
  if (symbol != nullptr) reinterpret_cast<void(WINAPI*)()>(reinterpret_cast<void (*)()>(symbol))();
}

}  // namespace activator
