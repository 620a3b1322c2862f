// Reads what the stand-in text editor (record_editor.sh, copied into the lab's
// editor folder and named as the build's text editor) recorded about how it
// was started, and looks for processes the code under test left behind.
#pragma once

#if !defined(_WIN32)
#include <dirent.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_lab.h"

namespace activator::testing {

inline std::string EditorFolder() { return LabPath("editor"); }
inline std::string EditorRecordPath() { return EditorFolder() + "/editor_record.txt"; }
// While this file exists the stand-in editor does not finish.
inline std::string EditorHoldPath() { return EditorFolder() + "/hold"; }

inline void ForgetEditorCalls() {
  std::filesystem::remove(EditorRecordPath());
  std::filesystem::remove(EditorHoldPath());
}

inline bool EditorWasStarted() { return std::filesystem::exists(EditorRecordPath()); }

struct EditorCall {
  std::vector<std::string> arguments;
  // Descriptor number -> what it refers to, as the editor saw them.
  std::vector<std::pair<int, std::string>> descriptors;
  bool finished = false;  // END was written
};

inline EditorCall ParseEditorRecord(const std::string& text) {
  EditorCall call;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("ARG ", 0) == 0) {
      call.arguments.push_back(line.substr(4));
    } else if (line == "END") {
      call.finished = true;
    } else if (const auto arrow = line.find(" -> "); arrow != std::string::npos) {
      // ls -l: "... <fd> -> <target>"
      const auto space = line.rfind(' ', arrow - 1);
      call.descriptors.emplace_back(std::stoi(line.substr(space + 1, arrow - space - 1)),
                                    line.substr(arrow + 4));
    }
  }
  return call;
}

// The first recorded call once the editor has finished, waiting at most
// `timeout_ms`; nullopt when it never did.
inline std::optional<EditorCall> WaitForEditorCall(int timeout_ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    EditorCall call = ParseEditorRecord(ReadFile(EditorRecordPath()));
    if (call.finished) return call;
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

#if !defined(_WIN32)
// Processes whose parent is this test program, with their state letter
// (Z for a zombie nobody reaped).
inline std::vector<std::pair<int, char>> ChildProcesses() {
  std::vector<std::pair<int, char>> children;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return children;
  while (dirent* entry = ::readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    const std::string stat = ReadFile("/proc/" + std::string(entry->d_name) + "/stat");
    // "<pid> (<comm>) <state> <ppid> ..."; comm may hold spaces and parentheses.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == ::getpid())
      children.emplace_back(pid, state);
  }
  ::closedir(proc);
  return children;
}

// Waits at most `timeout_ms` for this program to have no child process left.
inline bool WaitForNoChildProcesses(int timeout_ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!ChildProcesses().empty()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}
#endif

}  // namespace activator::testing
