// The desktop shell: what the program needs to hand a result file to the
// user's text editor.
#pragma once

#include <chrono>
#include <string>

namespace activator {

// True when `path` names something that exists and is not a folder. A path
// the system cannot look up (including one holding a NUL byte) is false.
bool IsExistingNonDirectory(const std::string& path) noexcept;

// How long the POSIX port watches an editor it started. A launcher such as
// xdg-open that finds no handler exits with a failure status at once; one
// still running after this long is taken to have opened the file.
inline constexpr std::chrono::milliseconds kEditorWatch{1500};

// Starts the build's text editor (kTextEditor) on `path`, given to it as its
// one argument, unchanged and unquoted. The editor runs as a process of its
// own: this returns once it has ended or has run for `watch`, whichever comes
// first, and leaves nothing of it behind (no handle, no unreaped child). False
// when the editor could not be started, or ended within `watch` with a failure
// status or by a signal. (On Windows the shell reports the start itself, and
// `watch` is not used.)
bool StartTextEditor(const std::string& path,
                     std::chrono::milliseconds watch = kEditorWatch) noexcept;

}  // namespace activator
