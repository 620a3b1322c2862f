// POSIX shell: the existence check is stat(); the text editor is the build's
// program, started detached through a double fork so that it is reparented
// away from us and no zombie is left for anyone to reap. The middle child
// watches the editor for a short while before it exits: an editor that ends
// with a failure status in that time (xdg-open finding no handler exits 4)
// did not open the file, and the middle child reports how it ended. The
// middle child reaps an editor that ended; one still running is inherited and
// reaped by the system.
//
// The editor's standard error is an anonymous memory file, so that the first
// line of a failure can be shown to the user. Once the watch is over that
// file is sealed against growth: an editor that lives for days and keeps
// writing warnings gets write errors, not our memory.
//
// Between fork and exec only async-signal-safe calls are made (the caller may
// have other threads holding locks inside malloc or stdio), so everything the
// children need is prepared before the first fork. What happened is reported
// back through a close-on-exec pipe as records of two ints: the errno of a
// start that failed, or the exit status or signal of an editor that ended
// within the watch in failure. End of file with no record means started.
#include "platform/shell.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "base/build_constants.h"
#include "platform/posix/unique_fd.h"

namespace activator {

namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The editor's file, found the way a shell finds a command: a name holding a
// slash is a path, any other name is searched along PATH.
std::optional<std::string> FindProgram(const std::string& name) {
  if (name.empty() || name.find('\0') != std::string::npos) return std::nullopt;
  if (name.find('/') != std::string::npos) return name;
  const char* search = std::getenv("PATH");
  std::string_view dirs = search != nullptr ? search : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const std::size_t colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    dirs.remove_prefix(colon + 1);
  }
}

enum ReportKind : int { kReportStartErrno = 1, kReportExitStatus = 2, kReportSignal = 3 };

void Report(int report_fd, int kind, int value) {
  const int record[2] = {kind, value};
  ssize_t ignored = ::write(report_fd, record, sizeof(record));
  (void)ignored;
}

[[noreturn]] void ReportAndExit(int report_fd, int error) {
  Report(report_fd, kReportStartErrno, error);
  ::_exit(127);
}

// Marks every descriptor above stderr close-on-exec, so the editor inherits
// only its standard streams whatever the rest of the process left inheritable.
void CloseOurDescriptorsOnExec(int highest_fd) {
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  // Kernels before 5.11 lack the flag: mark them one by one.
  for (int fd = 3; fd <= highest_fd; ++fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
}

// Runs in the grandchild; never returns.
[[noreturn]] void ExecEditor(char* const argv[], int report_fd, int errors_fd, int highest_fd) {
  ::setsid();  // its own session: a signal to our process group spares it
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);  // the caller's thread may block some
  if (errors_fd >= 0) ::dup2(errors_fd, STDERR_FILENO);
  CloseOurDescriptorsOnExec(highest_fd);
  ::execv(argv[0], argv);
  ReportAndExit(report_fd, errno);
}

long long MonotonicMilliseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Runs in the middle child; never returns. Reports an editor that ended in
// failure within `watch_ms` (an exec failure has reported itself already).
[[noreturn]] void WatchEditor(pid_t editor, long long watch_ms, int report_fd) {
  constexpr long long kStepMs = 10;
  const long long deadline = MonotonicMilliseconds() + watch_ms;
  while (true) {
    int status = 0;
    const pid_t ended = ::waitpid(editor, &status, WNOHANG);
    if (ended == editor) {
      if (WIFSIGNALED(status)) Report(report_fd, kReportSignal, WTERMSIG(status));
      if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        Report(report_fd, kReportExitStatus, WEXITSTATUS(status));
      ::_exit(0);
    }
    if (ended < 0 && errno != EINTR) ::_exit(0);  // cannot be watched: it did start
    const long long left = deadline - MonotonicMilliseconds();
    if (left <= 0) ::_exit(0);
    ::poll(nullptr, 0, static_cast<int>(std::min(left, kStepMs)));
  }
}

// The first line of what the editor wrote on its standard error.
std::string FirstErrorLine(int errors_fd) {
  char bytes[kEditorErrorLineBytes];
  ssize_t n;
  do {
    n = ::pread(errors_fd, bytes, sizeof(bytes), 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return {};
  std::string_view text(bytes, static_cast<std::size_t>(n));
  return std::string(text.substr(0, text.find('\n')));
}

}  // namespace

bool IsExistingNonDirectory(const std::string& path) noexcept {
  // A NUL byte would end the path early and check another file than the one
  // named.
  if (path.find('\0') != std::string::npos) return false;
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

EditorStart StartTextEditor(const std::string& path, std::chrono::milliseconds watch) noexcept {
  using Outcome = EditorStart::Outcome;
  EditorStart start;
  try {
    if (path.find('\0') != std::string::npos) {
      start.code = EINVAL;
      return start;
    }
    std::optional<std::string> program = FindProgram(kTextEditor);
    if (!program) {
      start.outcome = Outcome::kNotFound;
      start.code = ENOENT;
      return start;
    }
    std::string argument = path;
    char* const argv[] = {program->data(), argument.data(), nullptr};

    rlimit limit{};
    int highest_fd = 1023;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
      highest_fd = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, rlim_t{1} << 20) - 1);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
      start.code = errno;
      return start;
    }
    UniqueFd report_read(report[0]);
    UniqueFd report_write(report[1]);
    // Without it the editor keeps our standard error and a failure has no
    // words beyond its status.
    UniqueFd errors(::memfd_create("editor-errors", MFD_CLOEXEC | MFD_ALLOW_SEALING));

    const long long watch_ms = std::max<long long>(0, watch.count());
    const pid_t child = ::fork();
    if (child < 0) {
      start.code = errno;
      return start;
    }
    if (child == 0) {
      // The caller may ignore SIGCHLD, which would leave the editor's status
      // to no one.
      struct sigaction default_action {};
      default_action.sa_handler = SIG_DFL;
      ::sigaction(SIGCHLD, &default_action, nullptr);
      const pid_t grandchild = ::fork();
      if (grandchild < 0) ReportAndExit(report_write.get(), errno);
      if (grandchild == 0) ExecEditor(argv, report_write.get(), errors.get(), highest_fd);
      WatchEditor(grandchild, watch_ms, report_write.get());
    }
    report_write.reset();

    // At most `watch` and a little more. With SIGCHLD ignored the system
    // reaps the child itself and waitpid reports ECHILD; the report pipe
    // still tells what happened.
    int status = 0;
    while (::waitpid(child, &status, 0) != child && errno == EINTR) {
    }

    // The first record tells: an editor whose exec failed also exits 127.
    int record[2] = {0, 0};
    std::size_t got = 0;
    while (got < sizeof(record)) {
      const ssize_t n = ::read(report_read.get(), reinterpret_cast<char*>(record) + got,
                               sizeof(record) - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got < sizeof(record)) {
      start.outcome = Outcome::kStarted;
      if (errors) ::fcntl(errors.get(), F_ADD_SEALS, F_SEAL_GROW);
      return start;
    }
    start.outcome = record[0] == kReportStartErrno   ? Outcome::kStartFailed
                    : record[0] == kReportSignal     ? Outcome::kSignalled
                                                     : Outcome::kExited;
    start.code = record[1];
    if (errors && start.outcome != Outcome::kStartFailed) start.error_line = FirstErrorLine(errors.get());
    return start;
  } catch (...) {
    start.outcome = Outcome::kStartFailed;
    return start;
  }
}

}  // namespace activator
