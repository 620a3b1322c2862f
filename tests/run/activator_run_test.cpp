// activator-run against the real program on a private bus with the scripted
// notification server: the command's status and output unchanged, the
// notifications of its job, "abortar", and the result opened after the run.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "activation/editor_record.h"
#include "dbus/e2e_support.h"
#include "platform/posix/dbus/notify_payload.h"
#include "support/test_lab.h"

namespace activator::testing {
namespace {

struct RunResult {
  std::optional<int> status;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ActivatorRunTest : public BusRunTest {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(Folder());
    ForgetEditorCalls();
  }

  static std::string Folder() { return LabPath("run"); }

  // Starts activator-run with `args`, its output into files of the lab.
  void StartRunner(const std::vector<std::string>& args) {
    std::vector<std::string> shell_args = {
        "-c", "exec \"$0\" \"$@\" >" + Folder() + "/out 2>" + Folder() + "/err", RUNNER_PROGRAM};
    shell_args.insert(shell_args.end(), args.begin(), args.end());
    ASSERT_TRUE(runner_.Start("/bin/sh", shell_args, {{"DBUS_SESSION_BUS_ADDRESS", ""}}));
  }

  RunResult Finish() {
    RunResult result;
    result.status = runner_.WaitForExit(kE2eWaitMs);
    result.out = ReadFile(Folder() + "/out");
    result.err = ReadFile(Folder() + "/err");
    return result;
  }

  RunResult Run(const std::vector<std::string>& args) {
    StartRunner(args);
    return Finish();
  }

  void StartActivator() {
    StartBus();
    StartServer();
    StartProgram();
  }

  // The notifications shown for job `id`, in order, once the last of them is
  // `last_body`; empty if it never comes. A command this short may end before
  // the queue shows its job, which is then shown once, already in its last form.
  std::vector<NotifyCall> WaitForLastForm(const std::string& id, const std::string& last_body) {
    std::vector<NotifyCall> shown;
    const bool arrived = WaitUntil([&] {
      shown.clear();
      for (const NotifyCall& call : server_->Calls()) {
        if (call.body.ends_with("\n" + id)) shown.push_back(call);
      }
      return !shown.empty() && shown.back().body == last_body;
    });
    if (!arrived) {
      ADD_FAILURE() << "no \"" << last_body << "\" among " << shown.size() << " shown for " << id;
      shown.clear();
    }
    return shown;
  }

  ProgramProcess runner_;
};

TEST_F(ActivatorRunTest, EndsAsTheCommandEndsAndTheLastFormSaysHow) {
  StartActivator();
  struct Case {
    const char* script;
    int status;
    const char* final_form;
  } cases[] = {
      {"echo hello; echo oops >&2", 0, "Processo Concluido"},
      {"exit 3", 3, "Processo com erro"},
      {"kill -TERM $$", 128 + SIGTERM, "Processo com erro"},
  };
  int run_number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    const std::string id = "R" + std::to_string(run_number++);
    const RunResult run = Run({"--id", id, "--", "sh", "-c", c.script});
    EXPECT_EQ(run.status, c.status);
    const std::vector<NotifyCall> shown =
        WaitForLastForm(id, std::string(c.final_form) + "\n" + id);
    EXPECT_LE(shown.size(), 2u);
    if (shown.size() == 2) EXPECT_EQ(shown.front().body, "Processo em andamento\n" + id);
  }
  // What the terminal saw, the result file holds too.
  const std::string result = std::string(kResultsPrefix) + "R0.txt";
  EXPECT_EQ(ReadFile(result), "hello\noops\n");
  EXPECT_EQ(ReadFile(std::string(kResultsPrefix) + "R0.path"), result + "\n");
}

TEST_F(ActivatorRunTest, AbortarEndsTheCommandAndEverythingItStarted) {
  StartActivator();
  const std::string pids = Folder() + "/pids";
  std::filesystem::remove(pids);
  StartRunner({"--id", "A1", "--", "sh", "-c",
               "sleep 60 & echo $! >" + pids + "; sleep 60 & echo $! >>" + pids + "; wait"});
  ASSERT_TRUE(server_->WaitForCalls(1, std::chrono::milliseconds(kE2eWaitMs)));
  ASSERT_TRUE(
      WaitUntil([&] { return ReadFile(pids).size() > 2 && ReadFile(pids).back() == '\n'; }));
  const NotifyCall in_progress = server_->Calls().at(0);
  ASSERT_EQ(in_progress.body, "Processo em andamento\nA1");
  const auto clicked = std::chrono::steady_clock::now();
  server_->Click(in_progress.id, in_progress.actions.at(0));

  const RunResult run = Finish();
  // A figure for the record, never a condition: sanitizer builds are slow.
  RecordProperty("ms_from_click_to_end",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - clicked)
                                      .count()));
  EXPECT_EQ(run.status, 128 + SIGTERM);
  std::istringstream started(ReadFile(pids));
  for (pid_t pid; started >> pid;) {
    EXPECT_TRUE(WaitUntil([pid] { return ::kill(pid, 0) != 0 && errno == ESRCH; }))
        << "the command's child " << pid << " outlived the abort";
  }
  ASSERT_TRUE(server_->WaitForCalls(2, std::chrono::milliseconds(kE2eWaitMs)));
  EXPECT_EQ(server_->Calls().at(1).body, "Processo com erro\nA1");
}

TEST_F(ActivatorRunTest, AfterTheRunAClickOpensTheCapturedOutput) {
  StartActivator();
  // Several megabytes, so the output crosses many pipe buffers.
  const RunResult run =
      Run({"--id", "O1", "--", "sh", "-c", "head -c 5000000 /dev/zero | tr '\\0' x"});
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.out, std::string(5000000, 'x'));
  const std::string result = std::string(kResultsPrefix) + "O1.txt";
  EXPECT_EQ(ReadFile(result), run.out);

  const std::vector<NotifyCall> shown = WaitForLastForm("O1", "Processo Concluido\nO1");
  ASSERT_FALSE(shown.empty());
  const NotifyCall& concluded = shown.back();
  server_->Click(concluded.id, concluded.actions.at(0));
  std::optional<EditorCall> editor = WaitForEditorCall(kE2eWaitMs);
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->arguments, (std::vector<std::string>{result}));
}

TEST_F(ActivatorRunTest, WithoutAnActivatorTheCommandRunsUnchangedWithOneWarning) {
  const RunResult run = Run({"--", "sh", "-c", "echo out; echo err >&2; exit 5"});
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(run.out, "out\n");
  ASSERT_EQ(run.err.rfind("activator-run: ", 0), 0u) << run.err;
  EXPECT_EQ(run.err.substr(run.err.find('\n') + 1), "err\n");
}

}  // namespace
}  // namespace activator::testing
