// Runs a built program as a child process for the end-to-end tests, and reads
// the debug log of a lab root other than the test program's own.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace activator::testing {

// One child process. The destructor ends it (SIGKILL by its pid) and reaps it
// when it still runs, so no path out of a test leaves it behind; should the
// test program itself die, the kernel ends the child too.
class ProgramProcess {
 public:
  ProgramProcess() = default;
  ProgramProcess(const ProgramProcess&) = delete;
  ProgramProcess& operator=(const ProgramProcess&) = delete;
  ~ProgramProcess();

  // Starts `program` with `arguments` (argv[1]...) and this process's
  // environment, changed by `environment` (a name with an empty value is
  // removed). False when it could not be forked; a program that cannot be
  // executed exits with 127.
  bool Start(const std::string& program, const std::vector<std::string>& arguments,
             const std::map<std::string, std::string>& environment);
  // Where later Starts send the program's standard output and error: files
  // (created or emptied) or a terminal's device; empty keeps this process's.
  void SetOutput(std::string output_path, std::string error_path) {
    output_path_ = std::move(output_path);
    error_path_ = std::move(error_path);
  }
  // Waits up to `timeout_ms` for the process to end by itself; its exit code,
  // or nullopt when it still runs (or was ended by a signal: see signal()).
  std::optional<int> WaitForExit(int timeout_ms);
  // True while the process runs (it is reaped when it has ended).
  bool Running();
  // Ends the process with SIGKILL and reaps it. Safe to call more than once.
  void Kill();

  pid_t pid() const { return pid_; }
  // The signal that ended the process, 0 when it exited or still runs.
  int signal() const { return signal_; }

 private:
  // Reaps without waiting; true when the process has ended.
  bool Reap(bool wait);

  std::string output_path_;
  std::string error_path_;
  pid_t pid_ = -1;
  bool ended_ = true;
  std::optional<int> exit_code_;
  int signal_ = 0;
};

// The lines a log file gained after construction (CR LF removed), for the log
// of another lab than the test program's.
class LogFileTail {
 public:
  explicit LogFileTail(std::string path);
  std::vector<std::string> Lines() const;
  // Waits (polling, up to `timeout_ms`) until a line equal to `line` appears.
  bool WaitForLine(const std::string& line, int timeout_ms) const;

 private:
  std::string path_;
  std::uint64_t start_;
};

}  // namespace activator::testing
