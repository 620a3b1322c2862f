// POSIX child process: fork and exec by hand, because the command must lead a
// process group of its own (so one kill reaches everything it starts) and may
// have to take the terminal's foreground (so Ctrl-C reaches it), or run on a
// pseudo-terminal of its own as session leader, which posix_spawn cannot do
// portably.
//
// Between fork and exec only async-signal-safe calls are made; everything the
// child needs is prepared before the fork. An exec failure comes back through
// a close-on-exec pipe, as errno.
//
// The output loop also watches the command itself (SIGCHLD, through a pipe
// the signal handlers write into): the run ends when the command exits, not
// when the last holder of its output closes it, and a command stopped by
// Ctrl-Z stops this process with it.
#include "platform/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string_view>

#include "base/mutex.h"
#include "platform/posix/unique_fd.h"

namespace activator {

namespace {

// The signals a user or a session manager sends to end a program.
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// The signals the output loop acts on.
constexpr int kWakers[] = {SIGCHLD, SIGWINCH, SIGCONT};

// Once the command has ended, output it wrote before is read until none has
// come for kDrainIdle, and never longer than kDrainLimit: a background child
// that keeps the output open and writing does not hold the run.
constexpr std::chrono::milliseconds kDrainIdle{100};
constexpr std::chrono::milliseconds kDrainLimit{2000};
// While in the background with a terminal to forward, how often to look
// whether the shell has given the terminal back (fg does not always send
// SIGCONT to a job that is running).
constexpr int kForegroundCheckMs = 250;
#if defined(F_SETPIPE_SZ)
constexpr int kPipeBytes = 1 << 20;
#endif

// The group interrupts go to, for the signal handler.
std::atomic<pid_t> g_forward_group{0};
// The write end of the output loop's wake-up pipe, for the signal handlers.
std::atomic<int> g_wake_fd{-1};

void ForwardToGroup(int signal_number) {
  const int saved = errno;
  const pid_t group = g_forward_group.load();
  if (group > 0) ::kill(-group, signal_number);
  errno = saved;
}

void WakeOutputLoop(int signal_number) {
  const int saved = errno;
  const int fd = g_wake_fd.load();
  const unsigned char byte = static_cast<unsigned char>(signal_number);
  if (fd >= 0) {
    ssize_t ignored = ::write(fd, &byte, 1);
    (void)ignored;
  }
  errno = saved;
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

// tcsetpgrp from a background group is answered with SIGTTOU unless ignored.
void SetForeground(int fd, pid_t group) {
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGTTOU, &ignore, &old);
  ::tcsetpgrp(fd, group);
  ::sigaction(SIGTTOU, &old, nullptr);
}

// Every process below this one, read from /proc: the command, what it
// started, and what this process adopted as their subreaper. Zombies are left
// out (nothing to end) unless `with_zombies`.
std::vector<pid_t> Descendants(bool with_zombies) {
  std::multimap<pid_t, std::pair<pid_t, bool>> children;  // parent -> (child, alive)
  if (DIR* proc = ::opendir("/proc")) {
    while (const dirent* entry = ::readdir(proc)) {
      char* end = nullptr;
      const long pid = std::strtol(entry->d_name, &end, 10);
      if (pid <= 0 || *end != '\0') continue;
      char path[64];
      std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
      UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
      if (!fd) continue;
      char text[512];
      const ssize_t n = ::read(fd.get(), text, sizeof text - 1);
      if (n <= 0) continue;
      text[n] = '\0';
      // "pid (name) state ppid ...": the name may hold anything, the last ')'
      // ends it.
      const char* close = std::strrchr(text, ')');
      char state = 0;
      long parent = 0;
      if (close == nullptr || std::sscanf(close + 1, " %c %ld", &state, &parent) != 2) continue;
      children.emplace(static_cast<pid_t>(parent),
                       std::make_pair(static_cast<pid_t>(pid), state != 'Z' && state != 'X'));
    }
    ::closedir(proc);
  }
  std::vector<pid_t> found;
  std::vector<pid_t> parents = {::getpid()};
  while (!parents.empty()) {
    const pid_t parent = parents.back();
    parents.pop_back();
    const auto [first, last] = children.equal_range(parent);
    for (auto it = first; it != last; ++it) {
      parents.push_back(it->second.first);
      if (with_zombies || it->second.second) found.push_back(it->second.first);
    }
  }
  return found;
}

}  // namespace

struct ChildProcess::Impl {
  pid_t pid = -1;
  UniqueFd out;  // on a pseudo-terminal: its master side, both streams in one
  UniqueFd err;
  UniqueFd wake_read;
  UniqueFd wake_write;
  bool on_terminal = false;    // runs on a pseudo-terminal of its own
  bool forward_input = false;  // on a pseudo-terminal, with standard input a terminal
  bool took_terminal = false;  // leads the foreground of standard input's terminal
  termios saved_modes{};
  bool raw = false;
  bool exited = false;
  int ending_signal = 0;
  Mutex lock;
  bool reaped GUARDED_BY(lock) = false;

  ~Impl() {
    int fd = wake_write.get();
    g_wake_fd.compare_exchange_strong(fd, -1);
  }

  void Signal(int signal_number) EXCLUDES(lock) {
    MutexLock hold(lock);
    // Until the leader is reaped its id cannot be reused, so the group named
    // here is still the command's.
    if (!reaped && pid > 0) ::kill(-pid, signal_number);
  }

  static bool InForeground() {
    return ::isatty(STDIN_FILENO) && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
  }

  // The user's terminal in raw mode, so every key (Ctrl-C, Ctrl-Z included)
  // goes to the pseudo-terminal, whose own modes decide what it means.
  void EnterRawMode() {
    if (raw || !forward_input || !InForeground()) return;
    termios modes = saved_modes;
    ::cfmakeraw(&modes);
    if (::tcsetattr(STDIN_FILENO, TCSADRAIN, &modes) == 0) raw = true;
  }

  void LeaveRawMode() {
    if (!raw) return;
    ::tcsetattr(STDIN_FILENO, TCSADRAIN, &saved_modes);
    raw = false;
  }

  void CopyWindowSize() {
    winsize size{};
    if (on_terminal && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0)
      ::ioctl(out.get(), TIOCSWINSZ, &size);  // the command gets SIGWINCH
  }

  // Where the suspend key (Ctrl-Z) stands in `keys`, when it is the command
  // itself it would stop: npos otherwise. The command's group is orphaned
  // (its parent, this process, is in another session), so the kernel drops
  // the SIGTSTP the pseudo-terminal would send it; this process stops the
  // group (SIGSTOP) instead. A command that runs jobs of its own on the
  // pseudo-terminal (an interactive shell), or reads keys raw, gets the key.
  std::size_t SuspendKeyAt(std::string_view keys) const {
    termios modes{};
    if (::tcgetattr(out.get(), &modes) != 0 || (modes.c_lflag & ISIG) == 0 ||
        modes.c_cc[VSUSP] == _POSIX_VDISABLE || ::tcgetpgrp(out.get()) != pid)
      return std::string_view::npos;
    return keys.find(static_cast<char>(modes.c_cc[VSUSP]));
  }

  // The command stopped (Ctrl-Z, or a read from the terminal in the
  // background): the terminal goes back to how the shell left it and this
  // process's own job stops too, so the shell takes over. Continued (fg, bg),
  // the command is continued with it.
  void OnCommandStopped() {
    LeaveRawMode();
    if (took_terminal && ::tcgetpgrp(STDIN_FILENO) == pid) SetForeground(STDIN_FILENO, ::getpgrp());
    ::kill(0, SIGTSTP);
    Resume();
  }

  void Resume() {
    if (exited) return;
    if (InForeground()) {
      EnterRawMode();
      CopyWindowSize();
      if (took_terminal) SetForeground(STDIN_FILENO, pid);
    }
    ::kill(-pid, SIGCONT);
  }

  // Notes a stop or the end of the command (the end without reaping it, so
  // that its group can still be named), and reaps adopted orphans.
  void CheckCommand() {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WNOHANG) == 0 &&
        info.si_pid == pid)
      OnCommandStopped();
    info = siginfo_t{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid)
      exited = true;
    for (;;) {
      info = siginfo_t{};
      if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0 ||
          info.si_pid == pid)
        break;
      ::waitpid(info.si_pid, nullptr, WNOHANG);
    }
  }

  // Sends `signal_number` to every descendant; for SIGKILL, again until none
  // is left (a process may fork while the list is read).
  void SignalDescendants(int signal_number) {
    for (int pass = 0; pass < 20; ++pass) {
      const std::vector<pid_t> alive = Descendants(false);
      if (alive.empty()) return;
      for (pid_t p : alive) ::kill(p, signal_number);
      if (signal_number != SIGKILL) return;
      // Killed children of ours are zombies until reaped; the command itself
      // is left for Wait.
      bool reaped_all = false;
      {
        MutexLock hold(lock);
        reaped_all = reaped;
      }
      if (reaped_all) {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
      }
      ::usleep(10000);
    }
  }
};

std::optional<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                ChildStartFailure* failure) {
  auto fail = [&](int status, const std::string& message) -> std::optional<ChildProcess> {
    if (failure != nullptr) *failure = ChildStartFailure{status, message};
    return std::nullopt;
  };
  if (argv.empty() || argv[0].empty()) return fail(127, "no command given");

  // A reader of our output that goes away, or a full disk under a file
  // limit, is a failed write for the caller to report, not our end.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
#if defined(__linux__)
  // What the command starts and leaves behind (setsid included) becomes ours
  // instead of init's, so ForceStop still finds it.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
#endif

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  auto impl = std::make_unique<Impl>();
  impl->on_terminal = ::isatty(STDOUT_FILENO) != 0;
  UniqueFd out_read, out_write, err_read, err_write, slave;
  if (impl->on_terminal) {
    out_read = UniqueFd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char slave_name[128];
    if (!out_read || ::grantpt(out_read.get()) != 0 || ::unlockpt(out_read.get()) != 0 ||
        ::ptsname_r(out_read.get(), slave_name, sizeof slave_name) != 0)
      return fail(126, std::string("cannot make a pseudo-terminal: ") + std::strerror(errno));
    slave = UniqueFd(::open(slave_name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave)
      return fail(126, std::string("cannot open ") + slave_name + ": " + std::strerror(errno));
    // The user's modes and window size, so the command sees its terminal.
    const int modes_from = ::isatty(STDIN_FILENO) ? STDIN_FILENO : STDOUT_FILENO;
    termios modes{};
    if (::tcgetattr(modes_from, &modes) == 0) {
      impl->saved_modes = modes;
      ::tcsetattr(slave.get(), TCSANOW, &modes);
    }
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0) ::ioctl(slave.get(), TIOCSWINSZ, &size);
    impl->forward_input = ::isatty(STDIN_FILENO) != 0;
  } else {
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) return fail(126, std::strerror(errno));
    out_read = UniqueFd(out_pipe[0]);
    out_write = UniqueFd(out_pipe[1]);
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) return fail(126, std::strerror(errno));
    err_read = UniqueFd(err_pipe[0]);
    err_write = UniqueFd(err_pipe[1]);
#if defined(F_SETPIPE_SZ)
    // Room for a burst of output while this process copies the last one: a
    // command that prints a lot waits less on a full pipe, and each read
    // takes more at once. Only tried; the default size works too.
    ::fcntl(out_pipe[1], F_SETPIPE_SZ, kPipeBytes);
    ::fcntl(err_pipe[1], F_SETPIPE_SZ, kPipeBytes);
#endif
  }
  int report_pipe[2], wake_pipe[2];
  if (::pipe2(report_pipe, O_CLOEXEC) != 0) return fail(126, std::strerror(errno));
  UniqueFd report_read(report_pipe[0]), report_write(report_pipe[1]);
  if (::pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return fail(126, std::strerror(errno));
  impl->wake_read = UniqueFd(wake_pipe[0]);
  impl->wake_write = UniqueFd(wake_pipe[1]);

  // Installed before the fork, so that no end of the command goes unseen;
  // the child puts them back before it runs anything.
  g_wake_fd.store(impl->wake_write.get());
  struct sigaction wake {};
  wake.sa_handler = &WakeOutputLoop;
  wake.sa_flags = SA_RESTART;
  sigemptyset(&wake.sa_mask);
  for (int signal_number : kWakers) ::sigaction(signal_number, &wake, nullptr);

  const bool foreground = !impl->on_terminal && Impl::InForeground();
  const char* file = args[0];
  const bool on_terminal = impl->on_terminal;
  const bool forward_input = impl->forward_input;

  const pid_t pid = ::fork();
  if (pid < 0) return fail(126, std::strerror(errno));
  if (pid == 0) {
    for (int signal_number : kWakers) ::signal(signal_number, SIG_DFL);
    if (on_terminal) {
      // A session of its own, with the pseudo-terminal as its terminal.
      ::setsid();
      if (::ioctl(slave.get(), TIOCSCTTY, 0) != 0) ReportAndExit(report_write.get(), errno);
    } else {
      ::setpgid(0, 0);
      if (foreground) {
        // A background group that sets the foreground is sent SIGTTOU.
        ::signal(SIGTTOU, SIG_IGN);
        ::tcsetpgrp(STDIN_FILENO, ::getpid());
      }
    }
    // Handlers are reset by exec, ignored signals are not.
    for (int signal_number : kInterrupts) ::signal(signal_number, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGXFSZ, SIG_DFL);
    ::signal(SIGTTOU, SIG_DFL);
    const int out_fd = on_terminal ? slave.get() : out_write.get();
    const int err_fd = on_terminal ? slave.get() : err_write.get();
    if (::dup2(out_fd, STDOUT_FILENO) < 0 || ::dup2(err_fd, STDERR_FILENO) < 0 ||
        (forward_input && ::dup2(slave.get(), STDIN_FILENO) < 0))
      ReportAndExit(report_write.get(), errno);
    ::execvp(file, args.data());
    ReportAndExit(report_write.get(), errno);
  }
  // The same in the parent, so that a signal sent before the child ran its
  // setpgid already finds the group.
  if (!on_terminal) ::setpgid(pid, pid);
  out_write.reset();
  err_write.reset();
  slave.reset();
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
    if (foreground) SetForeground(STDIN_FILENO, ::getpgrp());
    const int status = exec_error == ENOENT ? 127 : 126;
    return fail(status, argv[0] + ": " + std::strerror(exec_error));
  }

  impl->pid = pid;
  impl->out = std::move(out_read);
  impl->err = std::move(err_read);
  impl->took_terminal = foreground;
  impl->CopyWindowSize();
  impl->EnterRawMode();
  return ChildProcess(std::move(impl));
}

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&&) noexcept = default;
ChildProcess::~ChildProcess() = default;

void ChildProcess::PumpOutput(const std::function<bool(OutputStream, std::string_view)>& sink) {
  Impl& self = *impl_;
  using Clock = std::chrono::steady_clock;
  std::string buffer(64 * 1024, '\0');
  std::string pending_input;  // typed, not yet taken by the pseudo-terminal
  bool input_open = self.forward_input;
  Clock::time_point ended_at{}, last_output{};
  if (self.on_terminal)
    ::fcntl(self.out.get(), F_SETFL, ::fcntl(self.out.get(), F_GETFL) | O_NONBLOCK);
  self.CheckCommand();
  for (;;) {
    if (self.exited) {
      const Clock::time_point now = Clock::now();
      if (ended_at == Clock::time_point{}) ended_at = last_output = now;
      if ((!self.out && !self.err) || now - last_output >= kDrainIdle ||
          now - ended_at >= kDrainLimit)
        break;
    }
    const bool reading_input = input_open && self.raw && pending_input.empty() && !self.exited;
    pollfd fds[4] = {{self.out ? self.out.get() : -1, POLLIN, 0},
                     {self.err ? self.err.get() : -1, POLLIN, 0},
                     {self.wake_read.get(), POLLIN, 0},
                     {reading_input ? STDIN_FILENO : -1, POLLIN, 0}};
    if (!pending_input.empty() && self.out) fds[0].events |= POLLOUT;
    int timeout = -1;
    if (self.exited)
      timeout = static_cast<int>(kDrainIdle.count());
    else if ((input_open && !self.raw) || (!self.out && !self.err))
      // Its output ended: the command is looked at now and then, so that an
      // end whose signal this process missed is not waited for in vain.
      timeout = kForegroundCheckMs;
    const int ready = ::poll(fds, 4, timeout);
    if (ready < 0 && errno != EINTR) return;

    // Every change of the command's state comes with a signal: the command
    // is looked at only then (and when a wait ran out), not for every chunk
    // of output, which would cost three calls each.
    const bool signalled = fds[2].revents != 0;
    if (signalled) {
      unsigned char signals[64];
      ssize_t n;
      bool resized = false, continued = false;
      while ((n = ::read(self.wake_read.get(), signals, sizeof signals)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
          resized |= signals[i] == SIGWINCH;
          continued |= signals[i] == SIGCONT;
        }
      }
      if (resized) self.CopyWindowSize();
      if (continued) self.Resume();
    }
    if (input_open && !self.raw) self.EnterRawMode();  // back in the foreground
    // A wait cut short by a signal (EINTR) may be the command's end too.
    if (signalled || ready <= 0) self.CheckCommand();

    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0) continue;
      UniqueFd& stream = i == 0 ? self.out : self.err;
      if ((fds[i].revents & POLLOUT) != 0 && !pending_input.empty()) {
        const ssize_t n = ::write(stream.get(), pending_input.data(), pending_input.size());
        if (n > 0) pending_input.erase(0, static_cast<std::size_t>(n));
      }
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = ::read(stream.get(), buffer.data(), buffer.size());
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      // A pseudo-terminal whose every slave is closed reads EIO.
      if (n <= 0) {
        stream.reset();
        continue;
      }
      last_output = Clock::now();
      if (!sink(i == 0 ? OutputStream::kStandardOutput : OutputStream::kStandardError,
                std::string_view(buffer.data(), static_cast<std::size_t>(n))))
        stream.reset();
    }
    if (fds[3].fd >= 0 && fds[3].revents != 0) {
      const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
      if (n > 0) {
        std::string_view keys(buffer.data(), static_cast<std::size_t>(n));
        const std::size_t suspend = self.SuspendKeyAt(keys);
        pending_input.append(keys.substr(0, suspend));
        if (suspend != std::string_view::npos) ::kill(-self.pid, SIGSTOP);
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        input_open = false;  // the terminal hung up
    }
  }
  self.LeaveRawMode();
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
  impl_->exited = true;
  impl_->ending_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  g_forward_group.store(0);
  impl_->LeaveRawMode();
  if (impl_->took_terminal && ::tcgetpgrp(STDIN_FILENO) == impl_->pid)
    SetForeground(STDIN_FILENO, ::getpgrp());
  // Adopted orphans that ended meanwhile.
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  return ShellStatus(status);
}

int ChildProcess::EndingSignal() const { return impl_->ending_signal; }

void ChildProcess::RequestStop() {
  impl_->Signal(SIGTERM);
  impl_->SignalDescendants(SIGTERM);
}

void ChildProcess::ForceStop() {
  impl_->Signal(SIGKILL);
  impl_->SignalDescendants(SIGKILL);
}

bool ChildProcess::LeftProcessesBehind() const { return !Descendants(false).empty(); }

void ChildProcess::ForwardInterrupts() {
  g_forward_group.store(impl_->pid);
  struct sigaction action {};
  action.sa_handler = &ForwardToGroup;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kInterrupts) ::sigaction(signal_number, &action, nullptr);
}

void ExitAsCommandEnded(int status, int ending_signal) {
  std::fflush(nullptr);
  if (ending_signal == SIGINT || ending_signal == SIGQUIT) {
    // The command's core, if any, is the one worth having.
    if (ending_signal == SIGQUIT) {
      const rlimit no_core{0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(ending_signal, &fallback, nullptr);
    sigset_t only{};
    sigemptyset(&only);
    sigaddset(&only, ending_signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(ending_signal);
  }
  ::_exit(status);
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

long CurrentProcessId() noexcept { return static_cast<long>(::getpid()); }

std::string ActivatorStartHint(const std::string& pipe_location) {
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
  };
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
    std::strcpy(host, "<this host>");
  const std::string remote = "run there: activator-remote " + std::string(host);
  if (!set("DISPLAY") && !set("WAYLAND_DISPLAY")) {
    // An activator here would have no notification server to show jobs on.
    const std::string forward = "ssh -R " + pipe_location + ":<the desktop's job pipe> ...";
    return "this session has no desktop (DISPLAY and WAYLAND_DISPLAY are unset); to see its "
           "jobs on your desktop, " +
           remote + " (or forward the desktop's job pipe to " + pipe_location +
           " when you connect: " + forward + ")";
  }
  // start alone would last one session; enable --now also starts it with the next ones.
  return "start one with: systemctl --user enable --now activator.service (or, to see its jobs "
         "on another desktop, " +
         remote + ")";
}

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
