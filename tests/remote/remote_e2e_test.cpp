// activator-remote end to end: the desktop's activator on a private bus with
// the scripted notification server, and two real sshd servers in namespaces
// of their own (tests/remote/private_sshd.py), which share nothing with the
// desktop but the link. Workers there are the real activator-run, started
// over ssh; the desktop runs the real activator-remote, one per server.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <random>
#include <set>
#include <sstream>

#include "activation/editor_record.h"
#include "dbus/e2e_support.h"
#include "remote/remote_ids.h"

namespace activator::testing {
namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Folder() { return LabPath("remote"); }

// The pids of the servers' --serve processes, the keeper (whose standard
// input is /dev/null) apart from the sessions ssh started.
struct ServeProcesses {
  std::vector<int> keepers;
  std::vector<int> sessions;
};

ServeProcesses FindServeProcesses() {
  ServeProcesses found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string command = ReadWhole(entry.path() / "cmdline");
    if (command != std::string(REMOTE_SERVER_PROGRAM) + '\0' + "--serve" + '\0') continue;
    std::error_code unreadable;
    const bool keeper =
        std::filesystem::read_symlink(entry.path() / "fd/0", unreadable) == "/dev/null";
    (keeper ? found.keepers : found.sessions).push_back(std::stoi(name));
  }
  return found;
}

// Kills what activator-remote started: its ssh.
void KillSshOf(const ProgramProcess& remote) {
  std::system(("pkill -KILL -P " + std::to_string(remote.pid())).c_str());
}

// One private sshd, run by private_sshd.py --serve until the test ends.
struct Server {
  ProgramProcess sshd;
  std::vector<std::string> ssh_options;  // without the destination
  std::string user;
  std::string destination;
  std::string label;
  ProgramProcess remote;  // the desktop's activator-remote for it
  std::string remote_log;

  bool Start(const std::string& name, const std::string& destination_host) {
    const std::string out = Folder() + "/" + name + "-sshd.txt";
    // The child empties it only once it runs: an earlier run's lines must
    // not be read meanwhile.
    std::filesystem::remove(out);
    std::filesystem::remove(Blocked());
    sshd.SetOutput(out, Folder() + "/" + name + "-sshd-errors.txt");
    if (!sshd.Start(PYTHON_PROGRAM, {PRIVATE_SSHD_SCRIPT, "--serve", "--hide", LabPath("")}, {}))
      return false;
    std::vector<std::string> words;
    WaitUntil([&] {
      std::istringstream line(ReadWhole(out));
      words.assign(std::istream_iterator<std::string>(line), {});
      return words.size() > 2 || !sshd.Running();
    });
    if (words.size() < 3 || words[0] != "ssh") return false;
    ssh_options.assign(words.begin() + 1, words.end() - 1);
    user = words.back().substr(0, words.back().find('@'));
    destination = user + "@" + destination_host;
    label = remote::MakeServerLabel(destination);
    remote_log = Folder() + "/" + name + "-remote.txt";
    return true;
  }

  bool StartRemote() {
    std::vector<std::string> args = ssh_options;
    args.insert(args.end(), {"--server-program", REMOTE_SERVER_PROGRAM, destination});
    std::filesystem::remove(remote_log);
    remote.SetOutput(Folder() + "/remote-out.txt", remote_log);
    return remote.Start(REMOTE_DESKTOP_PROGRAM, args, {{"ACTIVATOR_SSH", BlockableSsh()}});
  }

  // ssh, unless `Blocked()` exists: then it fails as a host out of reach does.
  static std::string BlockableSsh() {
    const std::string path = Folder() + "/ssh-unless-blocked.sh";
    std::ofstream(path) << "#!/bin/sh\n[ -e " << Blocked() << " ] && exit 255\nexec ssh \"$@\"\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
  }
  static std::string Blocked() { return Folder() + "/ssh-blocked"; }

  bool Says(const std::string& words) const {
    return ReadWhole(remote_log).find(words) != std::string::npos;
  }

  int Links() const {
    int count = 0;
    std::istringstream lines(ReadWhole(remote_log));
    for (std::string line; std::getline(lines, line);)
      if (line.starts_with("activator-remote: linked to ")) ++count;
    return count;
  }

  // `command` on the server, through ssh as any session there.
  bool Run(ProgramProcess& run, const std::vector<std::string>& command) {
    std::vector<std::string> args = ssh_options;
    args.push_back(destination);
    args.push_back("--");
    args.insert(args.end(), command.begin(), command.end());
    run.SetOutput(Folder() + "/run-out.txt", Folder() + "/run-errors.txt");
    return run.Start("/usr/bin/ssh", args, {});
  }

  ~Server() {
    remote.Kill();
    // SIGINT: the script stops its sshd, and the namespace goes with it.
    if (sshd.Running()) ::kill(sshd.pid(), SIGINT);
    sshd.WaitForExit(10000);
  }
};

class RemoteE2eTest : public BusRunTest {
 protected:
  // The notifications shown for the desktop id `id`, as "<title>\n<line>".
  std::vector<NotifyCall> ShownFor(const std::string& id) {
    std::vector<NotifyCall> shown;
    for (const NotifyCall& call : server_->Calls()) {
      if (!call.body.ends_with("\n" + id)) continue;
      NotifyCall form = call;
      form.body.erase(form.body.rfind('\n'));
      shown.push_back(form);
    }
    return shown;
  }

  // The last form shown for `id` once its title is `title`.
  std::optional<NotifyCall> WaitForTitle(const std::string& id, const std::string& title) {
    std::optional<NotifyCall> last;
    WaitUntil([&] {
      const std::vector<NotifyCall> shown = ShownFor(id);
      if (!shown.empty() && shown.back().body.starts_with(title + "\n")) last = shown.back();
      return last.has_value();
    });
    return last;
  }

  // Notifications, not Notify calls: a job set to its end just as the queue
  // takes it has its form shown by the update and again, in place, by the
  // queue.
  std::size_t CountTitle(const std::string& id, const std::string& title) {
    std::set<uint32_t> notifications;
    for (const NotifyCall& call : ShownFor(id))
      if (call.body.starts_with(title + "\n")) notifications.insert(call.id);
    return notifications.size();
  }
};

TEST_F(RemoteE2eTest, AServersJobsShowOnTheDesktopAndTheirClicksGoBack) {
  if (::geteuid() != 0) GTEST_SKIP() << "the private sshd needs root";
  std::filesystem::create_directories(Folder());
  ForgetEditorCalls();
  StartBus();
  StartServer();
  StartProgram();
  Server a, b;
  ASSERT_TRUE(a.Start("a", "127.0.0.1"));
  // The same machine under another name: another server to the desktop.
  ASSERT_TRUE(b.Start("b", "localhost"));
  for (Server* s : {&a, &b}) {
    ASSERT_TRUE(s->StartRemote());
    ASSERT_TRUE(WaitUntil([&] { return s->Links() == 1; })) << ReadWhole(s->remote_log);
  }
  const std::string id_a = remote::DesktopJobId(a.label, "J1");
  const std::string id_b = remote::DesktopJobId(b.label, "J1");

  enum class Step {
    kAbort,
    kResultWithWorkerGone,
    kSameIdOnAnotherServer,
    kLinkKilled,
    kNoLink,
    kServeSessionKilled,
    kJobPipeServedAlready,
    kProgress,
    kNoResultOnServer,
    kResultWithWorkerAlive,
    kFloodWithKills,
  };
  struct Case {
    const char* name;
    Step step;
    Server* server;
    const char* job;
    std::vector<std::string> command;
    // Before the click: activator-remote started again, or the link dropped
    // with no way back until activator-remote was started again.
    enum { kLinked, kRestarted, kDownAndRestarted } before_click = kLinked;
  } cases[] = {
      {"abortar ends the command on the server", Step::kAbort, &a, "J1", {"sleep", "60"}},
      {"abortar still reaches it after the link came back",
       Step::kAbort,
       &a,
       "J2",
       {"sleep", "60"},
       Case::kRestarted},
      {"abortar clicked while no link is up waits on disk for the next one",
       Step::kAbort,
       &a,
       "J3",
       {"sleep", "60"},
       Case::kDownAndRestarted},
      {"Exibir Resultado with the worker gone opens a copy here",
       Step::kResultWithWorkerGone,
       &a,
       "R1",
       {"echo", "hello-from-the-server"}},
      {"the same id on another server is another job",
       Step::kSameIdOnAnotherServer,
       &b,
       "J1",
       {"true"}},
      {"a job that ends while the desktop is down shows once",
       Step::kLinkKilled,
       &a,
       "K1",
       {"true"}},
      {"a job run while no link is up is kept and shows once when one is",
       Step::kNoLink,
       &a,
       "N1",
       {"true"}},
      {"the server's keeper outlives a killed --serve session",
       Step::kServeSessionKilled,
       &a,
       "S1",
       {"true"}},
      {"a second link to a served job pipe is refused there",
       Step::kJobPipeServedAlready,
       &b,
       "",
       {}},
      {"a job's progress moves its bar", Step::kProgress, &b, "P1", {}},
      {"Exibir Resultado with no result on the server says so", Step::kNoResultOnServer, &b, "R2",
       {}},
      {"Exibir Resultado with the worker alive reaches it there",
       Step::kResultWithWorkerAlive,
       &a,
       "W1",
       {}},
      {"a flood while ssh, --serve, the activator and activator-remote are ended shows each "
       "job's end once, at most 20 at a time",
       Step::kFloodWithKills,
       &a,
       "F",
       {}},
  };
  // The sample worker, run there as its author would, in the server's lab.
  const std::vector<std::string> worker = {"python3", SOURCE_ROOT "/examples/worker.py", "--lab",
                                           "$HOME/.local/share/zorvell-lab"};
  const auto run_worker = [&](Server& server, const std::string& words) {
    ProgramProcess step;
    std::vector<std::string> args = worker;
    args.push_back(words);
    return server.Run(step, args) && step.WaitForExit(kE2eWaitMs) == 0;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string id = remote::DesktopJobId(c.server->label, c.job);
    std::vector<std::string> command = {REMOTE_RUNNER_PROGRAM, "--id", c.job, "--"};
    command.insert(command.end(), c.command.begin(), c.command.end());
    ProgramProcess run;
    switch (c.step) {
      case Step::kAbort: {
        ASSERT_TRUE(c.server->Run(run, command));
        const std::optional<NotifyCall> running = WaitForTitle(id, "Processo em andamento");
        ASSERT_TRUE(running) << ::testing::PrintToString(server_->Calls());
        // The server's name, then what ran there.
        EXPECT_EQ(running->body, "Processo em andamento\n127.0.0.1: sleep 60");
        if (c.before_click == Case::kRestarted) {
          c.server->remote.Kill();
          ASSERT_TRUE(c.server->StartRemote());
          ASSERT_TRUE(WaitUntil([&] { return c.server->Links() == 1; }))
              << ReadWhole(c.server->remote_log);
        }
        if (c.before_click == Case::kDownAndRestarted) {
          std::ofstream{Server::Blocked()};
          KillSshOf(c.server->remote);
          ASSERT_TRUE(WaitUntil([&] { return c.server->Says("dropped"); }));
        }
        server_->Click(running->id, running->actions.at(0));
        if (c.before_click == Case::kDownAndRestarted) {
          ASSERT_TRUE(WaitUntil([&] { return c.server->Says("goes once it is back"); }));
          c.server->remote.Kill();
          ASSERT_TRUE(c.server->StartRemote());
          ASSERT_TRUE(WaitUntil([&] { return c.server->Says("clicks kept from before"); }))
              << ReadWhole(c.server->remote_log);
          std::filesystem::remove(Server::Blocked());
        }
        EXPECT_EQ(run.WaitForExit(kE2eWaitMs), 128 + SIGTERM);
        break;
      }
      case Step::kResultWithWorkerGone: {
        ASSERT_TRUE(c.server->Run(run, command));
        ASSERT_EQ(run.WaitForExit(kE2eWaitMs), 0);
        const std::optional<NotifyCall> done = WaitForTitle(id, "Processo Concluido");
        ASSERT_TRUE(done);
        server_->Click(done->id, done->actions.at(0));
        const std::optional<EditorCall> editor = WaitForEditorCall(kE2eWaitMs);
        ASSERT_TRUE(editor);
        ASSERT_EQ(editor->arguments.size(), 1u);
        const std::filesystem::path copy = editor->arguments[0];
        EXPECT_EQ(copy.parent_path(), std::filesystem::path(kResultsPrefix).parent_path());
        EXPECT_NE(ReadWhole(copy).find("hello-from-the-server"), std::string::npos);
        EXPECT_EQ(std::filesystem::status(copy).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        break;
      }
      case Step::kSameIdOnAnotherServer: {
        ASSERT_TRUE(c.server->Run(run, command));
        ASSERT_EQ(run.WaitForExit(kE2eWaitMs), 0);
        const std::optional<NotifyCall> done = WaitForTitle(id_b, "Processo Concluido");
        ASSERT_TRUE(done);
        EXPECT_TRUE(done->body.starts_with("Processo Concluido\nlocalhost: true: ok after"))
            << done->body;
        ASSERT_FALSE(ShownFor(id_a).empty());
        EXPECT_NE(done->id, ShownFor(id_a).back().id);
        break;
      }
      case Step::kLinkKilled: {
        // The desktop's activator is down: the server keeps what it sends.
        program_.Kill();
        ASSERT_TRUE(c.server->Run(run, command));
        ASSERT_EQ(run.WaitForExit(kE2eWaitMs), 0);
        c.server->remote.Kill();
        StartProgramKeepingState();
        ASSERT_TRUE(c.server->StartRemote());
        ASSERT_TRUE(WaitForTitle(id, "Processo Concluido")) << ReadWhole(c.server->remote_log);
        // A job after it has come through: anything sent again came before.
        ProgramProcess later;
        ASSERT_TRUE(c.server->Run(later, {REMOTE_RUNNER_PROGRAM, "--id", "K2", "--", "true"}));
        ASSERT_EQ(later.WaitForExit(kE2eWaitMs), 0);
        ASSERT_TRUE(
            WaitForTitle(remote::DesktopJobId(c.server->label, "K2"), "Processo Concluido"));
        EXPECT_EQ(CountTitle(id, "Processo Concluido"), 1u);
        break;
      }
      case Step::kNoLink: {
        c.server->remote.Kill();
        // a's session is gone, b's stays.
        ASSERT_TRUE(WaitUntil([] { return FindServeProcesses().sessions.size() == 1; }));
        ASSERT_TRUE(c.server->Run(run, command));
        ASSERT_EQ(run.WaitForExit(kE2eWaitMs), 0);
        EXPECT_EQ(ReadWhole(Folder() + "/run-errors.txt").find("no activator"), std::string::npos)
            << ReadWhole(Folder() + "/run-errors.txt");
        ASSERT_TRUE(c.server->StartRemote());
        ASSERT_TRUE(WaitForTitle(id, "Processo Concluido")) << ReadWhole(c.server->remote_log);
        ProgramProcess later;
        ASSERT_TRUE(c.server->Run(later, {REMOTE_RUNNER_PROGRAM, "--id", "N2", "--", "true"}));
        ASSERT_EQ(later.WaitForExit(kE2eWaitMs), 0);
        ASSERT_TRUE(
            WaitForTitle(remote::DesktopJobId(c.server->label, "N2"), "Processo Concluido"));
        EXPECT_EQ(CountTitle(id, "Processo Concluido"), 1u);
        break;
      }
      case Step::kServeSessionKilled: {
        const ServeProcesses before = FindServeProcesses();
        ASSERT_EQ(before.sessions.size(), 2u);
        ASSERT_EQ(before.keepers.size(), 2u);  // one on each server
        for (const int session : before.sessions) ::kill(session, SIGKILL);
        // Each desktop links again, to the keeper that was there.
        ASSERT_TRUE(WaitUntil([&] { return a.Links() == 2 && b.Links() == 2; }));
        const ServeProcesses after = FindServeProcesses();
        EXPECT_EQ(std::set<int>(after.keepers.begin(), after.keepers.end()),
                  std::set<int>(before.keepers.begin(), before.keepers.end()));
        ASSERT_TRUE(c.server->Run(run, command));
        ASSERT_EQ(run.WaitForExit(kE2eWaitMs), 0);
        ASSERT_TRUE(WaitForTitle(id, "Processo Concluido"));
        break;
      }
      case Step::kJobPipeServedAlready: {
        // Another name for server b, so the desktop takes it for a server of
        // its own; b's job pipe is served by the first link's server side.
        const int links = b.Links();
        std::vector<std::string> args = c.server->ssh_options;
        args.insert(args.end(),
                    {"-l", c.server->user, "--server-program", REMOTE_SERVER_PROGRAM, "localhost"});
        const std::string log = Folder() + "/second-remote.txt";
        std::filesystem::remove(log);
        ProgramProcess second;
        second.SetOutput(Folder() + "/second-out.txt", log);
        ASSERT_TRUE(second.Start(REMOTE_DESKTOP_PROGRAM, args, {}));
        EXPECT_TRUE(WaitUntil([&] {
          return ReadWhole(log).find("(another program serves the job pipe on localhost)") !=
                 std::string::npos;
        })) << ReadWhole(log);
        EXPECT_NE(
            ReadWhole(log).find("activator-remote --serve: another program serves the job pipe"),
            std::string::npos);
        ::kill(second.pid(), SIGTERM);
        EXPECT_EQ(second.WaitForExit(kE2eWaitMs), 0) << ReadWhole(log);
        EXPECT_EQ(b.Links(), links);  // the first link stays
        break;
      }
      case Step::kProgress: {
        for (const char* step : {"announce P1 --progress 30", "progress P1 70"})
          ASSERT_TRUE(run_worker(*c.server, step)) << ReadWhole(Folder() + "/run-errors.txt");
        EXPECT_TRUE(WaitUntil([&] {
          return !ShownFor(id).empty() && ShownFor(id).back().value == 70;
        }));
        break;
      }
      case Step::kNoResultOnServer: {
        for (const char* step : {"announce R2", "update R2 concluido"})
          ASSERT_TRUE(run_worker(*c.server, step)) << ReadWhole(Folder() + "/run-errors.txt");
        const std::optional<NotifyCall> done = WaitForTitle(id, "Processo Concluido");
        ASSERT_TRUE(done);
        server_->Click(done->id, done->actions.at(0));
        EXPECT_TRUE(WaitUntil([&] {
          return ShownFor(id).back().body ==
                 "Processo Concluido\nlocalhost: resultado não trazido: o trabalho não deixou "
                 "índice de resultado";
        })) << ShownFor(id).back().body;
        break;
      }
      case Step::kResultWithWorkerAlive: {
        std::vector<std::string> args = worker;
        args.insert(args.end(),
                    {"run", c.job, "--work", "0", "--clicks", "1", "--serve-for", "60"});
        ASSERT_TRUE(c.server->Run(run, args));
        const std::optional<NotifyCall> done = WaitForTitle(id, "Processo Concluido");
        ASSERT_TRUE(done);
        ForgetEditorCalls();
        server_->Click(done->id, done->actions.at(0));
        ASSERT_EQ(run.WaitForExit(kE2eWaitMs), 0) << ReadWhole(Folder() + "/run-errors.txt");
        EXPECT_EQ(ReadWhole(Folder() + "/run-out.txt"),
                  "acao=salvar&id_execucao=W1&estado=concluido\n");
        EXPECT_FALSE(WaitForEditorCall(0));  // the worker has it, not the desktop's editor
        break;
      }
      case Step::kFloodWithKills: {
        for (const uint32_t open : server_->OpenIds()) server_->Dismiss(open);
        ASSERT_TRUE(WaitUntil([&] { return server_->OpenIds().empty(); }));
        server_->ResetMaxOpen();
        constexpr int kJobs = 60;
        ASSERT_TRUE(c.server->Run(run, {"for i in $(seq 1 " + std::to_string(kJobs) + "); do " +
                                        REMOTE_RUNNER_PROGRAM + " --id F$i -- true; done"}));
        const unsigned seed = std::random_device{}();
        SCOPED_TRACE("kills drawn with seed " + std::to_string(seed));
        std::mt19937 draw(seed);
        while (run.Running()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50 + draw() % 250));
          switch (draw() % 4) {
            case 0:
              KillSshOf(c.server->remote);
              break;
            case 1:  // the server side ssh started
              for (const int session : FindServeProcesses().sessions) ::kill(session, SIGKILL);
              break;
            case 2:  // the activator, ended as its session ends it (SIGKILL in the
                     // moment between a Notify and noting its id leaves that
                     // notification behind: the server names none it shows)
              ::kill(program_.pid(), SIGTERM);
              program_.WaitForExit(kE2eWaitMs);
              StartProgramKeepingState();
              break;
            case 3:
              c.server->remote.Kill();
              ASSERT_TRUE(c.server->StartRemote());
              break;
          }
        }
        ASSERT_EQ(run.WaitForExit(kE2eWaitMs), 0) << ReadWhole(Folder() + "/run-errors.txt");
        // The spool hands on in order: once a last job has reached the
        // activator, so has everything sent again after a kill. (A message
        // whose activator-remote was killed while the activator acted on it
        // comes twice; a job closed in between would come back.)
        ASSERT_TRUE(c.server->Run(run, {REMOTE_RUNNER_PROGRAM, "--id", "F-end", "--", "true"}));
        ASSERT_TRUE(WaitUntil([&] {
          return CountLines(log_.Lines(), "VELDUNA ESTADO REGISTRADO=" +
                                              remote::DesktopJobId(c.server->label, "F-end") +
                                              " ESTADO=concluido") > 0;
        }));
        // Then what waits in the queue comes out as the user closes what was
        // shown.
        std::set<std::string> ended;
        EXPECT_TRUE(WaitUntil(
            [&] {
              for (int i = 1; i <= kJobs; ++i) {
                const std::string job =
                    remote::DesktopJobId(c.server->label, "F" + std::to_string(i));
                const std::vector<NotifyCall> shown = ShownFor(job);
                if (shown.empty() || !shown.back().body.starts_with("Processo Concluido\n"))
                  continue;
                if (ended.insert(job).second) server_->Dismiss(shown.back().id);
              }
              return ended.size() == kJobs;
            },
            4 * kE2eWaitMs))
            << ended.size() << " of " << kJobs << " ended\n" << ReadWhole(c.server->remote_log);
        // One notification each, later forms in its place (one sent as the
        // test closed it comes back under a new id: a replacement still).
        for (const std::string& job : ended)
          EXPECT_EQ(NewNotifications(ShownFor(job)).size(), 1u) << job;
        EXPECT_LE(server_->MaxOpen(), 20u);
        break;
      }
    }
  }
}

}  // namespace
}  // namespace activator::testing
