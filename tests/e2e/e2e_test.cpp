// The program run as a whole, as a separate process, with no notification
// service reachable: the start-up sequence, the job pipe served regardless,
// and the exits of a start that cannot go on.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "base/build_constants.h"
#include "e2e/program_process.h"
#include "platform/pipes.h"
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

TEST_F(EndToEndTest, ArgumentsChangeNothing) {
  LogTail tail;
  ASSERT_TRUE(
      program_.Start(E2E_PROGRAM, {"--help", "-Embedding", "C:\\x y", ""}, NoBusEnvironment()));
  ASSERT_TRUE(tail.WaitForLine("PYTHON PIPE READY", kWaitMs));
  std::vector<std::string> lines = tail.Lines();
  ASSERT_GE(lines.size(), kStartWithoutService.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + kStartWithoutService.size()),
            kStartWithoutService);
  EXPECT_TRUE(program_.Running());
  program_.Kill();

  // The exits too: the same lines and code with arguments as without.
  std::vector<std::vector<std::string>> runs;
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{}, std::vector<std::string>{"--lab", "/tmp", "-v"}}) {
    LogFileTail log(LogOf(E2E_NODLL_LAB));
    ProgramProcess run;
    ASSERT_TRUE(run.Start(E2E_NODLL_PROGRAM, arguments, NoBusEnvironment()));
    EXPECT_EQ(run.WaitForExit(kWaitMs), 10);
    runs.push_back(log.Lines());
  }
  EXPECT_EQ(runs[0], runs[1]);
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
