// The program run as a whole, as a separate process, with no notification
// service reachable: the start-up sequence, the job pipe served regardless,
// and the exits of a start that cannot go on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "base/build_constants.h"
#include "e2e/program_process.h"
#include "host/startup.h"
#include "intake/job_pipe_server.h"
#include "platform/pipes.h"
#include "platform/posix/pipe_names.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/unix_socket.h"
#include "support/log_capture.h"
#include "support/test_lab.h"

namespace activator {
namespace {

using testing::InOrder;
using testing::LogFileTail;
using testing::LogTail;
using testing::ProgramProcess;

// Generous: the sanitizer builds start slowly. No test asserts on time.
constexpr int kWaitMs = 30000;

// A session bus address where nothing listens.
std::map<std::string, std::string> NoBusEnvironment() {
  return {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + testing::LabPath("no-bus-here")},
          {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + testing::LabPath("no-bus-here")}};
}

std::string LogOf(const std::string& lab_root) { return lab_root + "/Logs/activator_debug.txt"; }

class EndToEndTest : public ::testing::Test {
 protected:
  // Each test starts as on a fresh machine: nothing kept from an earlier run.
  void SetUp() override { std::remove(kStateFilePath); }
  void TearDown() override { program_.Kill(); }
  ProgramProcess program_;
};

const std::vector<std::string> kStartWithoutService = {
    "================",
    "ZORVELL ACTIVATOR START",
    "COM INIT=0",
    "BOOTSTRAP RESULT=0",
    "COM REGISTER=0",
    "COM ACTIVATOR READY",
    "WPN CALLBACK REGISTERED",
    "ESTADO NOVO",
    "WPN REGISTER FAILED",
};

TEST_F(EndToEndTest, StartsWithoutNotificationServiceAndServesTheJobPipe) {
  LogTail tail;  // this test program's lab is the program's lab
  ASSERT_TRUE(program_.Start(E2E_PROGRAM, {}, NoBusEnvironment()));
  ASSERT_TRUE(tail.WaitForLine("PYTHON PIPE READY", kWaitMs))
      << ::testing::PrintToString(tail.Lines());

  std::vector<std::string> lines = tail.Lines();
  ASSERT_GE(lines.size(), kStartWithoutService.size() + 1);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + kStartWithoutService.size()),
            kStartWithoutService);
  // The inventory cannot list anything without the service.
  EXPECT_EQ(lines[kStartWithoutService.size()], "GETALL ERRO: EXCECAO AO CONSULTAR GETALL");
  EXPECT_TRUE(InOrder(lines, {"GETALL ERRO: EXCECAO AO CONSULTAR GETALL", "VELDUNA QUEUE READY",
                              "PYTHON PIPE READY"}));

  // The job pipe is served all the same.
  ASSERT_TRUE(tail.WaitForLine("PYTHON PIPE SERVER START", kWaitMs));
  const std::string message =
      "acao=continuar&id_execucao=E2E1&pipe=\\\\.\\pipe\\e2e_nobody&estado=executando";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  // The server creates its pipe after its first line; until then opens fail.
  while (WriteMessageToPipe(kJobPipeName, message).status != PipeSendStatus::kSent) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "job pipe never opened";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(tail.WaitForLine("VELDUNA RECEBEU=E2E1", kWaitMs));
  EXPECT_TRUE(InOrder(tail.Lines(),
                      {"PYTHON PIPE RECEIVED=" + message,
                       "PYTHON PIPE DESTINO=\\\\.\\pipe\\e2e_nobody", "PYTHON ACAO=continuar",
                       "PYTHON ID=E2E1", "PYTHON ESTADO=executando", "VELDUNA RECEBEU=E2E1"}));
  EXPECT_TRUE(program_.Running());
}

// --help and --version print and end, any other argument is one line on
// standard error and status 2; the arguments Windows starts the program with
// change nothing: the same log lines and exit as without arguments (a start
// that ends at the missing bootstrap library, so each run ends by itself).
TEST_F(EndToEndTest, CommandLine) {
  const std::string out = testing::LabPath("command-line.out");
  const std::string err = testing::LabPath("command-line.err");
  const std::string name = std::filesystem::path(E2E_NODLL_PROGRAM).filename().string();
  const std::vector<std::string> started = {"================", "ZORVELL ACTIVATOR START",
                                            "COM INIT=0", "BOOTSTRAP DLL ERROR=126"};
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string output;  // its start
    bool one_error_line;
  } cases[] = {
      {{}, 10, "", false},
      {{"-Embedding"}, 10, "", false},
      {{"/Embedding"}, 10, "", false},
      {{"----AppNotificationActivated:"}, 10, "", false},
      {{"----AppNotificationActivated:action=salvar&id_execucao=J1"}, 10, "", false},
      {{"--help"}, 0, "usage: " + name + " [--help | --version | --unregister]\n", false},
      {{"--unregister", "now"}, 2, "", true},
      {{"-Embedding", "--version"}, 0, name + " " + kVersion + "\n", false},
      {{"--lab", "/tmp"}, 2, "", true},
      {{""}, 2, "", true},
      {{"-embedding"}, 2, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    LogFileTail log(LogOf(E2E_NODLL_LAB));
    ProgramProcess run;
    run.SetOutput(out, err);
    ASSERT_TRUE(run.Start(E2E_NODLL_PROGRAM, c.arguments, NoBusEnvironment()));
    EXPECT_EQ(run.WaitForExit(kWaitMs), c.status);
    EXPECT_EQ(log.Lines(), c.status == 10 ? started : std::vector<std::string>{});
    EXPECT_EQ(testing::ReadFile(out).substr(0, c.output.size()), c.output);
    if (c.output.empty()) EXPECT_EQ(testing::ReadFile(out), "");
    const std::string error = testing::ReadFile(err);
    if (c.one_error_line) {
      EXPECT_TRUE(error.starts_with(name + ": ")) << error;
      EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
      EXPECT_TRUE(error.ends_with("\n")) << error;
    } else {
      EXPECT_EQ(error, "");
    }
  }
}

// A pseudo-terminal for a program's standard error: what a user who started
// the program by hand reads.
class Terminal {
 public:
  Terminal() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    if (master_ && (::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0)) {
      master_.reset();
    }
  }
  bool valid() const { return master_.valid(); }
  std::string device() const { return ::ptsname(master_.get()); }
  // What the program wrote since the last call; the terminal's CR LF line
  // ends are given as LF.
  std::string Read() {
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = ::read(master_.get(), buffer, sizeof(buffer))) > 0;) {
      said.append(buffer, n);
    }
    std::erase(said, '\r');
    return said;
  }

 private:
  UniqueFd master_;
};

std::ptrdiff_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
  return std::count(lines.begin(), lines.end(), line);
}

// Sends `message` to the job pipe as soon as a server takes it (a socket file
// alone may be left from an earlier program).
::testing::AssertionResult SendWhenServed(const std::string& message) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (WriteMessageToPipe(kJobPipeName, message).status != PipeSendStatus::kSent) {
    if (std::chrono::steady_clock::now() > deadline) {
      return ::testing::AssertionFailure() << "job pipe never served";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return ::testing::AssertionSuccess();
}

// An activator started from a terminal while another program holds the job
// pipe says so there once, then goes on as without a terminal: it retries
// every second, logs the failure once, and serves once the pipe is free.
TEST_F(EndToEndTest, OnATerminalSaysOnceThatAnotherProgramHoldsTheJobPipe) {
  // A plain socket of the test's: the port's own server would keep the pipe
  // for the rest of this test program.
  const std::string path = SocketPathForPipe(kJobPipeName);
  std::remove(path.c_str());  // left by an earlier program
  UniqueFd holder(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address;
  socklen_t length = 0;
  ASSERT_EQ(MakeSocketAddress(path, &address, &length), 0);
  ASSERT_EQ(::bind(holder.get(), reinterpret_cast<const sockaddr*>(&address), length), 0) << errno;
  ASSERT_EQ(::listen(holder.get(), 8), 0) << errno;
  LogTail tail;
  Terminal terminal;
  ASSERT_TRUE(terminal.valid());
  program_.SetOutput("", terminal.device());
  ASSERT_TRUE(program_.Start(E2E_PROGRAM, {}, NoBusEnvironment()));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (CountOf(tail.Lines(), "PYTHON PIPE CREATE FAILED=98") < 1) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no failure";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(program_.Running());
  EXPECT_EQ(terminal.Read(), kJobPipeTakenNotice);
  // It keeps trying, once a second, in silence, and serves once the pipe is
  // free.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  holder.reset();
  std::remove(path.c_str());
  ASSERT_TRUE(SendWhenServed(""));
  EXPECT_EQ(CountOf(tail.Lines(), "PYTHON PIPE CREATE FAILED=98"), 1);
}

// One activator per user: a second one started while the first runs waits,
// logging nothing, says so once on its terminal, and starts when the first
// ends, going on from the state the first left. So it does when the lock
// file was deleted or replaced under the first, or cannot be had at all: the
// first takes it again when it can, and its job pipe is a sign of it too.
TEST_F(EndToEndTest, ASecondActivatorWaitsForTheFirstToEnd) {
  namespace fs = std::filesystem;
  const std::string lock = kInstanceLockName;
  const std::vector<std::pair<std::string, std::function<void()>>> lock_files = {
      {"kept", [] {}},
      {"deleted", [&] { fs::remove(lock); }},
      {"a directory", [&] { fs::remove(lock), fs::create_directory(lock); }},
      {"a symbolic link", [&] { fs::remove(lock), fs::create_symlink(lock + ".elsewhere", lock); }},
  };
  for (const auto& [lock_file, change] : lock_files) {
    SCOPED_TRACE("the lock file " + lock_file);
    std::remove(kStateFilePath);
    LogTail tail;
    ASSERT_TRUE(program_.Start(E2E_PROGRAM, {}, NoBusEnvironment()));
    ASSERT_TRUE(SendWhenServed(""));  // a client that writes nothing leaves no trace
    change();

    Terminal terminal;
    ASSERT_TRUE(terminal.valid());
    ProgramProcess second;
    second.SetOutput("", terminal.device());
    ASSERT_TRUE(second.Start(E2E_PROGRAM, {}, NoBusEnvironment()));
    std::string said;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!said.ends_with("\n")) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "nothing said: " << said;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      said += terminal.Read();
    }
    EXPECT_EQ(said, kInstanceWaitNotice);

    // The first one alone takes jobs and keeps them in the state file.
    ASSERT_TRUE(SendWhenServed("acao=continuar&id_execucao=X1&estado=executando"));
    ASSERT_TRUE(tail.WaitForLine("VELDUNA RECEBEU=X1", kWaitMs));
    EXPECT_EQ(CountOf(tail.Lines(), "ZORVELL ACTIVATOR START"), 1);

    program_.Kill();
    ASSERT_TRUE(SendWhenServed("acao=continuar&id_execucao=X2&estado=executando"));
    ASSERT_TRUE(tail.WaitForLine("VELDUNA RECEBEU=X2", kWaitMs));
    const std::vector<std::string> lines = tail.Lines();
    EXPECT_EQ(CountOf(lines, "ZORVELL ACTIVATOR START"), 2);
    const auto restored = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.starts_with("ESTADO RESTAURADO PROCESSOS=1 ");
    });
    EXPECT_NE(restored, lines.end()) << ::testing::PrintToString(lines);
    EXPECT_EQ(terminal.Read(), "");  // said once
    second.Kill();
    fs::remove(lock);
  }
}

TEST_F(EndToEndTest, MissingBootstrapLibraryExitsWithTen) {
  LogFileTail log(LogOf(E2E_NODLL_LAB));
  ASSERT_TRUE(program_.Start(E2E_NODLL_PROGRAM, {}, NoBusEnvironment()));
  EXPECT_EQ(program_.WaitForExit(kWaitMs), 10);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"================", "ZORVELL ACTIVATOR START",
                                                   "COM INIT=0", "BOOTSTRAP DLL ERROR=126"}));
}

TEST_F(EndToEndTest, BootstrapWithoutEntryPointExitsWithEleven) {
  LogFileTail log(LogOf(E2E_NOENTRY_LAB));
  ASSERT_TRUE(program_.Start(E2E_NOENTRY_PROGRAM, {}, NoBusEnvironment()));
  EXPECT_EQ(program_.WaitForExit(kWaitMs), 11);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"================", "ZORVELL ACTIVATOR START",
                                                   "COM INIT=0", "BOOTSTRAP FUNCTION ERROR"}));
}

}  // namespace
}  // namespace activator
