// activator.exe as a process of its own under wine, against the stand-in
// runtime: the whole flow of a job from its message on the job pipe to the
// event message on the worker's pipe, the local opening when the worker is
// gone, the click that starts the program, the display limit, the exits of a
// start that cannot go on and of the uninstall step, the class object reached
// from another process, and what the built files are to Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string_view>
#include <thread>
#include <utility>

#include "activation/reply_listener.h"
#include "base/build_constants.h"
#include "platform/com.h"
#include "platform/pipes.h"
#include "platform/silent_client.h"
#include "support/log_capture.h"
#include "support/test_lab.h"
#include "windows/standin_support.h"
// clang-format off
#include "platform/os/windows_support.h"
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <shellapi.h>
// clang-format on

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
// The same, left as it is when it already is a Windows path.
std::wstring WinePath(const std::string& path) {
  const std::string windows = path.rfind("/", 0) == 0 ? WinePathOf(path) : path;
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
  bool Start(const std::string& program, const std::wstring& arguments = L"") {
    std::wstring command = L"\"" + WinePath(program) + L"\"";
    if (!arguments.empty()) command += L" " + arguments;
    std::wstring folder = WinePath(program);
    folder.resize(folder.find_last_of(L'\\'));
    return Run(command, folder.c_str());
  }
  // A command line, the program found as the system finds it.
  bool StartCommand(const std::string& command) {
    return Run(std::wstring(command.begin(), command.end()), nullptr);
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
  // Wine now and then fails to start a program that starts at once when
  // asked again (a new process that dies while wine sets it up, seen on a
  // loaded machine), so a start is tried a few times before it counts as
  // failed.
  bool Run(std::wstring command, const wchar_t* folder) {
    DWORD error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
      STARTUPINFOW startup{};
      startup.cb = sizeof startup;
      PROCESS_INFORMATION info{};
      if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder,
                           &startup, &info)) {
        ::CloseHandle(info.hThread);
        process_.reset(info.hProcess);
        return true;
      }
      error = ::GetLastError();
      std::fprintf(stderr, "CreateProcess failed (error %lu)\n", error);
    }
    ADD_FAILURE() << "the program could not be started: error " << error;
    return false;
  }

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

// The shell finds the system's notepad.exe; in this prefix that is the
// stand-in, which wine runs instead of its own (WINEDLLOVERRIDES). Returns the
// file it records its command lines in, emptied; empty when it could not be
// put in place.
std::string InstallNotepadStandin() {
  wchar_t system[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring editor = std::wstring(system, length) + L"\\notepad.exe";
  if (!::CopyFileW(WinePath(E2E_PROGRAM_DIR "/notepad.exe").c_str(), editor.c_str(), FALSE))
    return std::string();
  const std::string record = std::string(system, system + length) + "\\notepad_opened.txt";
  ::DeleteFileA(record.c_str());
  return record;
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
  void StartProgram(LogTail& tail, const std::wstring& arguments = L"") {
    ::DeleteFileA(kStateFilePath);
    ASSERT_TRUE(program_.Start(E2E_PROGRAM, arguments));
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
                  const std::string& action, const std::string& state,
                  const std::string& image = kImage) {
  return id + "|zorvell_processos|" + image + "|Zorvell Lab|" + title + "|[" + caption +
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

// Puts the stand-in notepad.exe in place and a result of `id` with its index
// in the lab, in `folder` of the results folder when one is named. Returns the
// file the stand-in records each opening in, and the result's path.
std::pair<std::string, std::string> PrepareResultOpening(const std::string& id,
                                                         const std::string& folder = "") {
  const std::string where =
      testing::LabPath("Native/Host/Resultados" + (folder.empty() ? "" : "/" + folder));
  const std::string result = where + "\\" + id + "-result.txt";
  // By their UTF-16 names: this program's narrow calls use the code page.
  ::CreateDirectoryW(WidenUtf8(where).c_str(), nullptr);
  {
    UniqueHandle file(::CreateFileW(WidenUtf8(result).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::string bytes = "result of " + id + "\n";
    DWORD written = 0;
    EXPECT_TRUE(file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                    &written, nullptr));
  }
  // The lab's paths are Windows paths.
  testing::WriteFile(testing::LabPath("Native/Host/Resultados/Resultado_" + id + ".path"),
                     result + "\r\n");
  const std::string record = InstallNotepadStandin();
  EXPECT_FALSE(record.empty());
  return {record, result};
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

  // The worker is gone: the result is opened with the text editor, from a
  // folder whose name is not ASCII.
  worker.Close();
  const auto [record, result] = PrepareResultOpening("W1", "Relat\u00f3rios \u00e7\u00e3o \u4e2d");
  ASSERT_EQ(Centre("click W1"), "clicked 1");
  ASSERT_TRUE(Eventually([&] { return !FileLines(record).empty(); }))
      << ::testing::PrintToString(tail.Lines());
  EXPECT_NE(FileLines(record).back().find(result), std::string::npos) << FileLines(record).back();
  EXPECT_TRUE(program_.Running());
}

// A job's description is a line under the title of each of its forms, and
// its progress changes the in-progress notification in place: a burst of
// values ends with the last one shown, through a few updates and the one
// banner of the first show.
TEST_F(ActivatorUnderWineTest, ADescriptionOnEveryFormAndProgressInPlace) {
  LogTail tail;
  StartProgram(tail);
  const auto with = [](std::string shown, const std::string& details) {
    return shown.insert(shown.find("|["), details);
  };
  const std::string description = "|Relat\xC3\xB3rio mensal";
  ASSERT_TRUE(
      SendJobMessage("acao=continuar&id_execucao=W6&descricao=Relat%C3%B3rio%20mensal&progresso=0&"
                     "pipe=\\\\.\\pipe\\nobody&estado=executando"));
  const std::string in_progress =
      Shown("W6", "Processo em andamento", "abortar", "abortar", "executando");
  ASSERT_TRUE(Eventually([&] {
    return NotificationOf("W6") == with(in_progress, description + "|progress=Progresso:0");
  })) << Centre("list");

  const auto burst_start = std::chrono::steady_clock::now();
  for (int value = 1; value <= 50; ++value) {
    ASSERT_TRUE(SendJobMessage("acao=atualizar&id_execucao=W6&progresso=" + std::to_string(value) +
                               "&estado=executando"));
  }
  const auto burst = std::chrono::steady_clock::now() - burst_start;
  ASSERT_TRUE(Eventually([&] {
    return NotificationOf("W6") == with(in_progress, description + "|progress=Progresso:50");
  })) << Centre("list");
  std::istringstream events(Centre("events"));
  int banners = 0, updates = 0;
  for (std::string event; std::getline(events, event);) {
    banners += event == "banner W6|zorvell_processos";
    updates += event.starts_with("update W6|");
  }
  EXPECT_EQ(banners, 1);
  // At most four a second, and one more at each end.
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(burst).count() + 1;
  EXPECT_GE(updates, 1);
  EXPECT_LE(updates, 4 * seconds + 2) << Centre("events");

  ASSERT_TRUE(SendJobMessage("acao=atualizar&id_execucao=W6&estado=concluido"));
  EXPECT_TRUE(Eventually([&] {
    return NotificationOf("W6") ==
           with(Shown("W6", "Processo Concluido", "Exibir Resultado", "salvar", "concluido"),
                description);
  })) << Centre("list");

  // Without a progress value there is no bar.
  ASSERT_TRUE(SendJobMessage(
      "acao=continuar&id_execucao=W7&descricao=Relat%C3%B3rio%20mensal&estado=executando"));
  EXPECT_TRUE(Eventually([&] {
    return NotificationOf("W7") ==
           with(Shown("W7", "Processo em andamento", "abortar", "abortar", "executando"),
                description);
  })) << Centre("list");
  ASSERT_TRUE(SendJobMessage("acao=atualizar&id_execucao=W7&estado=erro"));
  EXPECT_TRUE(Eventually([&] {
    return NotificationOf("W7") ==
           with(Shown("W7", "Processo com erro", "Exibir Resultado", "salvar", "erro"),
                description);
  })) << Centre("list");
}

// A click on a notification while no activator runs starts one with the
// platform's argument; the runtime hands that click to the app-lifecycle API,
// not to NotificationInvoked. It still reaches the worker, or opens the result,
// also when it comes after the runtime's first wait for it gave up.
TEST_F(ActivatorUnderWineTest, TheClickThatStartsTheProgramIsHandled) {
  const std::wstring started_by_click = L"----AppNotificationActivated:";
  {
    LogTail tail;
    StartProgram(tail, started_by_click);
    // The worker announces itself again before the click is handed over.
    testing::ReplyListener worker;
    ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=W2&pipe=" + worker.pipe_name() +
                               "&estado=executando"));
    ASSERT_TRUE(Eventually([&] { return !NotificationOf("W2").empty(); })) << Centre("list");
    ASSERT_TRUE(Eventually([&] { return Centre("launch-timeouts") != "0"; }));
    ASSERT_EQ(Centre("launch-click acao=abortar&id_execucao=W2&estado=executando"), "ok");
    ASSERT_TRUE(tail.WaitForLine("EVENT SENT", kWaitMs)) << ::testing::PrintToString(tail.Lines());
    EXPECT_EQ(worker.ReceiveOne(), "acao=abortar&id_execucao=W2&estado=executando");
    EXPECT_TRUE(InOrder(tail.Lines(), {"WPN REGISTER OK", "=== WPN INVOKED ===",
                                       "WPN PIPE DESTINO=" + worker.pipe_name()}));
    program_.End();
  }
  // After a restart of the machine no worker runs: the result is opened.
  LogTail tail;
  StartProgram(tail, started_by_click);
  const auto [record, result] = PrepareResultOpening("W3");
  ASSERT_EQ(Centre("launch-click acao=salvar&id_execucao=W3&estado=concluido"), "ok");
  ASSERT_TRUE(Eventually([&] { return !FileLines(record).empty(); }))
      << ::testing::PrintToString(tail.Lines());
  EXPECT_NE(FileLines(record).back().find(result), std::string::npos) << FileLines(record).back();
  EXPECT_TRUE(program_.Running());
}

// Started by a click while the runtime refuses Register: the runtime has no
// click to give then, and asked for one it ends the process (a fail-fast,
// beyond any catch). The program serves its job pipe on without the click.
TEST_F(ActivatorUnderWineTest, AClickStartWithoutRegisterRunsOn) {
  LogTail tail;
  ::SetEnvironmentVariableA("STANDIN_FAIL", "Register=80070005");
  StartProgram(tail, L"----AppNotificationActivated:");
  ::SetEnvironmentVariableA("STANDIN_FAIL", nullptr);
  ASSERT_TRUE(tail.WaitForLine("PYTHON PIPE READY", kWaitMs));
  EXPECT_TRUE(InOrder(tail.Lines(), {"WPN REGISTER FAILED", "PYTHON PIPE READY"}));
  EXPECT_EQ(program_.WaitForExit(3000), std::nullopt);
  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=W5&estado=executando"));
  EXPECT_TRUE(Eventually([&] { return !NotificationOf("W5").empty(); })) << Centre("list");
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

// One activator per session, handed over: a second one started while the
// first runs starts once the first is ended from outside (which leaves the
// lock abandoned) and goes on from the state the first left. That it waited
// in silence is e2e_test's to show: here it has no terminal to say so on.
TEST_F(ActivatorUnderWineTest, ASecondActivatorWaitsForTheFirstToEnd) {
  LogTail tail;
  StartProgram(tail);
  Child second;
  ASSERT_TRUE(second.Start(E2E_PROGRAM));
  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=W4&estado=executando"));
  ASSERT_TRUE(tail.WaitForLine("VELDUNA RECEBEU=W4", kWaitMs));
  program_.End();
  const std::string served = "PYTHON PIPE SERVER START";
  ASSERT_TRUE(Eventually([&] {
    const auto lines = tail.Lines();
    return std::count(lines.begin(), lines.end(), served) == 2;
  })) << ::testing::PrintToString(tail.Lines());
  const std::vector<std::string> lines = tail.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "ZORVELL ACTIVATOR START"), 2);
  // An abandoned lock is the next one's as any other: no failure to take it.
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.starts_with("INSTANCIA"); }),
            0);
  const auto restored = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("ESTADO RESTAURADO PROCESSOS=1 ");
  });
  ASSERT_NE(restored, lines.end()) << ::testing::PrintToString(lines);
  EXPECT_TRUE(InOrder(lines, {"ZORVELL ACTIVATOR START", "VELDUNA RECEBEU=W4",
                              "ZORVELL ACTIVATOR START", *restored, served}));
  EXPECT_TRUE(second.Running());
}

// This user's SID as text, read here from the token the port's own way aside.
std::string ThisUsersSid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return "?";
  UniqueHandle owned(token);
  alignas(TOKEN_USER) char user[512];
  DWORD size = 0;
  char* text = nullptr;
  if (!::GetTokenInformation(token, TokenUser, user, sizeof user, &size) ||
      !::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &text))
    return "?";
  const std::string sid = text;
  ::LocalFree(text);
  return sid;
}

// The lab is every user's: the state file is the user's by name, so two
// users' activators never read or rewrite each other's jobs.
TEST_F(ActivatorUnderWineTest, TheStateFileIsNamedAfterTheUser) {
  const std::string mine =
      std::string(E2E_LAB) + "/State/activator_state-" + ThisUsersSid() + ".dat";
  ::DeleteFileA(mine.c_str());
  LogTail tail;
  StartProgram(tail);
  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=U1&estado=executando"));
  ASSERT_TRUE(tail.WaitForLine("VELDUNA RECEBEU=U1", kWaitMs));
  EXPECT_NE(::GetFileAttributesA(mine.c_str()), INVALID_FILE_ATTRIBUTES) << mine;
}

// The debug log is the first user's, and the installer's Logs lets no other
// user open it: a second user's lines go to a file of their own beside it,
// named after their SID. Wine checks no file's access list, so a folder in the
// log's place is the file this user cannot open.
TEST_F(ActivatorUnderWineTest, ASecondUsersLinesGoToALogOfTheirOwn) {
  const std::string shared = kDebugLogPath;
  const std::string aside = shared + ".aside";
  const std::string mine = shared.substr(0, shared.rfind('.')) + "-" + ThisUsersSid() + ".txt";
  ::DeleteFileA(mine.c_str());
  ::DeleteFileA(aside.c_str());
  ::MoveFileA(shared.c_str(), aside.c_str());
  ASSERT_TRUE(::CreateDirectoryA(shared.c_str(), nullptr)) << ::GetLastError();
  ::DeleteFileA(kStateFilePath);
  const bool started = program_.Start(E2E_PROGRAM);
  const bool served =
      started && Eventually([&] {
        const auto lines = FileLines(mine);
        return std::find(lines.begin(), lines.end(), "PYTHON PIPE SERVER START") != lines.end();
      });
  program_.End();
  ::RemoveDirectoryA(shared.c_str());
  ::MoveFileA(aside.c_str(), shared.c_str());
  EXPECT_TRUE(served) << ::testing::PrintToString(FileLines(mine));
  ::DeleteFileA(mine.c_str());
}

// The lock's name is the machine's, so any user may make a mutex of it first:
// one another user owns is no activator of this user's, and waiting on it
// would keep this user's activator from ever starting. The activator goes on
// without the lock and says why. (Wine keeps an owner given at creation.)
TEST_F(ActivatorUnderWineTest, ALockMutexOfAnotherUserIsNeverWaitedOn) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"O:S-1-5-21-1004336348-1177238915-682003330-1001D:(A;;GA;;;WD)", SDDL_REVISION_1,
      &descriptor, nullptr));
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  UniqueHandle squatter(::CreateMutexA(&security, TRUE, kInstanceLockName));
  ::LocalFree(descriptor);
  ASSERT_TRUE(squatter) << ::GetLastError();
  LogTail tail;
  StartProgram(tail);
  EXPECT_TRUE(tail.WaitForLine("INSTANCIA UNICA FALHOU=5", kWaitMs))
      << ::testing::PrintToString(tail.Lines());
}

// The owner of the file or folder at `path`, as a SID string.
std::string OwnerOf(const std::string& path) {
  UniqueHandle file(::CreateFileW(WidenUtf8(path).c_str(), READ_CONTROL, 7, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  char* text = nullptr;
  if (!file ||
      ::GetSecurityInfo(file.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS ||
      !::ConvertSidToStringSidA(owner, &text))
    return "?";
  const std::string sid = text;
  ::LocalFree(text);
  ::LocalFree(descriptor);
  return sid;
}

// Gives the file or folder at the Windows path `path` (Z:...) to another
// Unix user: wine names the owner of such a file Anonymous (S-1-5-7), another
// user's SID to the program, and keeps no owner a Windows program gives a
// file. Wine runs the Unix chown; false when it may not (not run as root).
bool GiveToAnotherUser(const std::string& path) {
  std::string unix_path = path.substr(2);
  std::replace(unix_path.begin(), unix_path.end(), '\\', '/');
  Child chown;
  // Unquoted: wine hands a Unix program its command line's quotes as they are
  // (the build tree's paths hold no space).
  // Wine neither waits for a Unix program nor gives its exit code: the owner
  // tells, within a few seconds.
  if (!chown.StartCommand("Z:\\usr\\bin\\chown 65534 " + unix_path)) return false;
  for (int i = 0; i < 500; ++i) {
    const std::string owner = OwnerOf(path);
    if (owner != "?" && owner != ThisUsersSid()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Every user may create files in the lab's shared folders, under the names
// the programs use there: one that another user made first, even one that
// lets this user in, is never written or read. The state file's temporary
// file and the state file are this user's own again, the log goes to the
// user's own file, a result index is not followed, and activator-run's
// results go to a folder of the user's own.
TEST_F(ActivatorUnderWineTest, AFileOrFolderOfAnotherUserIsNeverUsed) {
  const std::string state = kStateFilePath;
  const std::string shared_log = kDebugLogPath;
  const std::string own_log = kUserDebugLogPath;
  const std::string results = testing::LabPath("Native/Host/Resultados/activator-run");
  const std::string index = testing::LabPath("Native/Host/Resultados/Resultado_O1.path");
  for (const std::string& file : {state, state + ".tmp", shared_log, own_log})
    ::DeleteFileA(file.c_str());
  // Emptied and another user's from here; removed at the end, for the tests
  // after this one.
  auto empty_results = [&] {
    WIN32_FIND_DATAA found;
    if (HANDLE search = ::FindFirstFileA((results + "\\*").c_str(), &found);
        search != INVALID_HANDLE_VALUE) {
      do ::DeleteFileA((results + "\\" + found.cFileName).c_str());
      while (::FindNextFileA(search, &found));
      ::FindClose(search);
    }
  };
  ::CreateDirectoryA(results.c_str(), nullptr);
  empty_results();
  testing::WriteFile(state + ".tmp", "another user's\n");
  testing::WriteFile(state, "another user's\n");
  testing::WriteFile(shared_log, "");
  if (!GiveToAnotherUser(state + ".tmp")) GTEST_SKIP() << "chown needs root";
  ASSERT_TRUE(GiveToAnotherUser(state) && GiveToAnotherUser(shared_log));
  ASSERT_TRUE(GiveToAnotherUser(results));

  ASSERT_TRUE(program_.Start(E2E_PROGRAM));
  auto logged = [&](const std::string& line) {
    return Eventually([&] {
      const auto lines = FileLines(own_log);
      return std::find(lines.begin(), lines.end(), line) != lines.end();
    });
  };
  EXPECT_TRUE(logged("PYTHON PIPE SERVER START")) << ::testing::PrintToString(FileLines(own_log));
  EXPECT_TRUE(logged("ESTADO DE OUTRO USUARIO=" + state));
  EXPECT_EQ(testing::ReadFile(shared_log), "");
  EXPECT_EQ(testing::ReadFile(state + ".tmp"), "another user's\n");
  EXPECT_EQ(OwnerOf(state), ThisUsersSid());

  const auto [record, result] = PrepareResultOpening("O1");
  ASSERT_TRUE(GiveToAnotherUser(index));
  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=O1&estado=executando"));
  ASSERT_TRUE(SendJobMessage("acao=atualizar&id_execucao=O1&estado=concluido"));
  ASSERT_TRUE(Eventually([&] { return NotificationOf("O1").ends_with("estado=concluido"); }))
      << Centre("list");
  ASSERT_EQ(Centre("click O1"), "clicked 1");
  EXPECT_TRUE(logged("INDICE DE RESULTADO DE OUTRO USUARIO=" + index));
  EXPECT_TRUE(FileLines(record).empty());

  Child run;
  ASSERT_TRUE(run.Start(E2E_RUNNER, L"--id F1 -- cmd /c echo hello"));
  EXPECT_EQ(run.WaitForExit(kWaitMs), 0u);
  const std::string own_results = results + "-" + ThisUsersSid();
  EXPECT_TRUE(testing::ReadFile(own_results + "\\Resultado_F1.txt").ends_with("\n\nhello\n"));
  EXPECT_EQ(::GetFileAttributesA((results + "\\Resultado_F1.txt").c_str()),
            INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(OwnerOf(own_results), ThisUsersSid());
  program_.End();
  for (const std::string& file : {state + ".tmp", shared_log, index}) ::DeleteFileA(file.c_str());
  empty_results();
  ::RemoveDirectoryA(results.c_str());
}

// A start that cannot go on, and the uninstall step: the exit code and the
// log's last line.
TEST_F(ActivatorUnderWineTest, StartsThatCannotGoOnEndWithTheirCode) {
  struct Case {
    const char* program;
    const char* lab;
    DWORD exit_code;
    std::string last_line;
    const wchar_t* arguments = L"";
    bool elevated = false;
    int bound_ms = kWaitMs;
  };
  // The user's AppUserModelId keys named after a program's path.
  const auto AppIdKeysEndingWith = [](std::string_view tail) {
    HKEY root = nullptr;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Classes\\AppUserModelId", 0, KEY_READ,
                        &root) != ERROR_SUCCESS)
      return 0;
    int count = 0;
    char name[1024];
    for (DWORD i = 0;; ++i) {
      DWORD length = sizeof(name);
      if (::RegEnumKeyExA(root, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        break;
      if (std::string_view(name, length).ends_with(tail)) ++count;
    }
    ::RegCloseKey(root);
    return count;
  };
  const Case cases[] = {
      {E2E_NODLL_PROGRAM, E2E_NODLL_LAB, 10, "BOOTSTRAP DLL ERROR=126"},
      {E2E_NOENTRY_PROGRAM, E2E_NOENTRY_LAB, 11, "BOOTSTRAP FUNCTION ERROR"},
#ifdef E2E_SDKBOOT_PROGRAM
      // The SDK's bootstrap without the runtime, as wine 8 runs it: finding
      // no package manager it reports the error through
      // combase.RoOriginateErrorW, which wine lacks, so its call never
      // returns (EXCEPTION_WINE_STUB, 0x80000100). It must end the start at
      // once, with its own code, whatever wine's crash handling would do.
      {E2E_SDKBOOT_PROGRAM, E2E_SDKBOOT_LAB, 13, "BOOTSTRAP FAULT=2147483904", L"", false, 20000},
#endif
      // Run as administrator the runtime serves nothing, and says so only
      // when asked.
      {E2E_PROGRAM, E2E_LAB, 33, "WPN NOT SUPPORTED", L"", true},
      {E2E_PROGRAM, E2E_LAB, 0, "WPN UNREGISTERALL OK", L"--unregister"},
      {E2E_PROGRAM, E2E_LAB, 33, "WPN NOT SUPPORTED", L"--unregister", true},
      // No Windows App SDK runtime on the machine: its classes are not
      // registered (REGDB_E_CLASSNOTREG).
      {E2E_PROGRAM, E2E_LAB, 30, "WPN DEFAULT FAILED=-2147221164"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " -> " + c.last_line);
    if (c.exit_code == 30) testing::UnregisterStandinRuntime();
    const std::string log = std::string(c.lab) + "/Logs/activator_debug.txt";
    const std::size_t before = FileLines(log).size();
    // The stand-in bootstrap's shutdown leaves this file.
    const std::string shutdown_mark = std::string(c.lab) + "/bootstrap-shutdown";
    ::DeleteFileA(shutdown_mark.c_str());
    Child run;
    ::SetEnvironmentVariableA("STANDIN_ELEVATED", c.elevated ? "1" : nullptr);
    ::SetEnvironmentVariableA("STANDIN_BOOTSTRAP_SHUTDOWN_MARK", shutdown_mark.c_str());
    ASSERT_TRUE(run.Start(c.program, c.arguments));
    ::SetEnvironmentVariableA("STANDIN_ELEVATED", nullptr);
    ::SetEnvironmentVariableA("STANDIN_BOOTSTRAP_SHUTDOWN_MARK", nullptr);
    EXPECT_EQ(run.WaitForExit(c.bound_ms), c.exit_code);
    const std::vector<std::string> lines = FileLines(log);
    ASSERT_GT(lines.size(), before);
    EXPECT_EQ(lines.back(), c.last_line);
    if (c.exit_code == 0 && std::wstring_view(c.arguments) == L"--unregister") {
      // Nor is the key the runtime named after the program's path left.
      EXPECT_EQ(AppIdKeysEndingWith("win_e2e_activator.exe"), 0);
      // An uninstall's step ends of itself, so it lets the runtime go.
      EXPECT_NE(::GetFileAttributesA(shutdown_mark.c_str()), INVALID_FILE_ATTRIBUTES);
    }
  }
}

// The Windows installer: installed into the test prefix, the installed
// activator.exe (built for the real lab, C:\Zorvell_Lab, which in this prefix
// is the test's own) serves a job, and uninstalling leaves nothing of ours.
// It runs after every other test of this program (its suite comes last), as
// a run of its own (see CMakeLists.txt).
#ifdef E2E_MSI
// Removes the program's records of its jobs (one a user) from `lab`.
void DeleteStateFiles(const std::string& lab) {
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA((lab + "\\State\\activator_state*.dat").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    ::DeleteFileA((lab + "\\State\\" + found.cFileName).c_str());
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
}

class InstalledPackageTest : public ActivatorUnderWineTest {
 protected:
  // Runs msiexec with `arguments` after the package; its exit code.
  static std::optional<DWORD> Msiexec(const std::string& action, const std::string& arguments) {
    Child msiexec;
    const std::string command =
        "msiexec " + action + " \"" + WinePathOf(E2E_MSI) + "\" /qn " + arguments;
    if (!msiexec.StartCommand(command)) return std::nullopt;
    return msiexec.WaitForExit(kWaitMs);
  }
  // After a failure too, the prefix is left as it was found: what the test
  // and the program added, then the package, go.
  void TearDown() override {
    ActivatorUnderWineTest::TearDown();
    ::DeleteFileA(kLog);
    DeleteStateFiles(kLab);
    ::DeleteFileA(kBootstrap);
    if (installed_) Msiexec("/x", "");
  }
  // The lab of the real build.
  static constexpr const char* kLab = E2E_INSTALLED_LAB;
  static constexpr const char* kLog = E2E_INSTALLED_LAB "\\Logs\\activator_debug.txt";
  static constexpr const char* kBootstrap =
      E2E_INSTALLED_LAB "\\DLL\\Microsoft.WindowsAppRuntime.Bootstrap.dll";
  bool installed_ = false;
};

std::string ProgramFiles() {
  char folder[MAX_PATH];
  const DWORD length = ::GetEnvironmentVariableA("ProgramW6432", folder, MAX_PATH);
  return std::string(folder, length) + "\\Zorvell Activator";
}

bool Exists(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The first column of each row a query of the package gives.
std::vector<std::string> PackageColumn(const char* query) {
  std::vector<std::string> values;
  MSIHANDLE database = 0, view = 0, record = 0;
  if (::MsiOpenDatabaseA(WinePathOf(E2E_MSI).c_str(), MSIDBOPEN_READONLY, &database) !=
      ERROR_SUCCESS) {
    ADD_FAILURE() << "the package could not be opened";
    return values;
  }
  if (::MsiDatabaseOpenViewA(database, query, &view) == ERROR_SUCCESS &&
      ::MsiViewExecute(view, 0) == ERROR_SUCCESS) {
    while (::MsiViewFetch(view, &record) == ERROR_SUCCESS) {
      char value[1024];
      DWORD size = sizeof value;
      if (::MsiRecordGetStringA(record, 1, value, &size) == ERROR_SUCCESS) values.push_back(value);
      ::MsiCloseHandle(record);
    }
  }
  if (view) ::MsiCloseHandle(view);
  ::MsiCloseHandle(database);
  return values;
}

// What a descriptor gives every user (the Users, Authenticated Users,
// Interactive and Everyone groups): on the object itself, and on a file a
// user other than the creator finds created in it; what the creator gets
// on it; protected_dacl: it takes nothing from its parent.
struct UsersRights {
  ACCESS_MASK folder = 0;
  ACCESS_MASK created = 0;
  ACCESS_MASK creator = 0;
  bool protected_dacl = false;
};
UsersRights RightsOfUsers(const std::string& sddl) {
  UsersRights rights;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    ADD_FAILURE() << "not a descriptor: " << sddl;
    return rights;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(descriptor, &control, &revision);
  rights.protected_dacl = (control & SE_DACL_PROTECTED) != 0;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  const WELL_KNOWN_SID_TYPE everyone[] = {WinBuiltinUsersSid, WinAuthenticatedUserSid,
                                          WinInteractiveSid, WinWorldSid};
  for (DWORD i = 0; present && dacl && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    PSID sid = &ace->SidStart;
    if (::IsWellKnownSid(sid, WinCreatorOwnerSid) && (ace->Header.AceFlags & OBJECT_INHERIT_ACE)) {
      rights.creator |= ace->Mask;
    }
    if (std::none_of(std::begin(everyone), std::end(everyone),
                     [&](WELL_KNOWN_SID_TYPE type) { return ::IsWellKnownSid(sid, type); })) {
      continue;
    }
    const BYTE flags = ace->Header.AceFlags;
    if (!(flags & INHERIT_ONLY_ACE)) rights.folder |= ace->Mask;
    if (flags & OBJECT_INHERIT_ACE) rights.created |= ace->Mask;
  }
  ::LocalFree(descriptor);
  return rights;
}

// A value of HKLM's 64-bit view; nullopt when the key or the value is missing.
std::optional<std::string> MachineValue(const std::string& key, const char* name) {
  char value[512];
  DWORD size = sizeof value;
  if (::RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY,
                     nullptr, value, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::string(value);
}
bool MachineKeyExists(const std::string& key) {
  HKEY handle = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &handle) !=
      ERROR_SUCCESS) {
    return false;
  }
  ::RegCloseKey(handle);
  return true;
}

// The image as the program names it: a file URI of the lab's.
std::string ImageUri(std::string lab) {
  std::replace(lab.begin(), lab.end(), '\\', '/');
  return "file:///" + lab + "/Assets/ZorvellNotify2.png";
}

TEST_F(InstalledPackageTest, InstallsServesAJobAndUninstallsWithoutATrace) {
  const std::string lab = kLab;
  const std::string program = ProgramFiles() + "\\activator.exe";
  const std::string class_key = std::string("Software\\Classes\\CLSID\\") + kActivatorClassId;
  const std::string run_key = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  const std::vector<std::string> files = {program,
                                          ProgramFiles() + "\\activator-flat.exe",
                                          ProgramFiles() + "\\activator-run.exe",
                                          ProgramFiles() + "\\activator-remote.exe",
                                          lab + "\\Assets\\ZorvellNotify2.png",
                                          lab + "\\Logs",
                                          lab + "\\State",
                                          lab + "\\DLL",
                                          kBootstrap,
                                          lab + "\\Native\\Host\\Resultados",
                                          lab + "\\Resultados"};
  ASSERT_FALSE(Exists(lab)) << "a lab left by an earlier run";

  // Without the word that the runtime is installed, nothing is installed,
  // and the verbose log of a silent install says why.
  char temp[MAX_PATH];
  const std::string msi_log =
      std::string(temp, ::GetTempPathA(MAX_PATH, temp)) + "msi_package_test.log";
  ::DeleteFileA(msi_log.c_str());
  ASSERT_NE(Msiexec("/i", "/l*v \"" + msi_log + "\""), 0u);
  EXPECT_FALSE(Exists(program));
  {
    const std::vector<std::string> msi_lines = FileLines(msi_log);
    EXPECT_TRUE(std::any_of(msi_lines.begin(), msi_lines.end(), [](const std::string& line) {
      return line.find("needs the Windows App SDK 2.4 runtime") != std::string::npos &&
             line.find("WINAPPSDK_RUNTIME=1") != std::string::npos;
    })) << ::testing::PrintToString(msi_lines);
  }
  ::DeleteFileA(msi_log.c_str());

  ASSERT_EQ(Msiexec("/i", "WINAPPSDK_RUNTIME=1"), 0u);
  installed_ = true;
  for (const std::string& file : files) EXPECT_TRUE(Exists(file)) << file;
  const std::string quoted = "\"" + program + "\"";
  EXPECT_EQ(MachineValue(class_key + "\\LocalServer32", nullptr), quoted);
  EXPECT_EQ(MachineValue(run_key, "ZorvellActivator"), quoted);

  // The bootstrap library is the SDK's, where the program loads it from: in
  // this prefix, which has no runtime, it ends the start as it ends the
  // start of the program built for the tests.
  const std::string log = kLog;
  {
    Child sdk_start;
    ASSERT_TRUE(sdk_start.Start(program));
    EXPECT_EQ(sdk_start.WaitForExit(20000), 13u);
    const std::vector<std::string> lines = FileLines(log);
    EXPECT_TRUE(!lines.empty() && lines.back() == "BOOTSTRAP FAULT=2147483904")
        << ::testing::PrintToString(lines);
  }

  // The runtime is not the package's: the stand-in's bootstrap takes the
  // SDK's place.
  const std::string bootstrap = kBootstrap;
  ASSERT_TRUE(::CopyFileW(WinePath(E2E_STANDIN_BOOTSTRAP).c_str(),
                          std::wstring(bootstrap.begin(), bootstrap.end()).c_str(), FALSE));
  ASSERT_TRUE(program_.Start(program));
  ASSERT_TRUE(Eventually([&] {
    const auto lines = FileLines(log);
    return std::find(lines.begin(), lines.end(), "PYTHON PIPE SERVER START") != lines.end();
  })) << ::testing::PrintToString(FileLines(log));
  testing::ReplyListener worker;
  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=P1&pipe=" + worker.pipe_name() +
                             "&estado=executando"));
  const std::string shown =
      Shown("P1", "Processo em andamento", "abortar", "abortar", "executando", ImageUri(lab));
  ASSERT_TRUE(Eventually([&] { return NotificationOf("P1") == shown; })) << Centre("list");
  ASSERT_EQ(Centre("click P1"), "clicked 1");
  EXPECT_EQ(worker.ReceiveOne(), "acao=abortar&id_execucao=P1&estado=executando");
  program_.End();

  // The session start is a feature of its own, removed alone.
  ASSERT_EQ(Msiexec("/i", "REMOVE=SessionStart"), 0u);
  EXPECT_EQ(MachineValue(run_key, "ZorvellActivator"), std::nullopt);
  EXPECT_TRUE(Exists(program));

  // Uninstalling first has each program remove the platform's registration
  // of it (which the program logs), then ends the running activator, then
  // takes what the package put there, the debug log those runs wrote
  // included: the test reads their lines through a handle it holds open,
  // which does not keep the file from going. Installing again put the SDK's
  // bootstrap back (a file with a version resource replaces one without):
  // the stand-in's takes its place again.
  ASSERT_TRUE(::CopyFileW(WinePath(E2E_STANDIN_BOOTSTRAP).c_str(),
                          std::wstring(bootstrap.begin(), bootstrap.end()).c_str(), FALSE));
  ASSERT_TRUE(::DeleteFileA(log.c_str()));
  ASSERT_TRUE(program_.Start(program));
  ASSERT_TRUE(Eventually([&] {
    const auto lines = FileLines(log);
    return std::find(lines.begin(), lines.end(), "PYTHON PIPE SERVER START") != lines.end();
  })) << ::testing::PrintToString(FileLines(log));
  UniqueHandle held(::CreateFileA(log.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held);
  Child run;
  char temp_folder[MAX_PATH];
  const std::string pids =
      std::string(temp_folder, ::GetTempPathA(MAX_PATH, temp_folder)) + "msi_lingering.pid";
  ::DeleteFileA(pids.c_str());
  ASSERT_TRUE(run.Start(ProgramFiles() + "\\activator-run.exe",
                        L"--id M1 -- \"" + WinePath(E2E_LINGERING) + L"\" \"" +
                            std::wstring(pids.begin(), pids.end()) + L"\""));
  ASSERT_TRUE(Eventually([&] { return !FileLines(pids).empty(); }));
  ASSERT_EQ(Msiexec("/x", ""), 0u);
  installed_ = false;
  std::string written(1 << 16, '\0');
  DWORD read = 0;
  ::ReadFile(held.get(), written.data(), static_cast<DWORD>(written.size()), &read, nullptr);
  written.resize(read);
  held.reset();
  const std::vector<std::string> lines = testing::SplitLogLines(written);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "WPN UNREGISTERALL OK"), 2)
      << ::testing::PrintToString(lines);
  EXPECT_FALSE(Exists(log));
  EXPECT_FALSE(program_.Running());
  EXPECT_FALSE(run.Running());
  ::DeleteFileA(pids.c_str());
  // What the program wrote is not the package's; without it no file or
  // folder of ours is left (a folder goes only when empty), the bootstrap
  // library included.
  DeleteStateFiles(lab);  // the program's own records of its jobs
  // activator-run's result and its index, and the folders they kept.
  const std::string host_results = lab + "\\Native\\Host\\Resultados";
  for (const char* file : {"\\activator-run\\Resultado_M1.txt", "\\Resultado_M1.path"})
    ::DeleteFileA((host_results + file).c_str());
  for (const char* folder : {"\\Native\\Host\\Resultados\\activator-run",
                             "\\Native\\Host\\Resultados", "\\Native\\Host", "\\Native"})
    ::RemoveDirectoryA((lab + folder).c_str());
  for (const char* folder : {"\\Logs", "\\State", "\\DLL", ""})
    ::RemoveDirectoryA((lab + folder).c_str());
  for (const std::string& file : files) EXPECT_FALSE(Exists(file)) << file;
  EXPECT_FALSE(Exists(lab));
  EXPECT_FALSE(Exists(ProgramFiles()));
  EXPECT_FALSE(MachineKeyExists(class_key));
}

// The lab is made in the drive's root, whose permissions let any user change
// what is made there, and every user's activator loads its DLL folder's
// library: each folder the package makes takes permissions of its own, in
// which no user but an administrator changes the programs' folders, and a
// user creates files in the folders the programs and workers write without
// reading another user's. Wine's installer does not apply them (it reads no
// MsiLockPermissionsEx table), so they are read from the package.
TEST_F(InstalledPackageTest, GivesTheLabPermissionsOfItsOwn) {
  const std::set<std::string> written_by_users = {"LabLogs", "LabState", "LabResults",
                                                  "LabHostResults"};
  const std::set<std::string> administrators_only = {"INSTALLDIR", "LABROOT",   "LabDll",
                                                     "LabAssets",  "LabNative", "LabHost"};
  const std::vector<std::string> made = PackageColumn("SELECT `Directory_` FROM `CreateFolder`");
  EXPECT_EQ(std::set<std::string>(made.begin(), made.end()).size(),
            written_by_users.size() + administrators_only.size());
  constexpr ACCESS_MASK kChanges = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                   FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                   WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  constexpr ACCESS_MASK kCreates = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
  for (const std::string& folder : made) {
    SCOPED_TRACE(folder);
    const std::string query =
        "SELECT `SDDLText` FROM `MsiLockPermissionsEx` WHERE `LockObject` = '" + folder + "'";
    const std::vector<std::string> sddl = PackageColumn(query.c_str());
    ASSERT_EQ(sddl.size(), 1u);
    const UsersRights users = RightsOfUsers(sddl[0]);
    EXPECT_TRUE(users.protected_dacl);
    if (administrators_only.count(folder)) {
      EXPECT_EQ(users.folder & kChanges, 0u);
      EXPECT_EQ(users.created & kChanges, 0u);
      EXPECT_NE(users.folder & FILE_TRAVERSE, 0u);
    } else {
      EXPECT_TRUE(written_by_users.count(folder));
      EXPECT_EQ(users.folder & kCreates, kCreates);
      EXPECT_EQ(users.folder & (kChanges & ~kCreates), 0u);
      EXPECT_EQ(users.folder & (FILE_LIST_DIRECTORY | GENERIC_READ), 0u);
      EXPECT_EQ(users.created, 0u);
      EXPECT_EQ(users.creator & FILE_ALL_ACCESS, FILE_ALL_ACCESS);
    }
  }
}
#endif

// What Windows makes of the built files: the activator has no console (one
// would open for the whole run and end it when closed), activator-run does;
// both activators carry the project's icon where the notification platform
// reads an unpackaged program's icon (the file's first icon), a manifest and
// version information.
TEST(ActivatorProgramFilesTest, SubsystemIconManifestAndVersion) {
  constexpr WORD kWindowsGui = 2, kWindowsConsole = 3;
  const struct {
    const char* path;
    WORD subsystem;
  } programs[] = {{ACTIVATOR_PROGRAM, kWindowsGui},
                  {ACTIVATOR_FLAT_PROGRAM, kWindowsGui},
                  {RUNNER_PROGRAM, kWindowsConsole}};
  for (const auto& program : programs) {
    SCOPED_TRACE(program.path);
    const std::wstring path = WinePath(program.path);
    std::ifstream in(WinePathOf(program.path), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 0x40u);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
    ASSERT_LT(static_cast<std::size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64), bytes.size());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(bytes.data() + dos->e_lfanew);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, program.subsystem);
    if (program.subsystem != kWindowsGui) continue;

    HICON small_icon = nullptr;
    EXPECT_EQ(::ExtractIconExW(path.c_str(), 0, nullptr, &small_icon, 1), 1u);
    if (small_icon != nullptr) ::DestroyIcon(small_icon);
    HMODULE file = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(file, nullptr);
    HRSRC manifest = ::FindResourceW(file, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(manifest, nullptr);
    const std::string text(static_cast<const char*>(::LockResource(::LoadResource(file, manifest))),
                           ::SizeofResource(file, manifest));
    for (const char* part : {"level=\"asInvoker\"", "<ws2:longPathAware>true</ws2:longPathAware>",
                             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", ">PerMonitorV2, PerMonitor<",
                             ">true/pm<", ">UTF-8</activeCodePage>"}) {
      EXPECT_NE(text.find(part), std::string::npos) << part;
    }
    // The small icon at 125 % and 150 % (20 and 24 px) as its own image,
    // not the 16 px one scaled.
    std::set<int> widths;
    if (HRSRC group = ::FindResourceW(file, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14))) {
      const auto* bytes = static_cast<const BYTE*>(::LockResource(::LoadResource(file, group)));
      const int count = bytes[4] | (bytes[5] << 8);
      for (int i = 0; i < count; ++i)
        widths.insert(bytes[6 + 14 * i] == 0 ? 256 : bytes[6 + 14 * i]);
    }
    for (int width : {16, 20, 24, 32}) EXPECT_TRUE(widths.count(width)) << width << " px";
    EXPECT_NE(::FindResourceW(file, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16)),
              nullptr);  // RT_VERSION
    ::FreeLibrary(file);
  }
}

// activator-run.exe wraps a command as a job of the running program: the
// command's status passes through, the last form says how it ended, a click
// after the run opens what it printed, and "abortar" ends the command and
// what it started.
TEST_F(ActivatorUnderWineTest, ActivatorRunWrapsACommandAsAJob) {
  LogTail tail;
  StartProgram(tail);
  // The line under the title says what ran and, at the end, how long it
  // took; it is checked on Linux, and left out here.
  auto form_of = [&](const std::string& id) {
    std::string shown = NotificationOf(id);
    const std::size_t title = shown.find("|Processo ");
    const std::size_t line = title == std::string::npos ? title : shown.find('|', title + 1);
    const std::size_t buttons = shown.find("|[");
    if (line != std::string::npos && buttons != std::string::npos && line < buttons)
      shown.erase(line, buttons - line);
    return shown;
  };
  const std::string record = InstallNotepadStandin();
  ASSERT_FALSE(record.empty());

  struct Case {
    std::string id;
    std::wstring command;
    DWORD status;
    std::string last_form;
  };
  const Case cases[] = {
      {"R0", L"cmd /c echo hello", 0,
       Shown("R0", "Processo Concluido", "Exibir Resultado", "salvar", "concluido")},
      {"R1", L"cmd /c exit 3", 3,
       Shown("R1", "Processo com erro", "Exibir Resultado", "salvar", "erro")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    Child run;
    ASSERT_TRUE(run.Start(E2E_RUNNER,
                          L"--id " + std::wstring(c.id.begin(), c.id.end()) + L" -- " + c.command));
    EXPECT_EQ(run.WaitForExit(kWaitMs), c.status);
    EXPECT_TRUE(Eventually([&] { return form_of(c.id) == c.last_form; })) << Centre("list");
  }
  // The result file: its header, then what the command printed.
  const std::string result =
      testing::LabPath("Native/Host/Resultados/activator-run/Resultado_R0.txt");
  const std::string printed = testing::ReadFile(result);
  EXPECT_NE(printed.find("status:   0"), std::string::npos) << printed;
  EXPECT_TRUE(printed.ends_with("\n\nhello\n")) << printed;
  // The wrapper is gone: the program opens the result itself.
  ASSERT_EQ(Centre("click R0"), "clicked 1");
  ASSERT_TRUE(Eventually([&] { return !FileLines(record).empty(); }))
      << ::testing::PrintToString(tail.Lines());
  EXPECT_NE(FileLines(record).back().find(result), std::string::npos) << FileLines(record).back();

  // The id's lock is the user's in every session, as the activator's is: a
  // run of another session of the user's holds a lock of the machine.
  {
    std::string lock = std::string("Global\\") + kRunResultsPrefix + "L1.lock-" + ThisUsersSid();
    std::replace(lock.begin() + 7, lock.end(), '\\', '/');
    // Owned by the user, as wine gives a mutex made without a descriptor no owner.
    const std::string sddl = "O:" + ThisUsersSid() + "D:(A;;GA;;;" + ThisUsersSid() + ")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(
        sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    UniqueHandle held(::CreateMutexA(&security, TRUE, lock.c_str()));
    ::LocalFree(descriptor);
    ASSERT_TRUE(held);
    Child refused;
    ASSERT_TRUE(refused.Start(E2E_RUNNER, L"--id L1 -- cmd /c exit 0"));
    EXPECT_EQ(refused.WaitForExit(kWaitMs), 2u);
  }

  // A silent client holding the job pipe until the program drops it does not
  // cost a run its notifications.
  {
    testing::SilentClient silent(kJobPipeName);
    ASSERT_TRUE(silent.connected());
    Child quiet;
    ASSERT_TRUE(quiet.Start(E2E_RUNNER, L"--id B1 -- cmd /c exit 0"));
    EXPECT_EQ(quiet.WaitForExit(kWaitMs), 0u);
    EXPECT_TRUE(Eventually([&] {
      return form_of("B1") ==
             Shown("B1", "Processo Concluido", "Exibir Resultado", "salvar", "concluido");
    })) << Centre("list");
  }

  const std::string pids = testing::LabPath("lingering.pid");
  ::DeleteFileA(pids.c_str());
  Child run;
  ASSERT_TRUE(run.Start(E2E_RUNNER, L"--id A1 -- \"" + WinePath(E2E_LINGERING) + L"\" \"" +
                                        std::wstring(pids.begin(), pids.end()) + L"\""));
  ASSERT_TRUE(Eventually([&] {
    return form_of("A1") ==
           Shown("A1", "Processo em andamento", "abortar", "abortar", "executando");
  })) << Centre("list");
  ASSERT_TRUE(Eventually([&] { return !FileLines(pids).empty(); }));
  UniqueHandle started(
      ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(FileLines(pids).at(0)))));
  ASSERT_TRUE(started);
  ASSERT_EQ(Centre("click A1"), "clicked 1");
  const std::optional<DWORD> status = run.WaitForExit(kWaitMs);
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(*status, 0u);
  EXPECT_EQ(::WaitForSingleObject(started.get(), kWaitMs), WAIT_OBJECT_0)
      << "what the command started outlived the abort";
  EXPECT_TRUE(Eventually([&] {
    return form_of("A1") == Shown("A1", "Processo com erro", "Exibir Resultado", "salvar", "erro");
  })) << Centre("list");
}

// activator-run in a lab whose path is not ASCII: the result is written
// there whole and a click after the run opens it.
TEST_F(ActivatorUnderWineTest, ActivatorRunKeepsItsResultInALabNotInAscii) {
  const std::string lab = WinePathOf(E2E_INTL_LAB);
  const auto read = [](const std::string& path) {
    UniqueHandle file(::CreateFileW(WidenUtf8(path).c_str(), GENERIC_READ, 7, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes(1 << 16, '\0');
    DWORD count = 0;
    if (!file ||
        !::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr))
      count = 0;
    bytes.resize(count);
    return bytes;
  };
  const std::string log = lab + "\\Logs\\activator_debug.txt";
  ::DeleteFileW(WidenUtf8(log).c_str());
  ::DeleteFileW(WidenUtf8(lab + "\\State\\activator_state-" + ThisUsersSid() + ".dat").c_str());
  const std::string record = InstallNotepadStandin();
  ASSERT_FALSE(record.empty());
  ASSERT_TRUE(program_.Start(E2E_INTL_PROGRAM));
  ASSERT_TRUE(Eventually([&] {
    return read(log).find("PYTHON PIPE SERVER START") != std::string::npos;
  })) << read(log);
  Child run;
  ASSERT_TRUE(run.Start(E2E_INTL_RUNNER, L"--id N1 -- cmd /c echo hello"));
  EXPECT_EQ(run.WaitForExit(kWaitMs), 0u);
  ASSERT_TRUE(Eventually([&] { return NotificationOf("N1").ends_with("estado=concluido"); }))
      << Centre("list");
  const std::string result = lab + "\\Native\\Host\\Resultados\\activator-run\\Resultado_N1.txt";
  EXPECT_TRUE(read(result).ends_with("\n\nhello\n")) << read(result);
  ASSERT_EQ(Centre("click N1"), "clicked 1");
  ASSERT_TRUE(Eventually([&] { return !FileLines(record).empty(); })) << read(log);
  EXPECT_NE(FileLines(record).back().find(result), std::string::npos) << FileLines(record).back();
}

// activator-remote.exe linked through the ssh stand-in to a server of Linux
// programs (tests/windows/remote_server.py, which runs this one): the
// server's job shows under its desktop id, abortar reaches activator-run
// there, and with that worker gone Exibir Resultado brings a copy of the
// result into the results folder, under a name Windows takes, with its index.
TEST_F(ActivatorUnderWineTest, AServersJobShowsAndItsClicksGoBackUp) {
  if (std::getenv("ACTIVATOR_TEST_LINK_PORT") == nullptr)
    GTEST_SKIP() << "needs the Linux server of tests/windows/remote_server.py";
  LogTail tail;
  StartProgram(tail);
  const std::string record = InstallNotepadStandin();
  ASSERT_FALSE(record.empty());
  ::SetEnvironmentVariableA("ACTIVATOR_SSH", WinePathOf(E2E_SSH_STANDIN).c_str());
  Child remote;
  ASSERT_TRUE(remote.Start(E2E_REMOTE, L"srv1"));
  const std::string id = "@srv1+R1";
  // Each form the job takes, with the server's name and the worker's own
  // description under the title, and the button then clicked.
  const struct {
    std::string title, caption, action, state;
  } forms[] = {
      {"Processo em andamento", "abortar", "abortar", "executando"},
      {"Processo com erro", "Exibir Resultado", "salvar", "erro"},
  };
  for (const auto& form : forms) {
    const std::string shown = Shown(id, form.title, form.caption, form.action, form.state);
    const std::string head = shown.substr(0, shown.find("|[")) + "|srv1: noturno";
    ASSERT_TRUE(Eventually([&] {
      const std::string now = NotificationOf(id);
      return now.starts_with(head) && now.ends_with(shown.substr(shown.find("|[")));
    })) << Centre("list");
    ASSERT_EQ(Centre("click " + id), "clicked 1");
    if (form.action == "abortar") {
      // The command was ended there (SIGTERM), and activator-run with it.
      const std::string status =
          std::string(std::getenv("ACTIVATOR_TEST_SERVER_HOME")) + "/worker-status";
      ASSERT_TRUE(Eventually([&] { return FileLines(status) == std::vector<std::string>{"143"}; }))
          << ::testing::PrintToString(FileLines(status));
    }
  }
  const std::string index = std::string(kResultsPrefix) + id + ".path";
  std::string copy;
  ASSERT_TRUE(Eventually([&] { return !(copy = testing::ReadFile(index)).empty(); })) << index;
  ASSERT_TRUE(copy.ends_with("\n"));
  copy.pop_back();
  const std::string folder = testing::LabPath("Native/Host/Resultados");
  EXPECT_EQ(copy.rfind(folder + "\\remote-srv1-", 0), 0u) << copy;
  EXPECT_TRUE(copy.ends_with("-Resultado_R1.txt")) << copy;
  EXPECT_NE(testing::ReadFile(copy).find("resultado do servidor\n"), std::string::npos);
  ASSERT_TRUE(Eventually([&] { return !FileLines(record).empty(); }));
  EXPECT_NE(FileLines(record).back().find(copy), std::string::npos) << FileLines(record).back();
}

}  // namespace
}  // namespace activator
