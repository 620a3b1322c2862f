// The activation handler end to end: a click in the in-memory centre, the
// worker's reply socket served by the test, the stand-in editor for results.
#include "activation/activation_handler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "activation/editor_record.h"
#include "activation/reply_listener.h"
#include "base/build_constants.h"
#include "jobs/job_registry.h"
#include "notify/job_notifications.h"
#include "notify/result_notice.h"
#include "platform/fake/fake_notification_centre.h"
#include "support/log_capture.h"
#include "support/platform_guard.h"
#include "support/test_lab.h"

namespace activator {
namespace {

using Lines = std::vector<std::string>;
using testing::LogTail;
using testing::ReplyListener;

class ActivationHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    TheJobRegistry().ResetForTesting();
    testing::ForgetEditorCalls();
    manager_.emplace(AppNotificationManager::Default());
    manager_->NotificationInvoked(&OnNotificationInvoked);
  }

  const AppNotificationManager& manager() const { return *manager_; }

  // Shows a job's notification as the queue consumer would, under the
  // display lock.
  void Show(JobNotificationForm form, const std::string& job_id) {
    MutexLock display(g_display_lock);
    ShowJobNotification(manager(), job_id, form);
  }

  // A job whose result index names an existing file; returns that file.
  static std::string GiveJobAResult(const std::string& job_id) {
    std::filesystem::create_directories(testing::LabPath("results"));
    const std::string result = testing::LabPath("results/" + job_id + ".txt");
    testing::WriteFile(result, "result");
    testing::WriteFile(std::string(kResultsPrefix) + job_id + ".path", result + "\n");
    return result;
  }

  static bool Click(const std::string& job_id) {
    return fake::InvokeButton(job_id, kJobNotificationGroup);
  }

  // The Windows build's editor is notepad.exe, which a test must not open.
  static bool OpensTheEditor() { return testing::kWindowsPort; }
  // A named pipe of one instance turns away a second client until the worker
  // has read the first.
  static bool QueuesClients() { return !testing::kWindowsPort; }

  static std::map<std::u16string, std::u16string> Arguments(std::u16string action,
                                                            std::u16string job_id,
                                                            std::u16string state) {
    return {{u"acao", std::move(action)},
            {u"id_execucao", std::move(job_id)},
            {u"estado", std::move(state)}};
  }

 private:
  std::optional<AppNotificationManager> manager_;
};

TEST_F(ActivationHandlerTest, DeliveredAbortReachesTheWorkerAndIsLogged) {
  ReplyListener worker;
  ASSERT_TRUE(worker.listening());
  TheJobRegistry().RecordReplyPipe("J1", worker.pipe_name());
  Show(JobNotificationForm::kInProgress, "J1");
  GiveJobAResult("J1");

  LogTail log;
  ASSERT_TRUE(Click("J1"));

  const std::string message = "acao=abortar&id_execucao=J1&estado=executando";
  EXPECT_EQ(worker.ReceiveOne(), message);
  EXPECT_EQ(log.Lines(),
            (Lines{"=== WPN INVOKED ===", "WPN PIPE DESTINO=" + worker.pipe_name(),
                   "EVENT=" + message, "PIPE CONNECT", "PIPE SENT=" + message, "EVENT SENT"}));
  EXPECT_FALSE(testing::EditorWasStarted());
}

TEST_F(ActivationHandlerTest, UndeliveredAbortIsDropped) {
  ReplyListener worker;
  TheJobRegistry().RecordReplyPipe("J1", worker.pipe_name());
  Show(JobNotificationForm::kInProgress, "J1");
  GiveJobAResult("J1");
  worker.Close();

  LogTail log;
  ASSERT_TRUE(Click("J1"));

  const std::string message = "acao=abortar&id_execucao=J1&estado=executando";
  EXPECT_EQ(log.Lines(), (Lines{"=== WPN INVOKED ===", "WPN PIPE DESTINO=" + worker.pipe_name(),
                                "EVENT=" + message, "PIPE CONNECT", "PIPE FAILED=2"}));
  EXPECT_FALSE(testing::EditorWasStarted());
}

TEST_F(ActivationHandlerTest, UndeliveredSaveOpensTheResultLocally) {
  if (OpensTheEditor()) GTEST_SKIP() << "would open notepad.exe";
  ReplyListener worker;
  TheJobRegistry().RecordReplyPipe("42", worker.pipe_name());
  Show(JobNotificationForm::kConcluded, "42");
  const std::string result = GiveJobAResult("42");
  worker.Close();

  LogTail log;
  ASSERT_TRUE(Click("42"));

  const std::string message = "acao=salvar&id_execucao=42&estado=concluido";
  EXPECT_EQ(log.Lines(), (Lines{"=== WPN INVOKED ===", "WPN PIPE DESTINO=" + worker.pipe_name(),
                                "EVENT=" + message, "PIPE CONNECT", "PIPE FAILED=2",
                                "RESULTADO ABERTO PELO INDICE=" + result}));
  const auto editor = testing::WaitForEditorCall();
  ASSERT_TRUE(editor.has_value());
  EXPECT_EQ(editor->arguments, Lines{result});
}

TEST_F(ActivationHandlerTest, SaveForAJobWithoutReplyPipeOpensTheResultLocally) {
  if (OpensTheEditor()) GTEST_SKIP() << "would open notepad.exe";
  // Announced without a pipe, or never announced: the registry has no pipe.
  Show(JobNotificationForm::kError, "J7");
  const std::string result = GiveJobAResult("J7");

  LogTail log;
  ASSERT_TRUE(Click("J7"));

  const std::string message = "acao=salvar&id_execucao=J7&estado=erro";
  EXPECT_EQ(log.Lines(),
            (Lines{"=== WPN INVOKED ===", "WPN PIPE DESTINO=", "EVENT=" + message, "PIPE CONNECT",
                   "PIPE FAILED=2", "RESULTADO ABERTO PELO INDICE=" + result}));
  ASSERT_TRUE(testing::WaitForEditorCall().has_value());
}

// The log is off by default: a result that cannot be opened is told where
// the user looks, beside the job's notification and outside its group.
TEST_F(ActivationHandlerTest, ResultThatCannotBeOpenedIsToldOnScreen) {
  Show(JobNotificationForm::kConcluded, "J8");
  LogTail log;
  ASSERT_TRUE(Click("J8"));
  EXPECT_EQ(log.Lines().back(), "AVISO RESULTADO NAO ABERTO MOSTRADO=J8");
  const auto notice = fake::Find("J8", kNoticeNotificationGroup);
  ASSERT_TRUE(notice.has_value());
  EXPECT_EQ(notice->texts,
            (Lines{"Zorvell Lab", "Resultado não aberto",
                   "o trabalho não deixou o índice do resultado: " + std::string(kResultsPrefix) +
                       "J8.path"}));
  EXPECT_TRUE(fake::Find("J8", kJobNotificationGroup).has_value());
}

TEST_F(ActivationHandlerTest, DeliveredSaveLeavesTheOpeningToTheWorker) {
  ReplyListener worker;
  TheJobRegistry().RecordReplyPipe("42", worker.pipe_name());
  Show(JobNotificationForm::kConcluded, "42");
  GiveJobAResult("42");

  LogTail log;
  ASSERT_TRUE(Click("42"));

  const std::string message = "acao=salvar&id_execucao=42&estado=concluido";
  EXPECT_EQ(worker.ReceiveOne(), message);
  EXPECT_EQ(log.Lines(),
            (Lines{"=== WPN INVOKED ===", "WPN PIPE DESTINO=" + worker.pipe_name(),
                   "EVENT=" + message, "PIPE CONNECT", "PIPE SENT=" + message, "EVENT SENT"}));
  EXPECT_FALSE(testing::EditorWasStarted());
}

TEST_F(ActivationHandlerTest, OnlyTheExactSaveActionOpensLocally) {
  GiveJobAResult("42");
  // No pipe recorded: the empty name is ERROR_PATH_NOT_FOUND on Windows.
  const std::string failed = testing::kWindowsPort ? "PIPE FAILED=3" : "PIPE FAILED=2";
  for (const std::u16string action : {u"Salvar", u"SALVAR", u"salvar ", u""}) {
    LogTail log;
    fake::InvokeWithArguments(Arguments(action, u"42", u"concluido"));
    const Lines lines = log.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), failed);
  }
  EXPECT_FALSE(testing::EditorWasStarted());
}

TEST_F(ActivationHandlerTest, MissingArgumentsSendNothing) {
  ReplyListener worker;
  TheJobRegistry().RecordReplyPipe("42", worker.pipe_name());
  GiveJobAResult("42");
  const std::string pipe_line = "WPN PIPE DESTINO=" + worker.pipe_name();

  struct Case {
    std::map<std::u16string, std::u16string> arguments;
    Lines lines;
  } cases[] = {
      // A click that names no button asks for nothing and is no error.
      {{}, {"=== WPN INVOKED ===", "WPN INVOKED SEM ARGUMENTOS"}},
      {{{u"id_execucao", u"42"}, {u"estado", u"concluido"}},
       {"=== WPN INVOKED ===", "WPN CALLBACK ERROR"}},
      {{{u"acao", u"salvar"}, {u"estado", u"concluido"}},
       {"=== WPN INVOKED ===", "WPN CALLBACK ERROR"}},
      // The state is looked up only after the pipe.
      {{{u"acao", u"salvar"}, {u"id_execucao", u"42"}},
       {"=== WPN INVOKED ===", pipe_line, "WPN CALLBACK ERROR"}},
  };
  for (const Case& c : cases) {
    LogTail log;
    fake::InvokeWithArguments(c.arguments);
    EXPECT_EQ(log.Lines(), c.lines);
  }
  EXPECT_FALSE(worker.HasPendingConnection());
  EXPECT_FALSE(testing::EditorWasStarted());
}

TEST_F(ActivationHandlerTest, PlatformFailuresOfAnyKindAreContained) {
  ReplyListener worker;
  TheJobRegistry().RecordReplyPipe("42", worker.pipe_name());
  const Lines expected{"=== WPN INVOKED ===", "WPN CALLBACK ERROR"};

  fake::FailOperation(fake::Operation::Arguments, kHrFail);
  LogTail platform_error;
  fake::InvokeWithArguments(Arguments(u"abortar", u"42", u"executando"));
  EXPECT_EQ(platform_error.Lines(), expected);

  fake::FailOperationWithOtherError(fake::Operation::Arguments);
  LogTail other_error;
  fake::InvokeWithArguments(Arguments(u"abortar", u"42", u"executando"));
  EXPECT_EQ(other_error.Lines(), expected);

  EXPECT_FALSE(worker.HasPendingConnection());
}

TEST_F(ActivationHandlerTest, ValuesAreSentAsTheyAreWithEveryField) {
  ReplyListener worker;
  TheJobRegistry().RecordReplyPipe("a&b=c", worker.pipe_name());

  // No escaping of separators; UTF-16 values arrive as UTF-8.
  fake::InvokeWithArguments(Arguments(u"abortar", u"a&b=c", u"conclu\u00eddo"));
  EXPECT_EQ(worker.ReceiveOne(),
            "acao=abortar&id_execucao=a&b=c&estado=conclu\xC3\xAD"
            "do");

  // An empty state still gives its field.
  LogTail log;
  fake::InvokeWithArguments(Arguments(u"abortar", u"a&b=c", u""));
  const std::string message = "acao=abortar&id_execucao=a&b=c&estado=";
  EXPECT_EQ(worker.ReceiveOne(), message);
  EXPECT_EQ(log.Lines().back(), "EVENT SENT");
}

TEST_F(ActivationHandlerTest, EachClickSendsItsOwnMessage) {
  if (!QueuesClients()) GTEST_SKIP() << "the second click finds the worker busy";
  ReplyListener worker;
  TheJobRegistry().RecordReplyPipe("J1", worker.pipe_name());
  Show(JobNotificationForm::kInProgress, "J1");

  ASSERT_TRUE(Click("J1"));
  ASSERT_TRUE(Click("J1"));

  const std::string message = "acao=abortar&id_execucao=J1&estado=executando";
  EXPECT_EQ(worker.ReceiveOne(), message);
  EXPECT_EQ(worker.ReceiveOne(), message);
  EXPECT_FALSE(worker.HasPendingConnection());
}

TEST_F(ActivationHandlerTest, TheButtonsStateIsSentNotTheRegistrys) {
  ReplyListener worker;
  TheJobRegistry().RecordReplyPipe("J1", worker.pipe_name());
  TheJobRegistry().SetJobState("J1", "executando");
  Show(JobNotificationForm::kInProgress, "J1");
  TheJobRegistry().SetJobState("J1", "concluido");

  ASSERT_TRUE(Click("J1"));
  EXPECT_EQ(worker.ReceiveOne(), "acao=abortar&id_execucao=J1&estado=executando");
}

TEST_F(ActivationHandlerTest, ClicksOverlapWithEachOtherAndWithPipeUpdates) {
  if (!QueuesClients()) GTEST_SKIP() << "later clicks find the worker busy";
  constexpr int kClicksPerThread = 10;
  ReplyListener worker(/*backlog=*/64);
  TheJobRegistry().RecordReplyPipe("J1", worker.pipe_name());

  // The job pipe server keeps rewriting the job's pipe (with the same name)
  // while two platform threads deliver clicks.
  std::thread pipe_server([&] {
    for (int i = 0; i < 200; ++i) TheJobRegistry().RecordReplyPipe("J1", worker.pipe_name());
  });
  auto clicks = [] {
    for (int i = 0; i < kClicksPerThread; ++i)
      fake::InvokeWithArguments(Arguments(u"abortar", u"J1", u"executando"));
  };
  std::thread first(clicks);
  std::thread second(clicks);
  first.join();
  second.join();
  pipe_server.join();

  for (int i = 0; i < 2 * kClicksPerThread; ++i)
    EXPECT_EQ(worker.ReceiveOne(), "acao=abortar&id_execucao=J1&estado=executando");
  EXPECT_FALSE(worker.HasPendingConnection());
}

}  // namespace
}  // namespace activator
