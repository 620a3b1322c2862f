// The console control handler activator-run installs while a command runs
// (ChildProcess::ForwardInterrupts): Ctrl-C and Ctrl-Break are passed on to
// the command's process group; a closed console (or a logoff or shutdown)
// ends the command and everything it started before this process is ended.
// Declared here for the tests: no program can make a console send a close.
#pragma once

#include "platform/os/windows_support.h"

namespace activator {

// How long a closed console's command may take to end on its own before its
// job is ended, and how long the handler keeps this process alive in all, so
// that the caller can report the end. The system ends the process 5 s after a
// close, whatever the handler does.
inline constexpr DWORD kCloseGrace = 2000;
inline constexpr DWORD kCloseTime = 4500;

BOOL WINAPI ForwardConsoleControl(DWORD event);

}  // namespace activator
