#include "platform/byte_link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/posix/unique_fd.h"

extern char** environ;

namespace activator {

namespace {

std::atomic<bool> g_end_requested{false};

void OnEndRequest(int) { g_end_requested.store(true); }

LinkRead ReadFd(int fd, std::string& bytes, std::chrono::milliseconds wait) {
  pollfd readable{fd, POLLIN, 0};
  const int ready = ::poll(&readable, 1, static_cast<int>(wait.count()));
  if (ready == 0 || (ready < 0 && errno == EINTR)) return LinkRead::kNothing;
  if (ready < 0) return LinkRead::kEnded;
  char buffer[65536];
  ssize_t n;
  do {
    n = ::read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EAGAIN) return LinkRead::kNothing;
  if (n <= 0) return LinkRead::kEnded;
  bytes.append(buffer, static_cast<std::size_t>(n));
  return LinkRead::kRead;
}

bool WriteFd(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

int ShellStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

}  // namespace

struct LinkedProcess::Impl {
  pid_t pid = -1;
  UniqueFd to_child;
  UniqueFd from_child;
  std::optional<int> status;
};

LinkedProcess::LinkedProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LinkedProcess::LinkedProcess(LinkedProcess&&) noexcept = default;
LinkedProcess& LinkedProcess::operator=(LinkedProcess&&) noexcept = default;

LinkedProcess::~LinkedProcess() {
  if (!impl_ || impl_->status) return;
  impl_->to_child.reset();
  RequestStop();
  Wait();
}

std::optional<LinkedProcess> LinkedProcess::Start(const std::vector<std::string>& argv,
                                                  ChildStartFailure* failure) {
  if (argv.empty()) {
    if (failure != nullptr) *failure = {127, "no program given"};
    return std::nullopt;
  }
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) {
    if (failure != nullptr) *failure = {126, std::strerror(errno)};
    return std::nullopt;
  }
  UniqueFd in_read(in[0]), in_write(in[1]);
  if (::pipe2(out, O_CLOEXEC) != 0) {
    if (failure != nullptr) *failure = {126, std::strerror(errno)};
    return std::nullopt;
  }
  UniqueFd out_read(out[0]), out_write(out[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_read.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_write.get(), STDOUT_FILENO);
  // This process ignores SIGPIPE and may hold SIGINT and SIGTERM in a
  // handler; the program starts with the defaults.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int error = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    if (failure != nullptr)
      *failure = {error == ENOENT ? 127 : 126, argv[0] + ": " + std::strerror(error)};
    return std::nullopt;
  }
  auto impl = std::make_unique<Impl>();
  impl->pid = pid;
  impl->to_child = std::move(in_write);
  impl->from_child = std::move(out_read);
  return LinkedProcess(std::move(impl));
}

bool LinkedProcess::Write(std::string_view bytes) {
  return impl_->to_child && WriteFd(impl_->to_child.get(), bytes);
}

LinkRead LinkedProcess::Read(std::string& bytes, std::chrono::milliseconds wait) {
  if (!impl_->from_child) return LinkRead::kEnded;
  return ReadFd(impl_->from_child.get(), bytes, wait);
}

void LinkedProcess::RequestStop() {
  if (!impl_->status && impl_->pid > 0) ::kill(impl_->pid, SIGTERM);
}

int LinkedProcess::Wait() {
  if (impl_->status) return *impl_->status;
  // A program asked to end gets a few seconds before it is killed.
  int status = 0;
  for (int tries = 0;; ++tries) {
    const pid_t done = ::waitpid(impl_->pid, &status, tries < 300 ? WNOHANG : 0);
    if (done == impl_->pid) break;
    if (done < 0 && errno != EINTR) {
      status = 0;
      break;
    }
    if (tries == 300) ::kill(impl_->pid, SIGKILL);
    if (tries < 300) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  impl_->to_child.reset();
  impl_->from_child.reset();
  impl_->status = ShellStatus(status);
  return *impl_->status;
}

void PrepareStandardLink() { ::signal(SIGPIPE, SIG_IGN); }

LinkRead ReadStandardInput(std::string& bytes, std::chrono::milliseconds wait) {
  return ReadFd(STDIN_FILENO, bytes, wait);
}

bool WriteStandardOutput(std::string_view bytes) { return WriteFd(STDOUT_FILENO, bytes); }

void CatchEndRequests() {
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = OnEndRequest;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

bool EndRequested() noexcept { return g_end_requested.load(); }

}  // namespace activator
