// Start-up and the life of the process: waits until no other activator of
// the user runs, joins COM, brings in the runtime through the bootstrap
// library, registers the activation server, checks that the notification
// platform serves this process, subscribes the activation handler, registers
// with the notification manager, logs the notification inventory once, starts
// the three worker threads and handles the click that started the process, if
// one did. Then the main thread only keeps the process alive; there is no
// orderly shutdown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/app_notifications.h"
#include "platform/instance_lock.h"

namespace activator {

// Exit codes of a start that cannot go on; the last debug log line says why.
inline constexpr int kExitBootstrapLibraryFailed = 10;    // "BOOTSTRAP DLL ERROR=" + error code
inline constexpr int kExitBootstrapFunctionMissing = 11;  // "BOOTSTRAP FUNCTION ERROR"
inline constexpr int kExitBootstrapFailed = 12;           // "BOOTSTRAP FAILED=" + result
inline constexpr int kExitBootstrapFault = 13;            // "BOOTSTRAP FAULT=" + exception code
inline constexpr int kExitComInitFailed = 20;             // "COM INIT=" + result
inline constexpr int kExitComRegisterFailed = 21;         // "COM REGISTER FAILED"
inline constexpr int kExitNoNotificationManager = 30;     // "WPN DEFAULT FAILED=" + result
inline constexpr int kExitSubscribeFailed = 31;           // "WPN CALLBACK FAILED=" + result
inline constexpr int kExitThreadStartFailed = 32;         // "THREAD START FAILED"
inline constexpr int kExitNotificationsUnsupported = 33;  // "WPN NOT SUPPORTED"
inline constexpr int kExitUnregisterFailed = 34;          // "WPN UNREGISTERALL FAILED=" + result

// The one argument the program takes besides the platform's own: remove the
// notification platform's registrations of this program and end (for an
// uninstall). A start by a click ("----AppNotificationActivated:") and any
// other argument run the activator as usual.
inline constexpr char kUnregisterArgument[] = "--unregister";

// The bodies of the four worker threads, started in this order. None of the
// real ones returns.
struct WorkerThreadBodies {
  // Gets a copy of the manager handle of its own.
  void (*queue_consumer)(AppNotificationManager);
  // The others use start-up's handle by reference.
  void (*job_pipe_server)(const AppNotificationManager&);
  void (*notification_monitor)(const AppNotificationManager&);
  void (*notification_updater)(const AppNotificationManager&);
};

struct StartupSettings {
  std::string bootstrap_library_path;
  std::string class_id;  // registry form, "{XXXXXXXX-XXXX-...}"
  WorkerThreadBodies threads;
  // Where the program keeps what a restart needs; empty: nothing is kept.
  std::string state_file_path;
  // Why the one-activator-per-user lock could not be had (the system's error
  // number), when it could not: the start then goes on without it and logs
  // "INSTANCIA UNICA FALHOU=<number>" after its first two lines.
  std::optional<uint32_t> instance_lock_error;
};

// What the program runs with: build constants and the real thread bodies.
StartupSettings ActivatorStartupSettings();

// Runs the start-up sequence on the calling thread, which joins the
// multithreaded apartment, up to and including starting the worker threads,
// then hands the click that started the process, if one did, to the
// activation handler.
// When every step that must succeed did, the notification manager handle is
// left in `manager` and nullopt is returned: the caller must then keep
// `manager` alive for ever, as two threads hold it by reference. Otherwise the
// process's exit code is returned, after its log line, with COM uninitialised
// again if it was initialised.
std::optional<int> StartActivator(const StartupSettings& settings,
                                  std::optional<AppNotificationManager>& manager);

// What a user who started an activator by hand while another one of theirs
// runs reads on the terminal, once: it waits, logging nothing, until that one
// ends.
inline constexpr char kInstanceWaitNotice[] =
    "activator: another activator runs for this user; this one waits and starts when that one "
    "ends\n";

// One step of the main thread once the program runs: the instance lock still
// stands where a second activator looks for it, or is taken again there
// ("INSTANCIA UNICA RETOMADA"). A lock that cannot be had again, or that
// another process took first, is logged once until that changes. `last` is
// what the previous step found.
std::optional<InstanceLockCheck> KeepInstanceLockStep(std::optional<InstanceLockCheck> last);

// The program: takes the one-activator-per-user lock (kInstanceLockName),
// waiting in silence while another activator holds it or serves the job
// pipe, then start-up with the build's settings, then checks its lock in
// 1000 ms steps for ever (KeepInstanceLockStep). Returns only with
// the exit code of a failed start.
int RunActivator();

// The program started with kUnregisterArgument: joins COM, brings in the
// runtime and asks the notification manager to remove every registration it
// keeps for this program ("WPN UNREGISTERALL OK"). Returns 0, or the exit code
// of the step that failed, after its log line.
int UnregisterActivator();

}  // namespace activator
