// The program run as a whole, as a separate process, with no notification
// service reachable: the start-up sequence, the job pipe served regardless,
// and the exits of a start that cannot go on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "base/build_constants.h"
#include "e2e/program_process.h"
#include "intake/job_pipe_server.h"
#include "platform/pipes.h"
#include "platform/posix/unique_fd.h"
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

// A second activator started from a terminal says once there that another one
// holds the job pipe, then goes on as without a terminal: it retries every
// second and logs each failure.
TEST_F(EndToEndTest, SecondInstanceOnATerminalSaysOnceThatThePipeIsHeld) {
  LogTail tail;
  ASSERT_TRUE(program_.Start(E2E_PROGRAM, {}, NoBusEnvironment()));
  // The first one serves the pipe once a client can connect (a socket file
  // alone may be left from an earlier test); one that writes nothing leaves
  // no trace.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (WriteMessageToPipe(kJobPipeName, "").status != PipeSendStatus::kSent) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "job pipe never served";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  UniqueFd terminal(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK));
  ASSERT_TRUE(terminal.valid());
  ASSERT_EQ(::grantpt(terminal.get()), 0);
  ASSERT_EQ(::unlockpt(terminal.get()), 0);
  ProgramProcess second;
  second.SetOutput("", ::ptsname(terminal.get()));
  ASSERT_TRUE(second.Start(E2E_PROGRAM, {}, NoBusEnvironment()));
  const std::string failed = "PYTHON PIPE CREATE FAILED=98";
  auto failures = [&] {
    const std::vector<std::string> lines = tail.Lines();
    return std::count(lines.begin(), lines.end(), failed);
  };
  while (failures() < 2) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no second failure";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(second.Running());
  std::string said;
  char buffer[512];
  for (ssize_t n; (n = ::read(terminal.get(), buffer, sizeof(buffer))) > 0;) said.append(buffer, n);
  std::erase(said, '\r');  // the terminal ends its lines with CR LF
  EXPECT_EQ(said, kJobPipeTakenNotice);
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
