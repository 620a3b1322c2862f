// The desktop shell: what the program needs to hand a result file to the
// user's text editor.
#pragma once

#include <string>

namespace activator {

// True when `path` names something that exists and is not a folder. A path
// the system cannot look up (including one holding a NUL byte) is false.
bool IsExistingNonDirectory(const std::string& path) noexcept;

// Starts the build's text editor (kTextEditor) on `path`, given to it as its
// one argument, unchanged and unquoted. The editor runs as a process of its
// own: this returns once it has started, never waits for it to end, and leaves
// nothing of it behind (no handle, no unreaped child). False when the editor
// could not be started.
bool StartTextEditor(const std::string& path) noexcept;

}  // namespace activator
