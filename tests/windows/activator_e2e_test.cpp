// activator.exe as a process of its own under wine, against the stand-in
// runtime: the whole flow of a job from its message on the job pipe to the
// event message on the worker's pipe, the local opening when the worker is
// gone, the display limit, the exits of a start that cannot go on, and the
// class object reached from another process.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "activation/reply_listener.h"
#include "base/build_constants.h"
#include "platform/com.h"
#include "platform/pipes.h"
#include "support/log_capture.h"
#include "support/test_lab.h"
#include "windows/standin_support.h"

namespace activator {
namespace {

using testing::InOrder;
using testing::LogTail;
using testing::StandinCommandOverPipe;

constexpr int kWaitMs = 60000;  // generous: wine starts programs slowly

// A Unix path of the build tree as wine's Windows side names it (the build
// tree's paths are ASCII).
std::string WinePathOf(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}
std::wstring WinePath(const std::string& path) {
  const std::string windows = WinePathOf(path);
  return std::wstring(windows.begin(), windows.end());
}

// The lines of a file, named by its Unix path or its Windows path.
std::vector<std::string> FileLines(const std::string& path) {
  std::ifstream in(path.rfind("/", 0) == 0 ? WinePathOf(path) : path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return testing::SplitLogLines(bytes.str());
}

// One child process, ended when the test leaves.
class Child {
 public:
  ~Child() { End(); }
  bool Start(const std::string& program) {
    std::wstring command = L"\"" + WinePath(program) + L"\"";
    std::wstring folder = WinePath(program);
    folder.resize(folder.find_last_of(L'\\'));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          folder.c_str(), &startup, &info)) {
      return false;
    }
    ::CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    return true;
  }
  std::optional<DWORD> WaitForExit(int timeout_ms) {
    if (::WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) {
      return std::nullopt;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process_.get(), &code);
    return code;
  }
  bool Running() { return process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
  void End() {
    if (Running()) {
      ::TerminateProcess(process_.get(), 1);
      ::WaitForSingleObject(process_.get(), 10000);
    }
  }

 private:
  UniqueHandle process_;
};

// Polls `condition` until it holds or the bound passes.
template <class Condition>
bool Eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool SendJobMessage(const std::string& message) {
  return Eventually(
      [&] { return WriteMessageToPipe(kJobPipeName, message).status == PipeSendStatus::kSent; });
}

class ActivatorUnderWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::RegisterStandinRuntime());
    control_ = "\\\\.\\pipe\\" + testing::UniqueName("standin");
    ::SetEnvironmentVariableA("STANDIN_CONTROL_PIPE", control_.c_str());
  }
  void TearDown() override { program_.End(); }

  // Starts the program and waits until it serves its job pipe.
  // Nothing is kept from an earlier test's run.
  void StartProgram(LogTail& tail) {
    ::DeleteFileA(kStateFilePath);
    ASSERT_TRUE(program_.Start(E2E_PROGRAM));
    ASSERT_TRUE(tail.WaitForLine("PYTHON PIPE SERVER START", kWaitMs))
        << ::testing::PrintToString(tail.Lines());
  }
  std::string Centre(const std::string& command) {
    return StandinCommandOverPipe(control_, command);
  }
  std::string NotificationOf(const std::string& tag) {
    std::istringstream lines(Centre("list"));
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind(tag + "|", 0) == 0) return line;
    }
    return std::string();
  }

  std::string control_;
  Child program_;
};

// The program is built for this test program's own lab, so their constants agree.
const std::string kImage = kNotificationImageUri;

std::string Shown(const std::string& id, const std::string& title, const std::string& caption,
                  const std::string& action, const std::string& state) {
  return id + "|zorvell_processos|" + kImage + "|Zorvell Lab|" + title + "|[" + caption +
         "]acao=" + action + "&id_execucao=" + id + "&estado=" + state;
}

// The class object, reached from this process through COM's local server
// table. The client joins a single-threaded apartment, as a desktop shell's
// thread does: wine 8 refuses a client in the multithreaded apartment of
// another process (RPC_S_SERVER_UNAVAILABLE). Wine also keeps the class
// registration of a program ended from outside, and goes on answering with
// it, so this runs on the first program a wine session starts.
void ExpectClassObjectFromAnotherProcess() {
  const std::optional<CLSID> clsid = ParseGuid(kActivatorClassId);
  ASSERT_TRUE(clsid);
  std::thread([&] {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(*clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    IUnknown* instance = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&instance)),
              S_OK);
    if (instance != nullptr) instance->Release();
    factory->Release();
    CoUninitialize();
  }).join();
}

TEST_F(ActivatorUnderWineTest, AJobFromItsMessageToTheClickAndBack) {
  LogTail tail;
  StartProgram(tail);
  EXPECT_TRUE(InOrder(tail.Lines(), {"COM INIT=0", "BOOTSTRAP RESULT=0", "COM REGISTER=0",
                                     "COM ACTIVATOR READY", "WPN CALLBACK REGISTERED",
                                     "ESTADO NOVO", "WPN REGISTER OK", "GETALL TOTAL=0"}));
  ExpectClassObjectFromAnotherProcess();

  testing::ReplyListener worker;
  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=W1&pipe=" + worker.pipe_name() +
                             "&estado=executando"));
  const std::string in_progress =
      Shown("W1", "Processo em andamento", "abortar", "abortar", "executando");
  ASSERT_TRUE(Eventually([&] { return NotificationOf("W1") == in_progress; })) << Centre("list");

  ASSERT_TRUE(SendJobMessage("acao=atualizar&id_execucao=W1&estado=concluido"));
  const std::string concluded =
      Shown("W1", "Processo Concluido", "Exibir Resultado", "salvar", "concluido");
  ASSERT_TRUE(Eventually([&] { return NotificationOf("W1") == concluded; })) << Centre("list");
  EXPECT_EQ(Centre("count"), "1");  // replaced, not added

  // The click: the event message reaches the worker's own pipe.
  ASSERT_EQ(Centre("click W1"), "clicked 1");
  EXPECT_EQ(worker.ReceiveOne(), "acao=salvar&id_execucao=W1&estado=concluido");
  ASSERT_TRUE(tail.WaitForLine("EVENT SENT", kWaitMs));

  // The worker is gone: the result is opened with the text editor.
  worker.Close();
  const std::string result = testing::LabPath("Native/Host/Resultados/W1-result.txt");
  testing::WriteFile(result, "result of W1\n");
  const std::string& result_windows = result;  // the lab's paths are Windows paths
  testing::WriteFile(testing::LabPath("Native/Host/Resultados/Resultado_W1.path"),
                     result_windows + "\r\n");
  // The shell finds the system's notepad.exe; in this prefix that is the
  // stand-in, which wine runs instead of its own (WINEDLLOVERRIDES).
  wchar_t system[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring editor = std::wstring(system, length) + L"\\notepad.exe";
  ASSERT_TRUE(::CopyFileW(WinePath(E2E_PROGRAM_DIR "/notepad.exe").c_str(), editor.c_str(), FALSE));
  const std::string record = std::string(system, system + length) + "\\notepad_opened.txt";
  ::DeleteFileA(record.c_str());
  ASSERT_EQ(Centre("click W1"), "clicked 1");
  ASSERT_TRUE(Eventually([&] { return !FileLines(record).empty(); }))
      << ::testing::PrintToString(tail.Lines());
  EXPECT_NE(FileLines(record).back().find(result_windows), std::string::npos)
      << FileLines(record).back();
  EXPECT_TRUE(program_.Running());
}

TEST_F(ActivatorUnderWineTest, TwentyFiveJobsShowTwentyAtATime) {
  LogTail tail;
  StartProgram(tail);
  for (int i = 0; i < 25; ++i) {
    ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=L" + std::to_string(i) +
                               "&pipe=\\\\.\\pipe\\nobody&estado=executando"));
  }
  std::size_t most = 0;
  auto count = [&] {
    const std::size_t now = std::stoul("0" + Centre("count"));
    most = std::max(most, now);
    return now;
  };
  ASSERT_TRUE(Eventually([&] { return count() == 20; }));
  // Once the monitor has counted them on screen, the consumer is woken and
  // must still hold the other five back.
  ASSERT_TRUE(Eventually([&] {
    const auto lines = tail.Lines();
    return std::any_of(lines.begin(), lines.end(),
                       [](const std::string& l) { return l == "TOTAL=20"; });
  }));
  EXPECT_EQ(count(), 20u);
  // Dismissed notifications make room for the rest.
  for (int i = 0; i < 5; ++i) ASSERT_EQ(Centre("dismiss L" + std::to_string(i)), "ok");
  ASSERT_TRUE(Eventually([&] { return count() == 20 && !NotificationOf("L24").empty(); }))
      << Centre("list");
  EXPECT_LE(most, 20u);
}

// A start that cannot go on: the exit code and the log's last line.
TEST_F(ActivatorUnderWineTest, StartsThatCannotGoOnEndWithTheirCode) {
  struct Case {
    const char* program;
    const char* lab;
    DWORD exit_code;
    std::string last_line;
  };
  const Case cases[] = {
      {E2E_NODLL_PROGRAM, E2E_NODLL_LAB, 10, "BOOTSTRAP DLL ERROR=126"},
      {E2E_NOENTRY_PROGRAM, E2E_NOENTRY_LAB, 11, "BOOTSTRAP FUNCTION ERROR"},
      // No Windows App SDK runtime on the machine: its classes are not
      // registered (REGDB_E_CLASSNOTREG).
      {E2E_PROGRAM, E2E_LAB, 30, "WPN DEFAULT FAILED=-2147221164"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    if (c.exit_code == 30) testing::UnregisterStandinRuntime();
    const std::string log = std::string(c.lab) + "/Logs/activator_debug.txt";
    const std::size_t before = FileLines(log).size();
    Child run;
    ASSERT_TRUE(run.Start(c.program));
    EXPECT_EQ(run.WaitForExit(kWaitMs), c.exit_code);
    const std::vector<std::string> lines = FileLines(log);
    ASSERT_GT(lines.size(), before);
    EXPECT_EQ(lines.back(), c.last_line);
  }
}

}  // namespace
}  // namespace activator
