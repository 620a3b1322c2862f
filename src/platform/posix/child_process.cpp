// POSIX child process: fork and exec by hand, because the command must lead a
// process group of its own (so one kill reaches everything it starts) and may
// have to take the terminal's foreground (so Ctrl-C reaches it), which
// posix_spawn cannot do portably.
//
// Between fork and exec only async-signal-safe calls are made; everything the
// child needs is prepared before the fork. An exec failure comes back through
// a close-on-exec pipe, as errno.
#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/mutex.h"
#include "platform/posix/unique_fd.h"

namespace activator {

namespace {

// The signals a user or a session manager sends to end a program.
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The group interrupts go to, for the signal handler.
std::atomic<pid_t> g_forward_group{0};

void ForwardToGroup(int signal_number) {
  const pid_t group = g_forward_group.load();
  if (group > 0) ::kill(-group, signal_number);
}

[[noreturn]] void ReportAndExit(int report_fd, int error) {
  ssize_t ignored = ::write(report_fd, &error, sizeof(error));
  (void)ignored;
  ::_exit(127);
}

int ShellStatus(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return 1;
}

}  // namespace

struct ChildProcess::Impl {
  pid_t pid = -1;
  UniqueFd out;
  UniqueFd err;
  bool took_terminal = false;
  Mutex lock;
  bool reaped GUARDED_BY(lock) = false;

  void Signal(int signal_number) EXCLUDES(lock) {
    MutexLock hold(lock);
    // Until the leader is reaped its id cannot be reused, so the group named
    // here is still the command's.
    if (!reaped && pid > 0) ::kill(-pid, signal_number);
  }
};

std::optional<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                ChildStartFailure* failure) {
  auto fail = [&](int status, const std::string& message) -> std::optional<ChildProcess> {
    if (failure != nullptr) *failure = ChildStartFailure{status, message};
    return std::nullopt;
  };
  if (argv.empty() || argv[0].empty()) return fail(127, "no command given");

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  int out_pipe[2], err_pipe[2], report_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return fail(126, std::strerror(errno));
  UniqueFd out_read(out_pipe[0]), out_write(out_pipe[1]);
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) return fail(126, std::strerror(errno));
  UniqueFd err_read(err_pipe[0]), err_write(err_pipe[1]);
  if (::pipe2(report_pipe, O_CLOEXEC) != 0) return fail(126, std::strerror(errno));
  UniqueFd report_read(report_pipe[0]), report_write(report_pipe[1]);

  const bool foreground = ::isatty(STDIN_FILENO) && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
  const char* file = args[0];

  const pid_t pid = ::fork();
  if (pid < 0) return fail(126, std::strerror(errno));
  if (pid == 0) {
    ::setpgid(0, 0);
    if (foreground) {
      // A background group that sets the foreground is sent SIGTTOU.
      ::signal(SIGTTOU, SIG_IGN);
      ::tcsetpgrp(STDIN_FILENO, ::getpid());
    }
    // Handlers are reset by exec, ignored signals are not.
    for (int signal_number : kInterrupts) ::signal(signal_number, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGTTOU, SIG_DFL);
    if (::dup2(out_write.get(), STDOUT_FILENO) < 0 || ::dup2(err_write.get(), STDERR_FILENO) < 0)
      ReportAndExit(report_write.get(), errno);
    ::execvp(file, args.data());
    ReportAndExit(report_write.get(), errno);
  }
  // The same in the parent, so that a signal sent before the child ran its
  // setpgid already finds the group.
  ::setpgid(pid, pid);
  out_write.reset();
  err_write.reset();
  report_write.reset();

  int exec_error = 0;
  ssize_t got;
  do {
    got = ::read(report_read.get(), &exec_error, sizeof(exec_error));
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof(exec_error))) {
    int ignored;
    while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
    if (foreground) {
      ::signal(SIGTTOU, SIG_IGN);
      ::tcsetpgrp(STDIN_FILENO, ::getpgrp());
      ::signal(SIGTTOU, SIG_DFL);
    }
    const int status = exec_error == ENOENT ? 127 : 126;
    return fail(status, argv[0] + ": " + std::strerror(exec_error));
  }

  auto impl = std::make_unique<Impl>();
  impl->pid = pid;
  impl->out = std::move(out_read);
  impl->err = std::move(err_read);
  impl->took_terminal = foreground;
  return ChildProcess(std::move(impl));
}

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&&) noexcept = default;
ChildProcess::~ChildProcess() = default;

void ChildProcess::PumpOutput(const std::function<void(OutputStream, std::string_view)>& sink) {
  std::string buffer(64 * 1024, '\0');
  while (impl_->out || impl_->err) {
    pollfd fds[2] = {{impl_->out ? impl_->out.get() : -1, POLLIN, 0},
                     {impl_->err ? impl_->err.get() : -1, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      UniqueFd& stream = i == 0 ? impl_->out : impl_->err;
      const ssize_t n = ::read(stream.get(), buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        stream.reset();
        continue;
      }
      sink(i == 0 ? OutputStream::kStandardOutput : OutputStream::kStandardError,
           std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
  }
}

int ChildProcess::Wait() {
  // Seen ended but not yet reaped, so RequestStop can still name the group.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(impl_->pid), &info, WEXITED | WNOWAIT) < 0 &&
         errno == EINTR) {
  }
  int status = 0;
  {
    MutexLock hold(impl_->lock);
    impl_->reaped = true;
    while (::waitpid(impl_->pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  g_forward_group.store(0);
  if (impl_->took_terminal) {
    ::signal(SIGTTOU, SIG_IGN);
    ::tcsetpgrp(STDIN_FILENO, ::getpgrp());
    ::signal(SIGTTOU, SIG_DFL);
  }
  return ShellStatus(status);
}

void ChildProcess::RequestStop() { impl_->Signal(SIGTERM); }

void ChildProcess::ForceStop() { impl_->Signal(SIGKILL); }

void ChildProcess::ForwardInterrupts() {
  g_forward_group.store(impl_->pid);
  struct sigaction action {};
  action.sa_handler = &ForwardToGroup;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kInterrupts) ::sigaction(signal_number, &action, nullptr);
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

long CurrentProcessId() noexcept { return static_cast<long>(::getpid()); }

std::string MakePrivatePipeName(const std::string& stem) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string base = runtime != nullptr && runtime[0] == '/' ? runtime : "/tmp";
  std::string folder = base + "/activator-run-XXXXXX";
  // mkdtemp makes the folder owner-only: nobody else can reach the socket.
  if (::mkdtemp(folder.data()) == nullptr) return std::string();
  return folder + "/" + stem;
}

void RemovePrivatePipe(const std::string& name) noexcept {
  if (name.empty()) return;
  ::unlink(name.c_str());
  const std::size_t slash = name.rfind('/');
  if (slash != std::string::npos && slash > 0) ::rmdir(name.substr(0, slash).c_str());
}

}  // namespace activator
