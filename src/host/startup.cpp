// The start-up sequence. Its order is fixed: the one-activator-per-user lock
// before anything that logs or touches the lab, COM before the bootstrap, the
// bootstrap before the class registration, the registration before the
// subscription, the subscription before Register, and all of them before the
// first thread starts.
#include "host/startup.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>

#include "activation/activation_handler.h"
#include "base/build_constants.h"
#include "host/com_server.h"
#include "intake/job_pipe_server.h"
#include "intake/queue_consumer.h"
#include "jobs/job_details.h"
#include "jobs/job_registry.h"
#include "jobs/state_journal.h"
#include "log/debug_log.h"
#include "notify/notification_monitor.h"
#include "notify/notification_updater.h"
#include "platform/bootstrap.h"
#include "platform/com.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/pipes.h"
#include "platform/system_log.h"
#include "platform/threads.h"

namespace activator {

namespace {

constexpr char kBootstrapEntryPoint[] = "MddBootstrapInitialize2";
// Runtime 2.4: major version in the high word, minor in the low.
constexpr uint32_t kRuntimeMajorMinorVersion = 0x00020004;
constexpr auto kKeepAliveStep = std::chrono::milliseconds(1000);
// How long a process started by a click goes on asking for that click.
constexpr auto kLaunchingClickBound = std::chrono::seconds(30);

// The result code a platform failure carries; anything else thrown counts as
// a plain failure.
HResult ResultCodeOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const HResultError& e) {
    return e.code();
  } catch (...) {
    return kHrFail;
  }
}

// The lines that said why the step that failed did, for the system's log.
std::string& FailureLines() {
  static std::string* lines = new std::string();  // never destroyed: read at the end
  return *lines;
}

// A line of a failed step: logged, and kept for the system's log.
void LogFailure(const std::string& line) {
  WriteDebugLog(line);
  FailureLines() += line + "\n";
}

// One entry in the system's log for a start that cannot go on, so that a user
// whose activator was started by the session, with no window, finds why
// where the system's users look: the lines of the step that failed, and where
// the debug log is.
void ReportStartFailure(int exit_code) {
  const std::string log = kDebugLogPath;
  ReportToSystemLog(static_cast<uint32_t>(exit_code),
                    "The activator did not start (exit code " + std::to_string(exit_code) + "):\n" +
                        FailureLines() +
                        "The debug log: " + log.substr(0, log.find_last_of("/\\") + 1));
}

// Steps of start-up that end the process on failure; each logs its own lines
// and returns the exit code, or nullopt to go on.

std::optional<int> JoinApartment() {
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    LogFailure("COM INIT=" + FormatResultCode(hr));
    return kExitComInitFailed;  // nothing to uninitialise
  }
  WriteDebugLog("COM INIT=" + FormatResultCode(hr));
  return std::nullopt;
}

// What a user can act on when the runtime cannot be brought in; the line
// after it carries the code.
constexpr char kRuntimeMissingHint[] =
    "BOOTSTRAP: the Windows App SDK 2.4 runtime is missing or unusable: install it "
    "(WindowsAppRuntimeInstall-x64.exe, learn.microsoft.com 'Windows App SDK downloads')";

// On a thread of the bootstrap port's, while the call's own thread waits.
void ReportBootstrapFault(uint32_t exception_code) {
  LogFailure(kRuntimeMissingHint);
  LogFailure("BOOTSTRAP FAULT=" + FormatErrorCode(exception_code));
}

void ReportStartBootstrapFault(uint32_t exception_code) {
  ReportBootstrapFault(exception_code);
  ReportStartFailure(kExitBootstrapFault);
}

// `starting`: a fault is a start failure, for the system's log too.
std::optional<int> BootstrapRuntime(const std::string& library_path, bool starting) {
  BootstrapFault fault;
  fault.report = starting ? &ReportStartBootstrapFault : &ReportBootstrapFault;
  fault.exit_code = kExitBootstrapFault;
  const BootstrapOutcome outcome =
      InitializeBootstrap(library_path, kBootstrapEntryPoint, kRuntimeMajorMinorVersion, fault);
  switch (outcome.status) {
    case BootstrapStatus::kLibraryNotLoaded:
      LogFailure("BOOTSTRAP DLL ERROR=" + FormatErrorCode(outcome.load_error));
      return kExitBootstrapLibraryFailed;
    case BootstrapStatus::kEntryPointMissing:
      LogFailure("BOOTSTRAP FUNCTION ERROR");
      return kExitBootstrapFunctionMissing;
    case BootstrapStatus::kCalled:
      WriteDebugLog("BOOTSTRAP RESULT=" + FormatResultCode(outcome.result));
      // Without the framework package in the process's package graph none of
      // the runtime's classes can be activated: going on would only fail
      // later, at the notification manager, with a code that hides why.
      if (outcome.result < 0) {
        LogFailure(kRuntimeMissingHint);
        LogFailure("BOOTSTRAP FAILED=" + FormatResultCode(outcome.result));
        return kExitBootstrapFailed;
      }
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<int> RegisterActivationServer(const std::string& class_id) {
  const std::optional<CLSID> clsid = ParseGuid(class_id);
  auto* factory = new ZorvellClassFactory();  // start-up's reference
  DWORD cookie = 0;                           // never revoked, so never read
  const HRESULT hr = clsid ? CoRegisterClassObject(*clsid, factory, CLSCTX_LOCAL_SERVER,
                                                   REGCLS_MULTIPLEUSE, &cookie)
                           : E_INVALIDARG;
  if (SUCCEEDED(hr)) WriteDebugLog("COM REGISTER=" + FormatResultCode(hr));
  // After a success COM holds its own reference for the rest of the run;
  // after a failure this frees the class object.
  factory->Release();
  if (FAILED(hr)) {
    LogFailure("COM REGISTER=" + FormatResultCode(hr));
    LogFailure("COM REGISTER FAILED");
    return kExitComRegisterFailed;
  }
  WriteDebugLog("COM ACTIVATOR READY");
  return std::nullopt;
}

std::optional<int> GetNotificationManager(std::optional<AppNotificationManager>& manager) {
  try {
    manager.emplace(AppNotificationManager::Default());
  } catch (...) {
    LogFailure("WPN DEFAULT FAILED=" + FormatResultCode(ResultCodeOf(std::current_exception())));
    return kExitNoNotificationManager;
  }
  // Where the platform serves this process no notifications (on Windows, run
  // elevated), every later call does nothing and reports success: the log
  // would say registered and shown while nothing ever appears.
  try {
    if (AppNotificationManager::IsSupported()) return std::nullopt;
    LogFailure("WPN NOT SUPPORTED");
  } catch (...) {
    LogFailure("WPN NOT SUPPORTED=" + FormatResultCode(ResultCodeOf(std::current_exception())));
  }
  return kExitNotificationsUnsupported;
}

std::optional<int> SubscribeToNotificationManager(std::optional<AppNotificationManager>& manager) {
  if (auto exit_code = GetNotificationManager(manager)) return exit_code;
  try {
    // The manager keeps the handler; the token is not needed, as the
    // subscription lasts as long as the process.
    manager->NotificationInvoked(NotificationInvokedHandler(&OnNotificationInvoked));
  } catch (...) {
    LogFailure("WPN CALLBACK FAILED=" + FormatResultCode(ResultCodeOf(std::current_exception())));
    return kExitSubscribeFailed;
  }
  WriteDebugLog("WPN CALLBACK REGISTERED");
  return std::nullopt;
}

// Takes over what a predecessor left in the state file (the registry's jobs
// and queue, the port's entries) and keeps every change there from now on.
// Runs before Register, which lets the port take over its notifications, and
// before any thread starts.
void RestoreSavedState(const std::string& path, const AppNotificationManager& manager) {
  if (path.empty()) return;
  StateJournal& journal = TheStateJournal();
  OpenedSavedState opened = journal.Open(path);
  switch (opened.source) {
    case SavedStateSource::kNone:
      WriteDebugLog("ESTADO NOVO");
      break;
    case SavedStateSource::kRefused:
      WriteDebugLog("ESTADO ILEGIVEL");
      break;
    case SavedStateSource::kDamaged:
      WriteDebugLog("ESTADO DANIFICADO REGISTROS=" + FormatCount(opened.records));
      [[fallthrough]];
    case SavedStateSource::kRead:
      WriteDebugLog("ESTADO RESTAURADO PROCESSOS=" + FormatCount(opened.state.jobs.size()) +
                    " FILA=" + FormatCount(opened.state.queue.size()) +
                    " TELA=" + FormatCount(opened.state.on_screen.size()));
      break;
  }
  if (!opened.kept_aside.empty()) WriteDebugLog("ESTADO GUARDADO=" + LogValue(opened.kept_aside));
  for (const std::string& line : journal.TakeReports()) WriteDebugLog(line);
  JobRegistry& registry = TheJobRegistry();
  registry.Restore(opened.state);
  registry.KeepChangesIn(&journal);
  TheJobDetails().Restore(opened.state);
  TheJobDetails().KeepChangesIn(&journal);
  manager.ResumeKeptEntries(
      std::move(opened.state.port_entries),
      [&journal](const std::string& key, const std::optional<std::string>& value) {
        if (value) {
          journal.Record({SavedChangeKind::kPortSet, {key, *value}});
        } else if (key.empty()) {
          journal.Record({SavedChangeKind::kPortClear, {}});
        } else {
          journal.Record({SavedChangeKind::kPortErase, {key}});
        }
      });
}

// True when registered.
bool RegisterWithNotificationManager(const AppNotificationManager& manager) {
  // A failed registration does not stop the run: the job pipe is still
  // served, and notification calls report their own failures.
  try {
    manager.Register();
    WriteDebugLog("WPN REGISTER OK");
    return true;
  } catch (...) {
    WriteDebugLog("WPN REGISTER FAILED");
    return false;
  }
}

// A process started by a click gets that click here, never through the
// subscription: it goes to the same handler, with the same lines. Asked once
// the job pipe is served, and only after a successful Register: before one,
// the Windows App SDK ends the process instead of answering. The platform may
// take longer to hand the click over than it waits for it in one call (2 s on
// Windows); a click that comes later is kept for the next call, so a timeout
// is asked again, within a bound.
void HandleLaunchingClick(const AppNotificationManager& manager) {
  const auto deadline = std::chrono::steady_clock::now() + kLaunchingClickBound;
  std::optional<AppNotificationActivatedEventArgs> click;
  for (;;) {
    try {
      click = manager.LaunchingClick();
      break;
    } catch (...) {
      const HResult code = ResultCodeOf(std::current_exception());
      if (code == kHrTimeout && std::chrono::steady_clock::now() < deadline) continue;
      WriteDebugLog("WPN ACTIVATION ARGS FAILED=" + FormatResultCode(code));
      return;
    }
  }
  if (click) OnNotificationInvoked(manager, *click);
}

std::optional<int> StartWorkerThreads(const WorkerThreadBodies& bodies,
                                      const AppNotificationManager& manager) {
  // The consumer gets a handle of its own; the others use start-up's,
  // which the main thread keeps for ever.
  if (!StartProcessThread([body = bodies.queue_consumer, copy = manager] { body(copy); })) {
    LogFailure("THREAD START FAILED");
    return kExitThreadStartFailed;
  }
  WriteDebugLog("VELDUNA QUEUE READY");
  if (!StartProcessThread([body = bodies.job_pipe_server, &manager] { body(manager); }) ||
      !StartProcessThread([body = bodies.notification_monitor, &manager] { body(manager); }) ||
      !StartProcessThread([body = bodies.notification_updater, &manager] { body(manager); })) {
    LogFailure("THREAD START FAILED");
    return kExitThreadStartFailed;
  }
  WriteDebugLog("PYTHON PIPE READY");
  return std::nullopt;
}

// Whether an activator of this user serves the job pipe: a live one, whose
// lock file was deleted or replaced under it before it could take it again.
// A client that writes nothing leaves no trace there.
bool JobPipeServed() {
  const PipeSendResult probe = WriteMessageToPipe(kJobPipeName, "", kKeepAliveStep);
  return probe.status == PipeSendStatus::kSent ||
         (probe.status == PipeSendStatus::kOpenFailed && PipeWasBusy(probe.error));
}

void TellTerminalWeWait(bool& told) {
  // Started by hand, it would otherwise seem to hang.
  if (told || !StandardErrorIsTerminal()) return;
  std::fputs(kInstanceWaitNotice, stderr);
  std::fflush(stderr);
  told = true;
}

// Two activators of one user would both rewrite the state file, show every
// job twice and send a click to the worker twice, so a second one waits for
// the first to end; it logs nothing meanwhile, not even its start, and then
// takes over the state file the first left. The lock is one sign of a live
// activator, the job pipe served is another, asked when the lock says little:
// a user cleaning the State folder by hand may delete the lock file under the
// first (the new one is then this process's), and a lock that cannot be had
// at all (its path a directory, its folder read-only) proves nothing. Returns
// the system's error when the lock cannot be had: the program then runs
// without it once no activator serves the job pipe.
std::optional<uint32_t> WaitForInstanceLock() {
  bool told = false;
  InstanceLockResult lock = TryTakeInstanceLock(kInstanceLockName);
  if (lock.status == InstanceLockStatus::kHeld) {
    TellTerminalWeWait(told);
    lock = TakeInstanceLock(kInstanceLockName);
  }
  const bool lock_says_little = lock.status != InstanceLockStatus::kTaken || lock.new_file;
  while (lock_says_little && JobPipeServed()) {
    TellTerminalWeWait(told);
    std::this_thread::sleep_for(kKeepAliveStep);
    if (lock.status != InstanceLockStatus::kTaken) lock = TryTakeInstanceLock(kInstanceLockName);
  }
  if (lock.status != InstanceLockStatus::kTaken) return lock.error;
  return std::nullopt;
}

}  // namespace

std::optional<InstanceLockCheck> KeepInstanceLockStep(std::optional<InstanceLockCheck> last) {
  const InstanceLockCheckResult check = KeepInstanceLock(kInstanceLockName);
  switch (check.status) {
    case InstanceLockCheck::kHeld:
      return check.status;
    case InstanceLockCheck::kTakenAgain:
      WriteDebugLog("INSTANCIA UNICA RETOMADA");
      return check.status;
    case InstanceLockCheck::kTakenByOther:
    case InstanceLockCheck::kFailed:
      // Once until it changes: a folder gone for good would log every second.
      if (last != check.status)
        WriteDebugLog(check.status == InstanceLockCheck::kTakenByOther
                          ? std::string("INSTANCIA UNICA TOMADA POR OUTRO")
                          : "INSTANCIA UNICA FALHOU=" + FormatErrorCode(check.error));
      return check.status;
  }
  return check.status;
}

StartupSettings ActivatorStartupSettings() {
  return StartupSettings{
      kBootstrapLibraryPath,
      kActivatorClassId,
      WorkerThreadBodies{&RunQueueConsumer, &RunJobPipeServer, &RunNotificationMonitor,
                         &RunNotificationUpdater},
      kStateFilePath,
      std::nullopt,  // RunActivator's to say, once it asked for the lock
  };
}

std::optional<int> StartActivator(const StartupSettings& settings,
                                  std::optional<AppNotificationManager>& manager) {
  WriteDebugLog("================");
  WriteDebugLog("ZORVELL ACTIVATOR START");
  if (settings.instance_lock_error) {
    WriteDebugLog("INSTANCIA UNICA FALHOU=" + FormatErrorCode(*settings.instance_lock_error));
  }

  if (auto exit_code = JoinApartment()) return exit_code;

  // From here on every way out leaves the apartment again.
  std::optional<int> exit_code = BootstrapRuntime(settings.bootstrap_library_path, true);
  if (!exit_code) exit_code = RegisterActivationServer(settings.class_id);
  if (!exit_code) exit_code = SubscribeToNotificationManager(manager);
  if (!exit_code) {
    RestoreSavedState(settings.state_file_path, *manager);
    const bool registered = RegisterWithNotificationManager(*manager);
    LogAllNotifications(*manager);
    exit_code = StartWorkerThreads(settings.threads, *manager);
    if (!exit_code && registered) HandleLaunchingClick(*manager);
  }
  if (exit_code) CoUninitialize();
  return exit_code;
}

int RunActivator() {
  // Lives as long as the process: the job pipe server and the monitor use it
  // by reference, and this frame is never left once they run.
  std::optional<AppNotificationManager> manager;
  PrepareLabFolders();
  StartupSettings settings = ActivatorStartupSettings();
  // Taken on the main thread, which never ends while the process runs: on
  // Windows the lock is the thread's.
  settings.instance_lock_error = WaitForInstanceLock();
  if (std::optional<int> exit_code = StartActivator(settings, manager)) {
    ReportStartFailure(*exit_code);
    return *exit_code;
  }
  std::optional<InstanceLockCheck> lock;
  if (settings.instance_lock_error) lock = InstanceLockCheck::kFailed;
  for (;;) {
    std::this_thread::sleep_for(kKeepAliveStep);
    lock = KeepInstanceLockStep(lock);
  }
}

int UnregisterActivator() {
  WriteDebugLog("ZORVELL ACTIVATOR UNREGISTER");
  if (auto failed = JoinApartment()) return *failed;
  std::optional<int> exit_code = BootstrapRuntime(kBootstrapLibraryPath, false);
  std::optional<AppNotificationManager> manager;
  if (!exit_code) exit_code = GetNotificationManager(manager);
  if (!exit_code) {
    try {
      manager->UnregisterAll();
      // A key that stays is no failed uninstall: nothing reads it again.
      for (const AppNotificationManager::LeftoverKey& leftover : manager->RemoveLeftovers()) {
        WriteDebugLog(leftover.error == 0 ? "WPN CHAVE REMOVIDA=" + LogValue(leftover.key)
                                          : "WPN CHAVE NAO REMOVIDA=" + LogValue(leftover.key) +
                                                " ERRO=" + std::to_string(leftover.error));
      }
      WriteDebugLog("WPN UNREGISTERALL OK");
    } catch (...) {
      WriteDebugLog("WPN UNREGISTERALL FAILED=" +
                    FormatResultCode(ResultCodeOf(std::current_exception())));
      exit_code = kExitUnregisterFailed;
    }
  }
  // The runtime's objects are all given back before the bootstrap lets the
  // runtime go.
  manager.reset();
  ShutdownBootstrap();
  CoUninitialize();
  return exit_code.value_or(0);
}

}  // namespace activator
