// A command run on the user's behalf: its output captured on the way to the
// terminal, and the command with everything it starts ended together when
// asked. Used by activator-run, never by the activator itself.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace activator {

enum class OutputStream { kStandardOutput, kStandardError };

struct ChildStartFailure {
  int status = 127;     // what a shell would exit with: 127 not found, 126 not runnable
  std::string message;  // one line, for the user
};

class ChildProcess {
 public:
  // Starts `argv` (argv[0] found along PATH, as a shell finds a command) with
  // the caller's standard input and its standard output and error captured.
  // The command leads a process group (on Windows: a job) of its own, which
  // also takes the terminal when the caller has it, so Ctrl-C at the terminal
  // reaches the command itself.
  //
  // On POSIX, when this process's standard output is a terminal, the command
  // runs on a pseudo-terminal of its own instead (as `script` does): it sees a
  // terminal of the same size and modes, its output comes back as one stream,
  // and the keys typed reach it through the pseudo-terminal. Stopping the
  // command (Ctrl-Z) stops this process too, so the shell gets the terminal
  // back; continuing this process continues the command. From the start this
  // process survives its own output's reader going away (a write fails
  // instead), and adopts whatever the command starts and leaves behind, so
  // that ForceStop can reach it.
  static std::optional<ChildProcess> Start(const std::vector<std::string>& argv,
                                           ChildStartFailure* failure);

  ChildProcess(ChildProcess&&) noexcept;
  ChildProcess& operator=(ChildProcess&&) noexcept;
  ~ChildProcess();

  // Hands each chunk of output to `sink`, one call at a time. A sink that
  // returns false wants no more of that stream: it is closed, so the command's
  // next write to it fails as it would with the reader gone. On POSIX this
  // returns once the command itself has ended and what it wrote before is
  // read (a short, bounded wait: a background child that keeps the output
  // open does not hold the run); on Windows once both streams have ended.
  void PumpOutput(const std::function<bool(OutputStream, std::string_view)>& sink);
  // Waits for the command to end and gives the terminal back. Its status as a
  // shell reports it: the exit code, or 128 + the number of the signal that
  // ended it.
  int Wait();
  // After Wait: the number of the signal that ended the command, 0 when it
  // exited (always 0 on Windows, where there are no such signals).
  int EndingSignal() const;

  // Asks the command and everything it started to end (SIGTERM to the group
  // and to every descendant, those that left the group too; on Windows a
  // Ctrl-Break). Safe from any thread, and after the command ended.
  void RequestStop();
  // Ends them at once (SIGKILL; on Windows the job is terminated).
  void ForceStop();
  // True while something the command started is still alive after it ended
  // (on Windows always false: the job ends everything when this process does).
  bool LeftProcessesBehind() const;
  // From now on, requests to end this process (SIGINT, SIGTERM, SIGHUP,
  // SIGQUIT; on Windows the console's Ctrl-C and close) go to the command
  // instead, which decides; this process goes on until the command ends.
  void ForwardInterrupts();

  struct Impl;

 private:
  explicit ChildProcess(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Ends this process, its streams flushed, as the command ended: when an
// interrupt from the keyboard (SIGINT, SIGQUIT) ended the command, by that
// same signal, since a shell stops a loop or script only when its command
// dies by it; otherwise (and always on Windows) with `status`.
[[noreturn]] void ExitAsCommandEnded(int status, int ending_signal);

// This program's command line as UTF-8, its own name first (on Windows read
// from the system, since `argv` there is in the ANSI code page).
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// This process's id, for names that must differ between processes.
long CurrentProcessId() noexcept;

// What helps a user whose job pipe at `pipe_location` has no activator, for a
// warning: how to start one, or, in a session without a desktop (a server
// reached over SSH), where its jobs can be shown instead.
std::string ActivatorStartHint(const std::string& pipe_location);

// A pipe name for a reply pipe that only this user can open: on POSIX a
// socket in a new owner-only folder, on Windows a named pipe, which
// PipeServerInstance makes for this user only. `stem` becomes part of the name.
// Empty when no such place could be made.
std::string MakePrivatePipeName(const std::string& stem);
// Removes what MakePrivatePipeName made for `name` (the socket and its folder).
void RemovePrivatePipe(const std::string& name) noexcept;

}  // namespace activator
