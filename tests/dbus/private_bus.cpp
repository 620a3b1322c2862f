#include "dbus/private_bus.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

extern char** environ;

namespace activator::testing {

namespace {

constexpr int kAddressTimeoutMs = 10000;

}  // namespace

PrivateBus::PrivateBus() {
  char dir_template[] = "/tmp/activator-bus-XXXXXX";
  if (::mkdtemp(dir_template) == nullptr) {
    error_ = std::string("mkdtemp: ") + std::strerror(errno);
    return;
  }
  socket_dir_ = dir_template;

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  // The daemon writes its address into descriptor 3.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  // Its complaints (it cannot raise its descriptor limit as a normal user)
  // are noise in the test output.
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // The shared configuration; the socket goes in a folder of this bus's own.
  std::string config_arg = std::string("--config-file=") + PRIVATE_BUS_CONFIG;
  std::string address_arg = "--address=unix:dir=" + socket_dir_;
  std::vector<char*> argv = {const_cast<char*>("dbus-daemon"),
                             config_arg.data(),
                             address_arg.data(),
                             const_cast<char*>("--nofork"),
                             const_cast<char*>("--print-address=3"),
                             nullptr};
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, "dbus-daemon", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    error_ = std::string("cannot start dbus-daemon: ") + std::strerror(rc);
    return;
  }
  pid_ = pid;

  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAddressTimeoutMs);
  while (text.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{fds[0], POLLIN, 0};
    int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[512];
    ssize_t got = ::read(fds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fds[0]);
  std::size_t end = text.find('\n');
  if (end == std::string::npos || end == 0) {
    error_ = "dbus-daemon printed no address";
    Kill();
    return;
  }
  address_ = text.substr(0, end);
}

PrivateBus::~PrivateBus() {
  Kill();
  if (!socket_dir_.empty()) {
    // The socket file the daemon made lives here; it may be left behind by a
    // killed daemon.
    std::string cleanup = socket_dir_;
    if (auto* dir = ::opendir(cleanup.c_str())) {
      while (auto* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") ::unlink((cleanup + "/" + name).c_str());
      }
      ::closedir(dir);
    }
    ::rmdir(socket_dir_.c_str());
  }
}

void PrivateBus::UseAsSessionBus() const {
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

void PrivateBus::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace activator::testing
