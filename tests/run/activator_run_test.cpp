// activator-run against the real program on a private bus with the scripted
// notification server: the command's status and output unchanged, the
// notifications of its job, "abortar", and the result opened after the run;
// and on a pseudo-terminal, the terminal and job control a bare command has.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "activation/editor_record.h"
#include "dbus/e2e_support.h"
#include "jobs/job_message.h"
#include "jobs/job_protocol.h"
#include "platform/posix/dbus/notify_payload.h"
#include "platform/posix/pipe_names.h"
#include "platform/silent_client.h"
#include "run/result_file.h"
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

// The job pipe served by the test in place of the activator: the messages
// activator-run sends, as it sent them.
class FakeJobPipe {
 public:
  FakeJobPipe() : path_(SocketPathForPipe(kJobPipeName)) {
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
    std::filesystem::remove(path_);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 16), 0);
  }
  ~FakeJobPipe() {
    ::close(listener_);
    std::filesystem::remove(path_);
  }

  // The next message, parsed; a problem of kTooShort when none came in time.
  ParsedJobMessage Next() {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, kE2eWaitMs) != 1) return {JobMessageProblem::kTooShort, {}};
    const int client = ::accept(listener_, nullptr, nullptr);
    std::string message;
    char bytes[4096];
    for (pollfd readable{client, POLLIN, 0}; ::poll(&readable, 1, kE2eWaitMs) == 1;) {
      const ssize_t n = ::read(client, bytes, sizeof bytes);
      if (n <= 0) break;
      message.append(bytes, static_cast<std::size_t>(n));
    }
    ::close(client);
    raw_.push_back(message);
    return ParseJobMessage(message);
  }

  // Every message read so far, for a failure's report.
  std::string Raw() const { return ::testing::PrintToString(raw_); }

 private:
  std::string path_;
  int listener_ = -1;
  std::vector<std::string> raw_;
};

class ActivatorRunTest : public BusRunTest {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(Folder());
    ForgetEditorCalls();
  }

  static std::string Folder() { return LabPath("run"); }

  // Starts activator-run with `args`, its output into files of the lab.
  void StartRunner(const std::vector<std::string>& args,
                   std::map<std::string, std::string> environment = {}) {
    std::vector<std::string> shell_args = {
        "-c", "exec \"$0\" \"$@\" >" + Folder() + "/out 2>" + Folder() + "/err", RUNNER_PROGRAM};
    shell_args.insert(shell_args.end(), args.begin(), args.end());
    environment["DBUS_SESSION_BUS_ADDRESS"] = "";
    ASSERT_TRUE(runner_.Start("/bin/sh", shell_args, environment));
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

  // Runs the shell line `line`, where $RUN is activator-run and $DIR the
  // test's folder, its output into files of the lab.
  RunResult RunLine(const std::string& line) {
    EXPECT_TRUE(runner_.Start(
        "/bin/sh", {"-c", "(" + line + ") >" + Folder() + "/out 2>" + Folder() + "/err"},
        {{"DBUS_SESSION_BUS_ADDRESS", ""}, {"RUN", RUNNER_PROGRAM}, {"DIR", Folder()}}));
    return Finish();
  }

  // A notification as its form and job, "<title>\n<id>": the line between,
  // what ran, is checked on its own.
  static NotifyCall Form(NotifyCall call) {
    const std::size_t first = call.body.find('\n');
    call.body.erase(first, call.body.rfind('\n') - first);
    return call;
  }

  std::vector<NotifyCall> ShownFor(const std::string& id) {
    std::vector<NotifyCall> shown;
    for (const NotifyCall& call : server_->Calls()) {
      if (call.body.ends_with("\n" + id)) shown.push_back(Form(call));
    }
    return shown;
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
        if (call.body.ends_with("\n" + id)) shown.push_back(Form(call));
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
  // What the terminal saw, the result file holds too, after a header that
  // says what ran and how it ended; the file and its folder are the user's.
  const std::string result = std::string(kRunResultsPrefix) + "R0.txt";
  const std::string text = ReadFile(result);
  EXPECT_EQ(text.rfind("$ sh -c 'echo hello; echo oops >&2'\nstarted:  ", 0), 0u) << text;
  EXPECT_NE(text.find("\nended:    2"), std::string::npos) << text;
  EXPECT_NE(text.find("\nduration: "), std::string::npos) << text;
  EXPECT_NE(text.find("\nstatus:   0"), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with("\n\nhello\noops\n")) << text;
  EXPECT_NE(ReadFile(std::string(kRunResultsPrefix) + "R2.txt")
                .find("status:   143 (ended by signal 15)"),
            std::string::npos);
  EXPECT_EQ(ReadFile(std::string(kResultsPrefix) + "R0.path"), result + "\n");
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::status(result).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(fs::path(result).parent_path()).permissions() & fs::perms::all,
            fs::perms::owner_all);
}

// The cases where a wrapper is most easily told from the bare command, each
// a shell line run to its end: its status, the job's last form (none: never
// shown) and what else must hold.
TEST_F(ActivatorRunTest, EndsAndReportsAsTheBareCommandWould) {
  StartActivator();
  struct Case {
    const char* id;
    std::string line;
    int status;
    const char* final_form;  // nullptr: the job is never shown
    std::function<void(const RunResult&)> check;
    std::function<void()> prepare = [] {};
  } cases[] = {
      // A background child that keeps the output open does not hold the run.
      {"E1", "$RUN --id E1 -- sh -c 'sleep 60 & echo $! >$DIR/bg; echo started'", 0,
       "Processo Concluido",
       [&](const RunResult& run) {
         EXPECT_EQ(run.out, "started\n");
         const pid_t background = std::stoi("0" + ReadFile(Folder() + "/bg"));
         ASSERT_GT(background, 0);
         EXPECT_EQ(::kill(background, 0), 0) << "the run waited for its background child";
         ::kill(background, SIGKILL);
       }},
      // Its own output's reader going away: the command hears of it (SIGPIPE),
      // the wrapper reports its end.
      {"P1", "{ $RUN --id P1 -- yes; echo $? >$DIR/status; } | head -1; exit $(cat $DIR/status)",
       128 + SIGPIPE, "Processo com erro", [](const RunResult& run) { EXPECT_EQ(run.out, "y\n"); }},
      // The result file is never inherited by the command.
      {"H1", "$RUN --id H1 -- sh -c 'ls -l /proc/$$/fd'", 0, "Processo Concluido",
       [](const RunResult& run) {
         EXPECT_EQ(run.out.find("Resultado_"), std::string::npos) << run.out;
       }},
      // A full disk (here a file size limit): said on standard error, the
      // result marked cut, the job an error; the command runs to its end.
      {"W1", "ulimit -f 8; $RUN --id W1 -- head -c 100000 /dev/zero >/dev/null", 0,
       "Processo com erro",
       [](const RunResult& run) {
         EXPECT_NE(run.err.find("activator-run: writing the result file "), std::string::npos)
             << run.err;
         EXPECT_NE(ReadFile(std::string(kRunResultsPrefix) + "W1.txt").find("result:   cut after "),
                   std::string::npos);
       }},
      // A hang-up (the terminal closed) goes to the command, and its end is
      // still reported.
      {"S1",
       "rm -f $DIR/s1; $RUN --id S1 -- sh -c 'echo up; exec sleep 60' >$DIR/s1 & "
       "while ! grep -q up $DIR/s1; do sleep 0.02; done; kill -HUP $!; wait $!",
       128 + SIGHUP, "Processo com erro", [](const RunResult&) {}},
      // The result file is text for an editor: the terminal's sequences left
      // out, LF line ends, and nothing after the header's last line.
      {"C1", "$RUN --id C1 -- printf '\\033[1;31mred\\033[0m\\r\\n\\033]0;title\\007plain\\r\\n'",
       0, "Processo Concluido",
       [](const RunResult& run) {
         EXPECT_EQ(run.out, "\033[1;31mred\033[0m\r\n\033]0;title\007plain\r\n");
         const std::string text = ReadFile(std::string(kRunResultsPrefix) + "C1.txt");
         EXPECT_TRUE(text.ends_with("\nstatus:   0\n\nred\nplain\n")) << text;
       }},
      // Results of long ago are removed with their index, and so are index
      // files as old that name a result gone; recent ones, and other
      // workers' index files, stay.
      {"K1", "$RUN --id K1 -- true", 0, "Processo Concluido",
       [](const RunResult&) {
         EXPECT_FALSE(std::filesystem::exists(std::string(kRunResultsPrefix) + "OLD.txt"));
         EXPECT_FALSE(std::filesystem::exists(std::string(kResultsPrefix) + "OLD.path"));
         EXPECT_FALSE(std::filesystem::exists(std::string(kResultsPrefix) + "GONE.path"));
         EXPECT_TRUE(std::filesystem::exists(std::string(kResultsPrefix) + "OTHER.path"));
         EXPECT_TRUE(std::filesystem::exists(std::string(kRunResultsPrefix) + "NEW.txt"));
       },
       [] {
         const std::string old = std::string(kRunResultsPrefix) + "OLD.txt";
         std::filesystem::create_directories(std::filesystem::path(old).parent_path());
         std::ofstream(old) << "old\n";
         std::ofstream(std::string(kRunResultsPrefix) + "NEW.txt") << "new\n";
         std::ofstream(std::string(kResultsPrefix) + "OLD.path") << old << "\n";
         std::ofstream(std::string(kResultsPrefix) + "GONE.path")
             << kRunResultsPrefix << "GONE.txt\n";
         std::ofstream(std::string(kResultsPrefix) + "OTHER.path") << LabPath("gone.txt") << "\n";
         const auto long_ago =
             std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 40);
         for (const std::string& path : {old, std::string(kResultsPrefix) + "GONE.path",
                                         std::string(kResultsPrefix) + "OTHER.path"})
           std::filesystem::last_write_time(path, long_ago);
       }},
      // A FIFO where the result file goes: refused at once, the run goes on.
      {"F1", "$RUN --id F1 -- echo through", 0, "Processo Concluido",
       [](const RunResult& run) {
         EXPECT_EQ(run.out, "through\n");
         EXPECT_NE(run.err.find("activator-run: cannot write the result file "), std::string::npos)
             << run.err;
       },
       [] {
         const std::string fifo = std::string(kRunResultsPrefix) + "F1.txt";
         std::filesystem::create_directories(std::filesystem::path(fifo).parent_path());
         std::filesystem::remove(fifo);
         ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
       }},
      // A long output's result keeps its start and its end, whole lines, and
      // says how much it left out between them.
      {"B1", "$RUN --id B1 -- seq 1 2000000 >/dev/null", 0, "Processo Concluido",
       [](const RunResult&) {
         std::string seq;
         for (int i = 1; i <= 2000000; ++i) seq += std::to_string(i) + '\n';
         const std::string text = ReadFile(std::string(kRunResultsPrefix) + "B1.txt");
         EXPECT_LE(text.size(), kResultHeadBytes + kResultTailBytes + 1024);
         const std::size_t body = text.find("\n\n") + 2, gap = text.find("\n[... ", body) + 1;
         ASSERT_GT(gap, body);
         const std::string head = text.substr(body, gap - body);
         const std::string tail = text.substr(text.find('\n', gap) + 1);
         EXPECT_TRUE(seq.starts_with(head) && seq.ends_with(tail) && head.ends_with('\n'));
         const std::string left_out = std::to_string(seq.size() - head.size() - tail.size());
         EXPECT_EQ(text.substr(gap, left_out.size() + 11), "[... " + left_out + " bytes");
         EXPECT_NE(text.find("\noutput:   " + std::to_string(seq.size()) + " bytes, " + left_out +
                             " of them left out in the middle\n"),
                   std::string::npos);
       }},
      // Shorter than --after: no notification, no result left behind.
      {"Q1", "$RUN --after 600 --id Q1 -- echo quiet", 0, nullptr,
       [](const RunResult& run) {
         EXPECT_EQ(run.out, "quiet\n");
         EXPECT_EQ(run.err, "");
         EXPECT_FALSE(std::filesystem::exists(std::string(kRunResultsPrefix) + "Q1.txt"));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    c.prepare();
    const RunResult run = RunLine(c.line);
    EXPECT_EQ(run.status, c.status) << run.err;
    if (c.final_form != nullptr)
      WaitForLastForm(c.id, std::string(c.final_form) + "\n" + c.id);
    else
      EXPECT_TRUE(ShownFor(c.id).empty());
    c.check(run);
  }
}

TEST_F(ActivatorRunTest, AReusedIdShowsTheNewRunInProgressOnceLongEnough) {
  StartActivator();
  ASSERT_EQ(Run({"--id", "RR", "--", "false"}).status, 1);
  WaitForLastForm("RR", "Processo com erro\nRR");
  const std::string go = Folder() + "/go";
  std::filesystem::remove(go);
  // Announced once it has run a tenth of a second: it waits for the test.
  StartRunner({"--after", "0.1", "--id", "RR", "--", "sh", "-c",
               "while [ ! -e " + go + " ]; do sleep 0.02; done"});
  WaitForLastForm("RR", "Processo em andamento\nRR");
  std::ofstream(go).put('\n');
  EXPECT_EQ(Finish().status, 0);
  WaitForLastForm("RR", "Processo Concluido\nRR");
}

TEST_F(ActivatorRunTest, AbortarEndsTheCommandAndEverythingItStarted) {
  StartActivator();
  const std::string pids = Folder() + "/pids";
  std::filesystem::remove(pids);
  // The last child leaves the command's group and ignores the polite request.
  StartRunner({"--id", "A1", "--", "sh", "-c",
               "sleep 60 & echo $! >" + pids + "; sleep 60 & echo $! >>" + pids +
                   "; setsid sh -c 'trap \"\" TERM; exec sleep 60' & echo $! >>" + pids +
                   "; wait"});
  ASSERT_TRUE(server_->WaitForCalls(1, std::chrono::milliseconds(kE2eWaitMs)));
  ASSERT_TRUE(WaitUntil([&] {
    const std::string text = ReadFile(pids);
    return std::count(text.begin(), text.end(), '\n') == 3;
  }));
  const NotifyCall in_progress = server_->Calls().at(0);
  ASSERT_EQ(Form(in_progress).body, "Processo em andamento\nA1");
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
  EXPECT_EQ(Form(server_->Calls().at(1)).body, "Processo com erro\nA1");
}

// The same --id twice at once: the second run is refused, so the first one's
// end and result file stay its own; its lock file deleted meanwhile too.
TEST_F(ActivatorRunTest, ASecondRunOfAnIdStillRunningIsRefused) {
  StartActivator();
  const std::string go = Folder() + "/go";
  std::filesystem::remove(go);
  StartRunner({"--id", "D1", "--", "sh", "-c",
               "echo first; while [ ! -e " + go + " ]; do sleep 0.02; done"});
  WaitForLastForm("D1", "Processo em andamento\nD1");
  for (const bool lock_deleted : {false, true}) {
    SCOPED_TRACE(lock_deleted ? "lock file deleted" : "lock file kept");
    if (lock_deleted)
      ASSERT_TRUE(std::filesystem::remove(std::string(kRunResultsPrefix) + "D1.lock"));
    ProgramProcess second;
    ASSERT_TRUE(second.Start(
        "/bin/sh",
        {"-c", "exec \"$0\" --id D1 -- echo second >" + Folder() + "/out2 2>" + Folder() + "/err2",
         RUNNER_PROGRAM},
        {{"DBUS_SESSION_BUS_ADDRESS", ""}}));
    EXPECT_EQ(second.WaitForExit(kE2eWaitMs), 2);
    const std::string refusal = ReadFile(Folder() + "/err2");
    EXPECT_EQ(std::count(refusal.begin(), refusal.end(), '\n'), 1) << refusal;
    EXPECT_NE(refusal.find(" D1 "), std::string::npos) << refusal;
    EXPECT_EQ(ReadFile(Folder() + "/out2"), "");
    EXPECT_EQ(ShownFor("D1").back().body, "Processo em andamento\nD1");
  }
  std::ofstream(go).put('\n');
  EXPECT_EQ(Finish().status, 0);
  WaitForLastForm("D1", "Processo Concluido\nD1");
  const std::string text = ReadFile(std::string(kRunResultsPrefix) + "D1.txt");
  EXPECT_EQ(text.find("\n$ "), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with("\n\nfirst\n")) << text;
}

// Something that tidies the runtime folder may delete the reply socket while
// the command runs; the wrapper listens again under the name it announced.
TEST_F(ActivatorRunTest, AbortarStillReachesTheCommandAfterItsReplySocketWasDeleted) {
  StartActivator();
  const std::string runtime = Folder() + "/runtime";
  std::filesystem::remove_all(runtime);
  std::filesystem::create_directories(runtime);
  StartRunner({"--id", "A2", "--", "sleep", "60"}, {{"XDG_RUNTIME_DIR", runtime}});
  ASSERT_TRUE(server_->WaitForCalls(1, std::chrono::milliseconds(kE2eWaitMs)));
  std::filesystem::path socket;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(runtime))
    if (entry.is_socket()) socket = entry.path();
  ASSERT_FALSE(socket.empty());
  const auto made = std::filesystem::status(socket);
  ASSERT_TRUE(std::filesystem::remove(socket));
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::is_socket(socket); }));
  EXPECT_EQ(std::filesystem::status(socket).permissions(), made.permissions());

  const NotifyCall in_progress = server_->Calls().at(0);
  server_->Click(in_progress.id, in_progress.actions.at(0));
  EXPECT_EQ(Finish().status, 128 + SIGTERM);
}

TEST_F(ActivatorRunTest, AfterTheRunAClickOpensTheCapturedOutput) {
  StartActivator();
  // Several megabytes, so the output crosses many pipe buffers.
  const RunResult run =
      Run({"--id", "O1", "--", "sh", "-c", "head -c 5000000 /dev/zero | tr '\\0' x"});
  ASSERT_EQ(run.status, 0);
  EXPECT_TRUE(run.out == std::string(5000000, 'x')) << run.out.size() << " bytes";
  const std::string result = std::string(kRunResultsPrefix) + "O1.txt";
  EXPECT_TRUE(ReadFile(result).ends_with("\n\n" + run.out));

  const std::vector<NotifyCall> shown = WaitForLastForm("O1", "Processo Concluido\nO1");
  ASSERT_FALSE(shown.empty());
  const NotifyCall& concluded = shown.back();
  server_->Click(concluded.id, concluded.actions.at(0));
  std::optional<EditorCall> editor = WaitForEditorCall(kE2eWaitMs);
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->arguments, (std::vector<std::string>{result}));
}

TEST_F(ActivatorRunTest, WithoutAnActivatorTheCommandRunsUnchangedWithOneWarning) {
  auto index_files = [] {
    std::set<std::filesystem::path> found;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(kResultsPrefix).parent_path()))
      if (entry.path().extension() == ".path") found.insert(entry.path());
    return found;
  };
  const std::set<std::filesystem::path> index_before = index_files();
  // What helps: starting the activator in a desktop session, forwarding the
  // pipe from the desktop in one reached over SSH; in both, activator-remote
  // on another desktop.
  const struct {
    const char* display;
    const char* hint;
  } sessions[] = {{":0", "systemctl --user enable --now activator.service"}, {"", "ssh -R "}};
  for (const auto& session : sessions) {
    StartRunner({"--", "sh", "-c", "echo out; echo err >&2; exit 5"},
                {{"DISPLAY", session.display}, {"WAYLAND_DISPLAY", ""}});
    const RunResult run = Finish();
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.out, "out\n");
    ASSERT_EQ(run.err.rfind("activator-run: ", 0), 0u) << run.err;
    const std::string warning = run.err.substr(0, run.err.find('\n'));
    // The socket it tried, and what helps, in one line.
    EXPECT_NE(warning.find(std::string(" at ") + kPipeDirectory + "/"), std::string::npos)
        << warning;
    EXPECT_NE(warning.find(session.hint), std::string::npos) << warning;
    // Or its jobs shown on another desktop, this machine a server there.
    EXPECT_NE(warning.find("run there: activator-remote "), std::string::npos) << warning;
    EXPECT_EQ(run.err.substr(run.err.find('\n') + 1), "err\n");
  }
  // Its result was never kept, so no index names one.
  EXPECT_EQ(index_files(), index_before);
}

// A job pipe whose backlog is full (an activator busy with a burst, or held by
// a silent client until it drops it) is tried again for a while: the job is
// announced once the backlog drains.
TEST_F(ActivatorRunTest, AFullJobPipeBacklogIsWaitedOut) {
  const std::string path = SocketPathForPipe(kJobPipeName);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::filesystem::remove(path);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const auto* any = reinterpret_cast<const sockaddr*>(&address);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::bind(listener, any, sizeof address), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  std::vector<int> fillers;
  for (;;) {
    const int filler = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (::connect(filler, any, sizeof address) != 0) {
      ASSERT_EQ(errno, EAGAIN);
      ::close(filler);
      break;
    }
    fillers.push_back(filler);
  }

  StartRunner({"--", "sleep", "1"});
  std::this_thread::sleep_for(kJobMessageWait);
  std::string announced;
  for (std::size_t i = 0; i <= fillers.size(); ++i) {
    pollfd waiting{listener, POLLIN, 0};
    if (::poll(&waiting, 1, kE2eWaitMs) != 1) break;
    const int client = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(client, 0);
    char bytes[512];
    const ssize_t n = i < fillers.size() ? 0 : ::read(client, bytes, sizeof bytes);
    if (n > 0) announced.assign(bytes, static_cast<std::size_t>(n));
    ::close(client);
  }
  for (int filler : fillers) ::close(filler);
  ::close(listener);
  std::filesystem::remove(path);
  const RunResult run = Finish();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(announced.rfind("acao=continuar&id_execucao=", 0), 0u) << announced;
  EXPECT_EQ(run.err.find("busy"), std::string::npos) << run.err;
}

// The line under the notification's title says what ran: the command line or
// --description, cut to fit on a character's boundary; at the end also how
// the command ended and how long it took, the end kept whole.
TEST_F(ActivatorRunTest, TheJobSaysWhatRanAndHowItEnded) {
  FakeJobPipe pipe;
  std::string accents;
  for (int i = 0; i < 100; ++i) accents += "\xC3\xA9";
  auto repeated = [](const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
  };
  const std::string ellipsis = "\xE2\x80\xA6";
  EXPECT_EQ(Run({"--", "sh", "-c", "exit 3", accents}).status, 3);
  const ParsedJobMessage announced = pipe.Next();
  const ParsedJobMessage ended = pipe.Next();
  ASSERT_EQ(ended.problem, JobMessageProblem::kNone) << pipe.Raw();
  // The words quoted as typed, the cut inside the quoted one.
  EXPECT_EQ(announced.message.description, "sh -c 'exit 3' '" + repeated("\xC3\xA9", 90) + ellipsis)
      << pipe.Raw();
  EXPECT_EQ(ended.message.job_state, "erro");
  const std::string end = ended.message.description.value_or("");
  EXPECT_EQ(
      end.rfind("sh -c 'exit 3' '" + repeated("\xC3\xA9", 79) + ellipsis + ": status 3 after ", 0),
      0u)
      << pipe.Raw();
  EXPECT_TRUE(end.ends_with(" s")) << end;

  EXPECT_EQ(Run({"--description", "nightly backup", "--", "true"}).status, 0);
  EXPECT_EQ(pipe.Next().message.description, "nightly backup") << pipe.Raw();
  EXPECT_EQ(pipe.Next().message.description.value_or("").rfind("nightly backup: ok after ", 0), 0u)
      << pipe.Raw();
}

// With --progress the bar is there from the announcement on, and each line of
// output ending in a percentage moves it: on either stream, redrawn after a
// CR, coloured. The output itself reaches the terminal unchanged.
TEST_F(ActivatorRunTest, WithProgressTheOutputsPercentagesMoveTheBar) {
  FakeJobPipe pipe;
  const RunResult run =
      Run({"--progress", "--", "sh", "-c",
           "printf 'step 1: 5%%\\n'; sleep 0.3; printf '\\r 40 %%' >&2; sleep 0.3; "
           "printf '\\r\\033[1m100%%\\033[0m\\n'; sleep 0.3"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "step 1: 5%\n\r\033[1m100%\033[0m\n");
  EXPECT_EQ(run.err, "\r 40 %");
  const ParsedJobMessage announced = pipe.Next();
  EXPECT_EQ(announced.message.progress, 0) << pipe.Raw();
  std::vector<int> shown;
  for (ParsedJobMessage update = pipe.Next();
       update.problem == JobMessageProblem::kNone && update.message.job_state == "executando";
       update = pipe.Next()) {
    EXPECT_EQ(update.message.action, "atualizar");
    shown.push_back(update.message.progress.value_or(-1));
  }
  EXPECT_EQ(shown, (std::vector<int>{5, 40, 100})) << pipe.Raw();
}

// Behind twenty open notifications the activator tells the run that its job
// waits; the user hears of it once, on standard error, and the command runs
// on until its notification gets a place.
TEST_F(ActivatorRunTest, AJobWaitingInTheQueueIsToldOnceOnStandardError) {
  StartActivator();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=F" + std::to_string(i) +
                               "&estado=executando"));
  }
  ASSERT_TRUE(server_->WaitForCalls(20, std::chrono::milliseconds(kE2eWaitMs)));
  const std::string go = Folder() + "/go";
  std::filesystem::remove(go);
  StartRunner({"--id", "Q1", "--", "sh", "-c", "while [ ! -e " + go + " ]; do sleep 0.02; done"});
  EXPECT_TRUE(WaitUntil(
      [&] { return ReadFile(Folder() + "/err").find("(position 1)") != std::string::npos; }));
  EXPECT_TRUE(ShownFor("Q1").empty());
  server_->Dismiss(server_->Calls().front().id);
  EXPECT_TRUE(WaitUntil([&] { return !ShownFor("Q1").empty(); }));
  std::ofstream(go).put('\n');
  const RunResult run = Finish();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err,
            "activator-run: the notification waits in a queue (position 1): 20 notifications are "
            "open; close some to make room\n");
  // A command that ends at once is told too, even when the activator takes
  // the job only after it ended (held by a silent client until it drops it):
  // the wrapper waits until its end is taken and reads the notice before it
  // goes.
  testing::SilentClient silent(kJobPipeName);
  ASSERT_TRUE(silent.connected());
  EXPECT_EQ(Run({"--id", "Q2", "--", "true"}).err, run.err);
}

// A shell line on a pseudo-terminal of its own, as a user's terminal runs it:
// what it writes is collected, keys are typed into it.
class PseudoTerminal {
 public:
  PseudoTerminal(const std::vector<std::string>& argv, unsigned short rows,
                 unsigned short columns) {
    winsize size{};
    size.ws_row = rows;
    size.ws_col = columns;
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment = {"PS1=PROMPT> ", "TERM=dumb", "PATH=/usr/bin:/bin",
                                            std::string("RUN=") + RUNNER_PROGRAM,
                                            "DBUS_SESSION_BUS_ADDRESS="};
    std::vector<char*> env;
    for (std::string& entry : environment) env.push_back(entry.data());
    env.push_back(nullptr);
    pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      ::execve(args[0], args.data(), env.data());
      ::_exit(127);
    }
  }
  ~PseudoTerminal() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }

  bool started() const { return pid_ > 0; }

  void Type(const std::string& keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  void Resize(unsigned short rows, unsigned short columns) {
    winsize size{};
    size.ws_row = rows;
    size.ws_col = columns;
    ::ioctl(master_, TIOCSWINSZ, &size);
  }

  // Reads until `text` has been written after what earlier waits consumed;
  // false if it never comes (or the terminal closes first).
  bool WaitFor(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kE2eWaitMs);
    for (;;) {
      if (const std::size_t at = seen_.find(text, consumed_); at != std::string::npos) {
        consumed_ = at + text.size();
        return true;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      pollfd fd{master_, POLLIN, 0};
      if (::poll(&fd, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) return false;
      seen_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  // Until a program on it has taken every key for itself (raw mode, signal
  // keys included, unlike a shell's line editor), as activator-run does while
  // its command runs in the foreground.
  bool WaitForRawMode() {
    return WaitUntil([&] {
      termios modes{};
      return ::tcgetattr(master_, &modes) == 0 && (modes.c_lflag & (ICANON | ISIG)) == 0;
    });
  }

  // The wait status of the program started on it once it ended, reading what
  // it writes meanwhile; nullopt if it does not end in time.
  std::optional<int> WaitForEnd() {
    int status = 0;
    const bool ended = WaitUntil([&] {
      pollfd fd{master_, POLLIN, 0};
      char buffer[4096];
      if (::poll(&fd, 1, 0) > 0)
        if (const ssize_t n = ::read(master_, buffer, sizeof buffer); n > 0)
          seen_.append(buffer, static_cast<std::size_t>(n));
      return ::waitpid(pid_, &status, WNOHANG) == pid_;
    });
    if (!ended) return std::nullopt;
    pid_ = -1;
    return status;
  }

  const std::string& seen() const { return seen_; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::string seen_;
  std::size_t consumed_ = 0;
};

TEST_F(ActivatorRunTest, OnATerminalTheCommandHasOneWithItsSizeKeysAndJobControl) {
  // The command sees a terminal of the user's size, and its changes.
  {
    PseudoTerminal terminal({"/bin/sh", "-c",
                             "exec \"$RUN\" -- sh -c '[ -t 1 ] && stty size <&1; trap \"stty size "
                             "<&1; exit 0\" WINCH; echo re\"\"ady; while :; do sleep 0.02; done'"},
                            33, 101);
    ASSERT_TRUE(terminal.started());
    EXPECT_TRUE(terminal.WaitFor("33 101\r\n")) << terminal.seen();
    ASSERT_TRUE(terminal.WaitFor("ready")) << terminal.seen();
    terminal.Resize(40, 120);
    EXPECT_TRUE(terminal.WaitFor("40 120\r\n")) << terminal.seen();
  }
  // In a job-control shell: typed input reaches the command; Ctrl-Z stops
  // it and gives the prompt back; fg resumes it, and Ctrl-C ends it.
  PseudoTerminal shell({"/bin/bash", "--norc", "--noprofile", "-i"}, 24, 80);
  ASSERT_TRUE(shell.started());
  ASSERT_TRUE(shell.WaitFor("PROMPT> ")) << shell.seen();
  shell.Type("\"$RUN\" -- sh -c 'read l; echo got:$l'\r");
  ASSERT_TRUE(shell.WaitForRawMode());
  shell.Type("hello\r");
  EXPECT_TRUE(shell.WaitFor("got:hello")) << shell.seen();
  ASSERT_TRUE(shell.WaitFor("PROMPT> ")) << shell.seen();
  shell.Type("\"$RUN\" -- sh -c 'echo sta\"\"rted; exec sleep 60'\r");
  ASSERT_TRUE(shell.WaitFor("started")) << shell.seen();
  ASSERT_TRUE(shell.WaitForRawMode());
  shell.Type("\x1a");
  EXPECT_TRUE(shell.WaitFor("Stopped")) << shell.seen();
  ASSERT_TRUE(shell.WaitFor("PROMPT> ")) << shell.seen();
  shell.Type("fg\r");
  ASSERT_TRUE(shell.WaitForRawMode());
  shell.Type("\x03");
  ASSERT_TRUE(shell.WaitFor("PROMPT> ")) << shell.seen();
  shell.Type("echo status=$?\r");
  EXPECT_TRUE(shell.WaitFor("status=130")) << shell.seen();
}

// Ctrl-C ends the wrapper by SIGINT too, once the job's end is reported, as
// shells expect of a command: a loop of runs stops at the first.
TEST_F(ActivatorRunTest, CtrlCEndsTheWrapperBySigintAfterItReportedTheEnd) {
  StartActivator();
  PseudoTerminal terminal(
      {"/bin/sh", "-c", "exec \"$RUN\" --id I1 -- sh -c 'echo re\"\"ady; exec sleep 60'"}, 24, 80);
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.WaitFor("ready")) << terminal.seen();
  ASSERT_TRUE(terminal.WaitForRawMode());
  terminal.Type("\x03");
  const std::optional<int> status = terminal.WaitForEnd();
  ASSERT_TRUE(status.has_value()) << terminal.seen();
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << *status;
  WaitForLastForm("I1", "Processo com erro\nI1");
}

}  // namespace
}  // namespace activator::testing
