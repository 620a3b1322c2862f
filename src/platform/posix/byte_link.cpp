#include "platform/byte_link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/posix/pipe_names.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/unix_socket.h"

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

LocalLink::LocalLink(int fd) : fd_(fd) {}
LocalLink::LocalLink(LocalLink&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
LocalLink& LocalLink::operator=(LocalLink&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}
LocalLink::~LocalLink() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<LocalLink> LocalLink::Connect(const std::string& name) {
  sockaddr_un addr{};
  socklen_t length = 0;
  if (MakeSocketAddress(SocketPathForPipe(name), &addr, &length) != 0) return std::nullopt;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return std::nullopt;
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), length);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return std::nullopt;
  // A socket at that path served by another user is not our keeper.
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::getuid())
    return std::nullopt;
  return LocalLink(fd.release());
}

LinkRead LocalLink::Read(std::string& bytes, std::chrono::milliseconds wait) {
  return ReadFd(fd_, bytes, wait);
}

bool LocalLink::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void LocalLink::Shut() { ::shutdown(fd_, SHUT_RDWR); }

LocalLinkServer::LocalLinkServer(LocalLinkServer&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}
LocalLinkServer& LocalLinkServer::operator=(LocalLinkServer&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}
LocalLinkServer::~LocalLinkServer() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<LocalLinkServer> LocalLinkServer::Listen(const std::string& name) {
  const std::string path = SocketPathForPipe(name);
  sockaddr_un addr{};
  socklen_t length = 0;
  if (MakeSocketAddress(path, &addr, &length) != 0) return std::nullopt;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return std::nullopt;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
  // Owner-only from the start, whatever the folder allows.
  const mode_t old_mask = ::umask(0077);
  const int bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), length);
  ::umask(old_mask);
  if (bound != 0 || ::listen(fd.get(), 8) != 0) return std::nullopt;
  return LocalLinkServer(fd.release());
}

std::optional<LocalLink> LocalLinkServer::Accept(std::chrono::milliseconds wait) {
  pollfd readable{fd_, POLLIN, 0};
  if (::poll(&readable, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
  UniqueFd fd(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
  if (!fd) return std::nullopt;
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::getuid())
    return std::nullopt;
  return LocalLink(fd.release());
}

std::optional<char> RunDetached(
    const std::string& log_path,
    const std::function<int(const std::function<void(char)>& tell)>& body) {
  int told[2];
  if (::pipe2(told, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t middle = ::fork();
  if (middle < 0) {
    ::close(told[0]);
    ::close(told[1]);
    return std::nullopt;
  }
  if (middle == 0) {
    ::close(told[0]);
    // Twice: the copy is nobody's child but init's, and no session leader,
    // so no terminal can become its own.
    ::setsid();
    const pid_t copy = ::fork();
    if (copy != 0) ::_exit(copy < 0 ? 1 : 0);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    const int out = log >= 0 ? log : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (out >= 0) {
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
    }
    const int fd = told[1];
    const int status = body([fd](char byte) { (void)!::write(fd, &byte, 1); });
    ::_exit(status);
  }
  ::close(told[1]);
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  char byte = 0;
  ssize_t n;
  do {
    n = ::read(told[0], &byte, 1);
  } while (n < 0 && errno == EINTR);
  ::close(told[0]);
  if (n != 1) return std::nullopt;
  return byte;
}

}  // namespace activator
