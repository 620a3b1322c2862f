// The desktop shell: what the program needs to hand a result file to the
// user's text editor.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace activator {

// True when `path` names something that exists and is not a folder. A path
// the system cannot look up (including one holding a NUL byte) is false.
bool IsExistingNonDirectory(const std::string& path) noexcept;

// How long the POSIX port watches an editor it started. A launcher such as
// xdg-open that finds no handler exits with a failure status at once; one
// still running after this long is taken to have opened the file.
inline constexpr std::chrono::milliseconds kEditorWatch{1500};

// How a start of the text editor ended.
struct EditorStart {
  enum class Outcome {
    kStarted,      // running after the watch, or ended with status 0
    kNotFound,     // no such program (on the PATH)
    kStartFailed,  // the system would not start it; `code` is the error
    kExited,       // ended within the watch; `code` is its exit status
    kSignalled,    // killed within the watch; `code` is the signal
  };
  Outcome outcome = Outcome::kStartFailed;
  int code = 0;
  // The first line the editor wrote on its standard error, when it failed:
  // raw bytes, at most kEditorErrorLineBytes, for the caller to make visible.
  std::string error_line;

  bool started() const { return outcome == Outcome::kStarted; }
};

inline constexpr std::size_t kEditorErrorLineBytes = 200;

// Starts the build's text editor (kTextEditor) on `path`, given to it as its
// one argument, unchanged and unquoted. The editor runs as a process of its
// own: this returns once it has ended or has run for `watch`, whichever comes
// first, and leaves nothing of it behind (no handle, no unreaped child). Not
// started when the editor could not be started, or ended within `watch` with
// a failure status or by a signal. (On Windows the shell reports the start
// itself, `watch` is not used, and a refusal is kStartFailed with the shell's
// code.)
EditorStart StartTextEditor(const std::string& path,
                            std::chrono::milliseconds watch = kEditorWatch) noexcept;

}  // namespace activator
