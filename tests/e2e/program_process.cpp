#include "e2e/program_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "support/log_capture.h"
#include "support/test_lab.h"

extern char** environ;

namespace activator::testing {

ProgramProcess::~ProgramProcess() { Kill(); }

bool ProgramProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment) {
  Kill();
  std::vector<std::string> env_texts;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    if (environment.count(name) == 0) env_texts.push_back(text);
  }
  for (const auto& [name, value] : environment) {
    if (!value.empty()) env_texts.push_back(name + "=" + value);
  }
  std::vector<char*> env;
  for (auto& text : env_texts) env.push_back(text.data());
  env.push_back(nullptr);

  std::vector<std::string> arg_texts;
  arg_texts.push_back(program);
  arg_texts.insert(arg_texts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& text : arg_texts) argv.push_back(text.data());
  argv.push_back(nullptr);

  // fork and exec rather than posix_spawn, for the one step between them:
  // the child is killed when this process dies, so even a test program that
  // aborts leaves no program behind holding the lab's pipes.
  const char* out_path = output_path_.empty() ? nullptr : output_path_.c_str();
  const char* err_path = error_path_.empty() ? nullptr : error_path_.c_str();
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    for (const auto& [path, target] :
         {std::pair{out_path, STDOUT_FILENO}, {err_path, STDERR_FILENO}}) {
      if (path == nullptr) continue;
      const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0600);
      if (fd < 0 || ::dup2(fd, target) < 0) ::_exit(127);
      if (fd != target) ::close(fd);
    }
    ::execve(program.c_str(), argv.data(), env.data());
    ::_exit(127);
  }
  pid_ = pid;
  ended_ = false;
  exit_code_.reset();
  signal_ = 0;
  return true;
}

bool ProgramProcess::Reap(bool wait) {
  if (ended_) return true;
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(pid_, &status, wait ? 0 : WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == 0) return false;
  ended_ = true;
  if (got == pid_) {
    if (WIFEXITED(status)) exit_code_ = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) signal_ = WTERMSIG(status);
  }
  return true;
}

std::optional<int> ProgramProcess::WaitForExit(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!Reap(false)) {
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return exit_code_;
}

bool ProgramProcess::Running() { return !Reap(false); }

void ProgramProcess::Kill() {
  if (ended_) return;
  ::kill(pid_, SIGKILL);
  Reap(true);
}

namespace {
std::uint64_t FileSize(const std::string& path) { return ReadFile(path).size(); }
}  // namespace

LogFileTail::LogFileTail(std::string path) : path_(std::move(path)), start_(FileSize(path_)) {}

std::vector<std::string> LogFileTail::Lines() const {
  std::string all = ReadFile(path_);
  if (all.size() >= start_) return SplitLogLines(all.substr(start_));
  // Rolled over meanwhile: the lines before the new file's are the
  // predecessor's end.
  const std::string before = ReadFile(path_ + ".1");
  return SplitLogLines((before.size() >= start_ ? before.substr(start_) : std::string()) + all);
}

bool LogFileTail::WaitForLine(const std::string& line, int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    for (const auto& l : Lines())
      if (l == line) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace activator::testing
