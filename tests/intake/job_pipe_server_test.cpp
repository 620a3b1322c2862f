// The job pipe server, fed through a real pipe by a bare client (a Unix
// socket on POSIX, a named pipe on Windows), with the in-memory notification
// centre behind the update dispatch.
#include "intake/job_pipe_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/build_constants.h"
#include "base/mutex.h"
#include "jobs/job_details.h"
#include "jobs/job_registry.h"
#include "log/debug_log.h"
#include "notify/job_notifications.h"
#include "platform/fake/fake_notification_centre.h"
#include "platform/pipes.h"
#include "platform/silent_client.h"
#include "support/log_capture.h"
#include "support/platform_guard.h"
#include "support/test_lab.h"

#if !defined(_WIN32)
#include <sys/socket.h>
#include <unistd.h>

#include "platform/posix/pipe_names.h"
#include "platform/socket_test_client.h"
#endif

namespace activator {
namespace {

using Lines = std::vector<std::string>;
using testing::InOrder;
using testing::LogTail;

// What the worker does for one message: open the pipe, write, close.
bool SendAsWorker(const std::string& pipe_name, const std::string& bytes) {
#if defined(_WIN32)
  return WriteMessageToPipe(pipe_name, bytes).status == PipeSendStatus::kSent;
#else
  return testing::SendToSocket(SocketPathForPipe(pipe_name), bytes);
#endif
}

constexpr std::size_t kReadLimit = 4095;

class JobPipeServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TheJobRegistry().ResetForTesting();
    TheJobDetails().ResetForTesting();
    fake::Reset();
    pipe_name_ = "\\\\.\\pipe\\" + testing::UniqueName("jobs");
    NewInstance();  // the pipe exists from here on
  }

  void NewInstance() {
    instance_ = CreateJobPipeInstance(pipe_name_);
    ASSERT_TRUE(instance_.has_value());
  }

  // Serves the connection of a client that wrote `bytes`; returns the lines
  // logged meanwhile. The client runs on a thread of its own: a message longer
  // than the pipe's buffer is written only as the server reads.
  Lines Deliver(const std::string& bytes) {
    LogTail tail;
    auto client = std::async(std::launch::async, [&] { return SendAsWorker(pipe_name_, bytes); });
    EXPECT_TRUE(ServeOneJobConnection(*instance_, manager_));
    EXPECT_EQ(client.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    // Whether the writer of an overlong message hears of the rest dropped
    // depends on the port's buffers.
    const bool sent = client.get();
    if (bytes.size() <= kReadLimit) {
      EXPECT_TRUE(sent);
    }
    return tail.Lines();
  }

  const AppNotificationManager manager_ = AppNotificationManager::Default();
  std::string pipe_name_;
  std::optional<PipeServerInstance> instance_;
};

JobRegistry& Registry() { return TheJobRegistry(); }

std::optional<std::string> Form(const std::string& job_id) {
  auto shown = fake::Find(job_id, kJobNotificationGroup);
  if (!shown || shown->texts.size() < 2) return std::nullopt;
  return shown->texts[1];
}

TEST_F(JobPipeServerTest, ContinuarRecordsThePipeAndQueuesEvenAFinishedJobAgain) {
  const std::string message = "acao=continuar&id_execucao=J1&pipe=P1&estado=executando";
  EXPECT_EQ(Deliver(message), (Lines{"PYTHON PIPE RECEIVED=" + message, "PYTHON PIPE DESTINO=P1",
                                     "PYTHON ACAO=continuar", "PYTHON ID=J1",
                                     "PYTHON ESTADO=executando", "VELDUNA RECEBEU=J1"}));
  EXPECT_EQ(Registry().FindReplyPipe("J1"), "P1");
  EXPECT_EQ(Registry().FindJobState("J1"), "executando");
  EXPECT_EQ(Registry().QueuedIds(), Lines{"J1"});

  Registry().SetJobState("J1", "concluido");
  Deliver(message);
  EXPECT_EQ(Registry().FindJobState("J1"), "concluido");
  EXPECT_EQ(Registry().QueuedIds(), (Lines{"J1", "J1"}));
  EXPECT_EQ(fake::Count(), 0u);  // announcing shows nothing by itself
}

TEST_F(JobPipeServerTest, AtualizarWithoutPipeKeepsTheOldPipeAndShowsTheNewForm) {
  Deliver("acao=continuar&id_execucao=J1&pipe=P1&estado=executando");
  // Taken as the consumer does: in the centre, so the new form is shown now.
  ASSERT_EQ(Registry().TakeNextJob(), "J1");
  const Lines lines = Deliver("acao=atualizar&id_execucao=J1&estado=erro");
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 6),
            (Lines{"PYTHON PIPE RECEIVED=acao=atualizar&id_execucao=J1&estado=erro",
                   "PYTHON PIPE DESTINO=", "PYTHON ACAO=atualizar", "PYTHON ID=J1",
                   "PYTHON ESTADO=erro", "VELDUNA ESTADO REGISTRADO=J1 ESTADO=erro"}));
  // What follows is the dispatch's own logging.
  EXPECT_EQ(lines[6], "ENTROU ERRO");
  EXPECT_EQ(lines.back(), "SAIU ERRO");
  EXPECT_EQ(Registry().FindReplyPipe("J1"), "P1");
  EXPECT_EQ(Registry().FindJobState("J1"), "erro");
  EXPECT_TRUE(Registry().QueuedIds().empty());  // the update queued nothing
  EXPECT_EQ(Form("J1"), "Processo com erro");
}

TEST_F(JobPipeServerTest, PipeAfterTheStateBelongsToTheStateAndIsStillRecorded) {
  const Lines lines = Deliver("acao=atualizar&id_execucao=J1&estado=concluido&pipe=P2");
  EXPECT_EQ(Registry().FindReplyPipe("J1"), "P2");
  EXPECT_EQ(Registry().FindJobState("J1"), "concluido&pipe=P2");
  EXPECT_EQ(lines.back(), "VELDUNA ESTADO REGISTRADO=J1 ESTADO=concluido&pipe=P2");
  EXPECT_EQ(fake::Count(), 0u);  // neither "concluido" nor "erro": no form
}

TEST_F(JobPipeServerTest, MissingFieldsAndExtraFields) {
  EXPECT_EQ(Deliver("acao=continuar&id_execucao=J2"),
            (Lines{"PYTHON PIPE RECEIVED=acao=continuar&id_execucao=J2",
                   "PYTHON PIPE DESTINO=", "PYTHON ACAO=continuar", "PYTHON ID=J2",
                   "PYTHON ESTADO=", "VELDUNA RECEBEU=J2"}));
  EXPECT_EQ(Registry().FindReplyPipe("J2"), std::nullopt);
  EXPECT_EQ(Registry().FindJobState("J2"), "executando");

  const Lines extra = Deliver("acao=continuar&id_execucao=J3&x=1&estado=y");
  EXPECT_EQ(extra.back(), "VELDUNA RECEBEU=J3");
  EXPECT_EQ(Registry().QueuedIds(), (Lines{"J2", "J3"}));
}

// Each optional field gets a line of its own after the fields every message
// has; a value that cannot be used is reported and the rest still counts. A
// job that asked is told on its reply pipe that it waits behind the display
// limit, and only such a job.
TEST_F(JobPipeServerTest, OptionalFieldsAreLoggedAndAQueuedJobIsToldOnlyIfItAsked) {
  EXPECT_EQ(Deliver("acao=continuar&id_execucao=J1&descricao=make%20-j8&progresso=x"),
            (Lines{"PYTHON PIPE RECEIVED=acao=continuar&id_execucao=J1&descricao=make%20-j8&"
                   "progresso=x",
                   "PYTHON PIPE DESTINO=", "PYTHON ACAO=continuar", "PYTHON ID=J1",
                   "PYTHON ESTADO=", "PYTHON PROGRESSO INVALIDO=x", "PYTHON DESCRICAO=make -j8",
                   "VELDUNA RECEBEU=J1"}));
  EXPECT_EQ(TheJobDetails().Find("J1").description, "make -j8");
  EXPECT_EQ(TheJobDetails().Find("J1").progress, std::nullopt);

  Registry().RefreshOnScreenView(JobRegistry::kDisplayLimit, {});
  const std::string reply_pipe = "\\\\.\\pipe\\" + testing::UniqueName("reply");
  std::optional<PipeServerInstance> reply = PipeServerInstance::Create(reply_pipe, nullptr);
  ASSERT_TRUE(reply.has_value());
  auto event = std::async(std::launch::async, [&] {
    if (!reply->WaitForClient()) return std::string();
    return reply->ReadMessage(kReadLimit, std::chrono::seconds(10), std::chrono::milliseconds(50))
        .bytes;
  });
  const std::string asks =
      "acao=continuar&id_execucao=J2&progresso=5&avisos=fila&pipe=" + reply_pipe + "&estado=executando";
  const Lines told = Deliver(asks);
  EXPECT_EQ(Lines(told.end() - 4, told.end()),
            (Lines{"PYTHON PROGRESSO=5", "PYTHON AVISOS=fila", "VELDUNA RECEBEU=J2",
                   "VELDUNA FILA AVISADA=J2 POSICAO=2"}));
  ASSERT_EQ(event.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(event.get(), "acao=fila&id_execucao=J2&posicao=2&estado=executando");

  const Lines untold =
      Deliver("acao=continuar&id_execucao=J3&pipe=" + reply_pipe + "&estado=executando");
  EXPECT_EQ(untold.back(), "VELDUNA RECEBEU=J3");
}

TEST_F(JobPipeServerTest, OtherActionsOnlyRecordThePipe) {
  Deliver("acao=continuar&id_execucao=J1&pipe=P1&estado=executando");
  EXPECT_EQ(
      Deliver("acao=abortar&id_execucao=J1&pipe=P3&estado=x"),
      (Lines{"PYTHON PIPE RECEIVED=acao=abortar&id_execucao=J1&pipe=P3&estado=x",
             "PYTHON PIPE DESTINO=P3", "PYTHON ACAO=abortar", "PYTHON ID=J1", "PYTHON ESTADO=x"}));
  EXPECT_EQ(Registry().FindReplyPipe("J1"), "P3");
  EXPECT_EQ(Registry().FindJobState("J1"), "executando");

  // Actions compare whole and case-sensitively.
  EXPECT_EQ(Deliver("acao=Continuar&id_execucao=J4").back(), "PYTHON ESTADO=");
  EXPECT_EQ(Deliver("acao=atualizar &id_execucao=J4&estado=erro").back(), "PYTHON ESTADO=erro");
  EXPECT_FALSE(Registry().HasJobState("J4"));
  EXPECT_EQ(Registry().QueuedIds(), Lines{"J1"});
  EXPECT_EQ(fake::Count(), 0u);
}

TEST_F(JobPipeServerTest, ClientClosingWithoutWritingIsSilentAndTheNextIsServed) {
  LogTail tail;
  EXPECT_TRUE(Deliver("").empty());
  EXPECT_TRUE(tail.Lines().empty());
  EXPECT_EQ(Deliver("acao=continuar&id_execucao=J1").back(), "VELDUNA RECEBEU=J1");
}

// The one instance serves client after client and holds the name between
// them: no other server (another user's, in another session) can take it and
// receive the workers' messages.
TEST_F(JobPipeServerTest, OneInstanceServesEveryClientAndKeepsTheName) {
  EXPECT_EQ(Deliver("acao=continuar&id_execucao=J1").back(), "VELDUNA RECEBEU=J1");
  if (testing::kWindowsPort) {
    PipeErrorCode error = 0;
    EXPECT_FALSE(PipeServerInstance::Create(pipe_name_, &error).has_value());
    // ERROR_ACCESS_DENIED; wine 8 ignores FILE_FLAG_FIRST_PIPE_INSTANCE and
    // finds the one instance taken (ERROR_PIPE_BUSY).
    EXPECT_TRUE(error == 5u || error == 231u) << error;
  }
  EXPECT_EQ(Deliver("acao=continuar&id_execucao=J2").back(), "VELDUNA RECEBEU=J2");
}

// A client that connects and writes nothing is dropped after kJobMessageWait
// with a line of its own; the worker after it is served.
TEST_F(JobPipeServerTest, SilentClientIsDroppedAndTheNextIsServed) {
  LogTail tail;
  testing::SilentClient silent(pipe_name_);
  ASSERT_TRUE(silent.connected());
  auto served =
      std::async(std::launch::async, [&] { ServeOneJobConnection(*instance_, manager_); });
  const bool dropped =
      served.wait_for(kJobMessageWait + std::chrono::seconds(30)) == std::future_status::ready;
  silent.Close();  // releases a server that would wait for ever
  served.wait();
  ASSERT_TRUE(dropped);
  EXPECT_EQ(tail.Lines(), Lines{"PYTHON PIPE TIMEOUT"});
  EXPECT_EQ(Deliver("acao=continuar&id_execucao=J1").back(), "VELDUNA RECEBEU=J1");
}

TEST_F(JobPipeServerTest, MessageIsCutAtTheLimitAndAtTheFirstNul) {
  const std::string head = "acao=continuar&id_execucao=J4&estado=";
  const std::string exact = head + std::string(4095 - head.size(), 'i');
  EXPECT_EQ(Deliver(exact).front(), "PYTHON PIPE RECEIVED=" + exact);

  const std::string longer = head + std::string(6000, 'k');
  const Lines lines = Deliver(longer);
  EXPECT_EQ(lines.front(), "PYTHON PIPE RECEIVED=" + longer.substr(0, 4095));
  EXPECT_TRUE(InOrder(
      lines, {"PYTHON ESTADO=" + std::string(4095 - head.size(), 'k'), "VELDUNA RECEBEU=J4"}));

  const std::string with_nul("acao=continuar&id_execucao=J5\0&pipe=X&estado=erro", 48);
  EXPECT_EQ(Deliver(with_nul), (Lines{"PYTHON PIPE RECEIVED=acao=continuar&id_execucao=J5",
                                      "PYTHON PIPE DESTINO=", "PYTHON ACAO=continuar",
                                      "PYTHON ID=J5", "PYTHON ESTADO=", "VELDUNA RECEBEU=J5"}));
  EXPECT_EQ(Registry().FindReplyPipe("J5"), std::nullopt);

  // What follows the cut never reaches the next connection.
  EXPECT_EQ(Deliver("acao=continuar&id_execucao=J6").front(),
            "PYTHON PIPE RECEIVED=acao=continuar&id_execucao=J6");
}

TEST_F(JobPipeServerTest, MalformedMessagesAreReportedAndChangeNothing) {
  EXPECT_EQ(Deliver("acao"),
            (Lines{"PYTHON PIPE RECEIVED=acao", "PYTHON PIPE MENSAGEM INVALIDA=CURTA"}));
  EXPECT_EQ(Deliver(std::string("\0acao=continuar&id_execucao=J1", 30)),
            (Lines{"PYTHON PIPE RECEIVED=", "PYTHON PIPE MENSAGEM INVALIDA=CURTA"}));
  EXPECT_EQ(Deliver("acao=continuar&pipe=P1&estado=erro"),
            (Lines{"PYTHON PIPE RECEIVED=acao=continuar&pipe=P1&estado=erro",
                   "PYTHON PIPE MENSAGEM INVALIDA=SEM ID_EXECUCAO"}));
  EXPECT_EQ(Deliver("&id_execucao=J1&pipe=P1").back(),
            "PYTHON PIPE MENSAGEM INVALIDA=ID_EXECUCAO ANTES DA ACAO");
  // A job id that would come back from the notification platform changed.
  const std::string bad_id = std::string("J\xff") + "1";
  const std::string bad = "acao=continuar&id_execucao=" + bad_id + "&pipe=P1&estado=executando";
  EXPECT_EQ(Deliver(bad), (Lines{"PYTHON PIPE RECEIVED=" + bad,
                                 "PYTHON PIPE MENSAGEM INVALIDA=ID_EXECUCAO NAO UTF-8"}));
  // An id that cannot be the notification's tag.
  const std::string long_id = "acao=continuar&id_execucao=" + std::string(65, 'J') + "&pipe=P1";
  EXPECT_EQ(Deliver(long_id).back(), "PYTHON PIPE MENSAGEM INVALIDA=ID_EXECUCAO LONGO DEMAIS");
  EXPECT_TRUE(Registry().QueuedIds().empty());
  EXPECT_FALSE(Registry().HasJobState("J1"));
  EXPECT_EQ(Registry().FindReplyPipe(""), std::nullopt);
  EXPECT_EQ(Registry().FindReplyPipe("J1"), std::nullopt);
  EXPECT_EQ(Registry().FindReplyPipe(bad_id), std::nullopt);
  // One the session bus would refuse: the job could never be shown.
  EXPECT_EQ(Deliver("acao=continuar&id_execucao=J\xef\xbf\xbe&estado=x").back(),
            "PYTHON PIPE MENSAGEM INVALIDA=ID_EXECUCAO COM NAO-CARACTERE");
  EXPECT_TRUE(Registry().QueuedIds().empty());
}

// A worker that stalls mid-message leaves its beginning, ended by the pause
// instead of its close. Short of its last field it would record what
// the worker never said (an update with an empty state); once "&estado=" is
// there it is taken as any message, since a cut inside the state's value
// cannot be told from a shorter value.
TEST_F(JobPipeServerTest, MessageEndedByAPauseIsActedOnOnlyWithEveryField) {
  struct Case {
    std::string bytes;
    bool acted_on;
  };
  const Case cases[] = {
      {"acao=atualizar&id_execucao=J1", false},
      {"acao=atualizar&id_execucao=J1&pipe=P2&est", false},
      {"acao=atualiz", false},
      {"acao=atualizar&id_execucao=J1&estado=concluido", true},
  };
  Registry().AnnounceJob("J1");
  for (const Case& c : cases) {
    LogTail tail;
    testing::SilentClient client(pipe_name_);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.Write(c.bytes));
    EXPECT_TRUE(ServeOneJobConnection(*instance_, manager_));
    client.Close();
    const Lines lines = tail.Lines();
    if (c.acted_on) {
      EXPECT_TRUE(InOrder(lines, {"PYTHON PIPE RECEIVED=" + c.bytes,
                                  "VELDUNA ESTADO REGISTRADO=J1 ESTADO=concluido"}))
          << c.bytes;
      EXPECT_EQ(Registry().FindJobState("J1"), "concluido");
    } else {
      EXPECT_EQ(lines, (Lines{"PYTHON PIPE RECEIVED=" + c.bytes,
                              "PYTHON PIPE MENSAGEM INVALIDA=CORTADA"}));
      EXPECT_EQ(Registry().FindJobState("J1"), "executando") << c.bytes;
    }
  }
  EXPECT_EQ(Registry().FindReplyPipe("J1"), std::nullopt);
}

// A value cannot write a line of its own into the log, nor a command for the
// terminal of whoever follows it; ordinary values are logged as they came.
// A message written as a line ends with its line end; one left inside is the
// worker's and stays, named in the log.
TEST_F(JobPipeServerTest, LineEndThatEndsTheMessageEndsTheState) {
  const struct {
    const char* end;
    const char* state;
    Lines notes;
  } cases[] = {
      {"\n", "concluido", {"PYTHON PIPE FIM DE LINHA REMOVIDO"}},
      {"\r\n", "concluido", {"PYTHON PIPE FIM DE LINHA REMOVIDO"}},
      {"\n\n", "concluido\n",
       {"PYTHON PIPE FIM DE LINHA REMOVIDO", "PYTHON PIPE MENSAGEM COM VARIAS LINHAS"}},
  };
  for (const auto& c : cases) {
    const Lines lines = Deliver(std::string("acao=atualizar&id_execucao=J1&estado=concluido") + c.end);
    ASSERT_GT(lines.size(), c.notes.size());
    EXPECT_EQ(Lines(lines.begin() + 1, lines.begin() + 1 + c.notes.size()), c.notes) << c.state;
    EXPECT_EQ(Registry().FindJobState("J1"), c.state);
  }
}

TEST_F(JobPipeServerTest, ControlCharactersOfAMessageAreLoggedVisibly) {
  const Lines lines =
      Deliver("acao=continuar&id_execucao=J\nVELDUNA SERVICO DE VOLTA&estado=\x1b[2J");
  EXPECT_EQ(lines,
            (Lines{"PYTHON PIPE RECEIVED=acao=continuar&id_execucao=J\\x0AVELDUNA SERVICO DE "
                   "VOLTA&estado=\\x1B[2J",
                   "PYTHON PIPE MENSAGEM COM VARIAS LINHAS", "PYTHON PIPE DESTINO=",
                   "PYTHON ACAO=continuar", "PYTHON ID=J\\x0AVELDUNA SERVICO DE VOLTA",
                   "PYTHON ESTADO=\\x1B[2J",
                   "VELDUNA RECEBEU=J\\x0AVELDUNA SERVICO DE VOLTA"}));
  EXPECT_EQ(Registry().QueuedIds(), Lines{"J\nVELDUNA SERVICO DE VOLTA"});
}

TEST_F(JobPipeServerTest, CreationFailureIsLoggedWithTheErrno) {
#if defined(_WIN32)
  GTEST_SKIP() << "made with a Unix socket of another server";
#else
  const std::string busy = "\\\\.\\pipe\\" + testing::UniqueName("busy");
  sockaddr_un addr;
  socklen_t length = 0;
  ASSERT_EQ(MakeSocketAddress(SocketPathForPipe(busy), &addr, &length), 0);
  UniqueFd other(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(other.get(), reinterpret_cast<const sockaddr*>(&addr), length), 0);
  ASSERT_EQ(::listen(other.get(), 8), 0);

  LogTail tail;
  EXPECT_FALSE(CreateJobPipeInstance(busy).has_value());
  EXPECT_EQ(tail.Lines(), Lines{"PYTHON PIPE CREATE FAILED=" + FormatErrorCode(EADDRINUSE)});
#endif
}

// Fifty workers write at the same moment; every message must arrive. (A named
// pipe of one instance turns away whoever comes while it is taken: there the
// worker's retry is what delivers.)
TEST_F(JobPipeServerTest, ConcurrentClientsAreAllServed) {
#if defined(_WIN32)
  GTEST_SKIP() << "later clients queue only on a Unix socket";
#else
  constexpr int kClients = 50;
  std::atomic<int> served{0};
  std::thread server([&] {
    for (int i = 0; i < kClients; ++i) {
      ServeOneJobConnection(*instance_, manager_);
      ++served;
    }
  });
  std::vector<std::thread> clients;
  std::atomic<int> sent{0};
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      if (SendAsWorker(pipe_name_, "acao=continuar&id_execucao=C" + std::to_string(i))) ++sent;
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(sent.load(), kClients);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (served.load() < kClients && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // Release a server stuck waiting for messages that never came.
  for (int i = served.load(); i < kClients; ++i) SendAsWorker(pipe_name_, "");
  server.join();

  std::set<std::string> expected;
  for (int i = 0; i < kClients; ++i) expected.insert("C" + std::to_string(i));
  const Lines queued = Registry().QueuedIds();
  EXPECT_EQ(std::set<std::string>(queued.begin(), queued.end()), expected);
  EXPECT_EQ(queued.size(), static_cast<std::size_t>(kClients));
#endif
}

// The thread body on the build's own job pipe. It never returns, so it runs in
// a child process that ends once the message has been handled.
TEST_F(JobPipeServerTest, ThreadBodyServesTheJobPipe) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        LogTail tail;
        std::thread([m = manager_] { RunJobPipeServer(m); }).detach();
        bool ok = tail.WaitForLine("PYTHON PIPE SERVER START");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!SendAsWorker(kJobPipeName, "acao=continuar&id_execucao=JT&pipe=PT") &&
               std::chrono::steady_clock::now() < deadline) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ok = ok && tail.WaitForLine("VELDUNA RECEBEU=JT");
        ok = ok && Registry().FindReplyPipe("JT") == "PT";
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// A state update waits for a show under way: the dispatch runs under the
// display lock, taken only after the state is stored.
TEST_F(JobPipeServerTest, UpdateDispatchWaitsForTheDisplayLock) {
  Registry().AnnounceJob("JD");  // in the centre, so the update is shown at once
  ASSERT_EQ(Registry().TakeNextJob(), "JD");
  LogTail tail;
  Mutex& display = g_display_lock;
  display.Lock();
  EXPECT_TRUE(SendAsWorker(pipe_name_, "acao=atualizar&id_execucao=JD&estado=erro"));
  std::thread server([this] { ServeOneJobConnection(*instance_, manager_); });
  EXPECT_TRUE(tail.WaitForLine("VELDUNA ESTADO REGISTRADO=JD ESTADO=erro"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Registry().FindJobState("JD"), "erro");
  EXPECT_FALSE(fake::Find("JD", kJobNotificationGroup).has_value());
  EXPECT_EQ(tail.Lines().back(), "VELDUNA ESTADO REGISTRADO=JD ESTADO=erro");
  display.Unlock();
  server.join();
  EXPECT_EQ(Form("JD"), "Processo com erro");
}

// Someone removes the job pipe's socket file while the server waits for a
// client: the server binds the path again instead of waiting for ever on a
// listener nobody can reach.
TEST_F(JobPipeServerTest, SocketFileRemovedWhileWaitingIsBoundAgain) {
#if defined(_WIN32)
  GTEST_SKIP() << "a named pipe has no file to remove";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        LogTail tail;
        std::thread([m = manager_] { RunJobPipeServer(m); }).detach();
        const std::string path = SocketPathForPipe(kJobPipeName);
        auto send_until_delivered = [&](const std::string& message) {
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
          while (!testing::SendToSocket(path, message)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
          return true;
        };
        bool ok = send_until_delivered("acao=continuar&id_execucao=JA");
        ok = ok && tail.WaitForLine("VELDUNA RECEBEU=JA");
        ok = ok && ::unlink(path.c_str()) == 0;
        ok = ok && send_until_delivered("acao=continuar&id_execucao=JB");
        ok = ok && tail.WaitForLine("VELDUNA RECEBEU=JB");
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
}  // namespace activator
