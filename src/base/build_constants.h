// The fixed values of the system. They are build constants: nothing reads them
// from the command line, the environment or a file. Each program compiles its
// own definitions (build_constants.cpp against a generated build_config.h), so
// the deliverables differ only in the values CMake gave them.
#pragma once

#include <cstdint>

namespace activator {

// Debug log file; its folder is never created by the program.
extern const char* const kDebugLogPath;
// Where this user's debug log goes when kDebugLogPath is another user's file,
// which this user may not open (Windows, whose lab every user of the machine
// shares: "<log>-<SID>.txt" beside it); empty where the lab is the user's own.
extern const char* const kUserDebugLogPath;
extern const char* const kUserDebugLogPredecessorPath;
// State file: what a restarted program needs to go on where its predecessor
// stopped (jobs/state_journal.h). Its folder is never created by the program.
// On Windows the lab is the machine's, and the file is the user's by name:
// "activator_state-<SID>.dat".
extern const char* const kStateFilePath;
// The lock that lets one activator run per user (platform/instance_lock.h): a
// file beside the state file on POSIX, a mutex of the machine named after the
// user's SID on Windows.
extern const char* const kInstanceLockName;
// Where the debug log goes once it holds kDebugLogLimit bytes: its one
// predecessor, replaced at each rollover.
extern const char* const kDebugLogPredecessorPath;
extern const uint64_t kDebugLogLimit;
// Bootstrap library loaded at start-up.
extern const char* const kBootstrapLibraryPath;
// Name of the job pipe the worker writes job messages into.
extern const char* const kJobPipeName;
// Where the POSIX port keeps the sockets that stand for "\\.\pipe\NAME"
// (empty on Windows, where pipe names are the system's own).
extern const char* const kPipeDirectory;
// Address of the image every job notification carries.
extern const char* const kNotificationImageUri;
// Text before the job id in a result index file's path.
extern const char* const kResultsPrefix;
// Text before the job id in the path of a result file of activator-run; its
// folder (beside the index files) is the user's alone.
extern const char* const kRunResultsPrefix;
// Program that opens a result file.
extern const char* const kTextEditor;
// COM class identifier of the activation server, in registry form.
extern const char* const kActivatorClassId;
// The project's version, as --version prints it.
extern const char* const kVersion;

// A packaged build's programs find their lab root under the user's data
// folder at start-up; this creates it and the folders they need in it (the
// pipe's and the results'), owner-only, when missing. Never Logs: the debug
// log stays off until the user makes that folder. Other builds: nothing (the
// build or the install made the lab).
void PrepareLabFolders() noexcept;

}  // namespace activator
