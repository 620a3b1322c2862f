// The fixed values of the system. They are build constants: nothing reads them
// from the command line, the environment or a file. Each program compiles its
// own definitions (build_constants.cpp against a generated build_config.h), so
// the deliverables differ only in the values CMake gave them.
#pragma once

#include <cstdint>

namespace activator {

// Debug log file; its folder is never created by the program.
extern const char* const kDebugLogPath;
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
// Program that opens a result file.
extern const char* const kTextEditor;
// COM class identifier of the activation server, in registry form.
extern const char* const kActivatorClassId;

}  // namespace activator
