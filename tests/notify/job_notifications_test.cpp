// Job notifications against the in-memory centre: what each form puts on
// screen, what it logs, and that no failure of the platform escapes to the
// queue consumer or the job pipe server.
#include "notify/job_notifications.h"

#include <gtest/gtest.h>

#include <future>

#include "base/build_constants.h"
#include "jobs/job_details.h"
#include "jobs/job_registry.h"
#include "platform/fake/fake_notification_centre.h"
#include "support/log_capture.h"

namespace activator {
namespace {

using namespace std::chrono_literals;
using fake::Operation;
using testing::LogTail;
using Lines = std::vector<std::string>;
using Arguments = std::vector<std::pair<std::string, std::string>>;

const std::string kGroup = kJobNotificationGroup;

class JobNotificationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    TheJobRegistry().ResetForTesting();
    TheJobDetails().ResetForTesting();
    MutexLock display(g_display_lock);
    ResetDisplayRecordForTesting();
  }
  void TearDown() override { fake::Reset(); }

  // Makes `job_id` pending the way the queue consumer does.
  static void TakeJob(const std::string& job_id) {
    TheJobRegistry().AnnounceJob(job_id);
    ASSERT_EQ(TheJobRegistry().TakeNextJob(), job_id);
  }

  // The tests take the callers' part, which hold the display lock.
  void Show(JobNotificationForm form, const std::string& job_id) {
    MutexLock display(g_display_lock);
    ShowJobNotification(manager_, job_id, form);
  }
  void Dispatch(const std::string& job_id, const std::string& job_state) {
    MutexLock display(g_display_lock);
    DispatchStateUpdate(manager_, job_id, job_state);
  }

  // One round of the updater, with whatever progress changed since the last.
  void Refresh() {
    const std::vector<std::string> changed = TheJobDetails().TakeProgressChanges(0ms);
    MutexLock display(g_display_lock);
    RefreshJobNotifications(manager_, changed, /*count_due=*/true);
  }
  // The calls that put something on screen or changed it, since `from`.
  static Lines ScreenCalls(std::size_t from = 0) {
    Lines calls;
    const Lines record = fake::Record();
    for (std::size_t i = from; i < record.size(); ++i) {
      if (record[i].rfind("Show", 0) == 0 || record[i].rfind("UpdateProgress", 0) == 0)
        calls.push_back(record[i]);
    }
    return calls;
  }

  AppNotificationManager manager_ = AppNotificationManager::Default();
};

struct FormCase {
  const char* name;
  JobNotificationForm form;
  const char* title;
  const char* caption;
  const char* action;
  const char* state;
  Lines success_lines;  // without the inventory
  const char* failed_line;
};

const FormCase kForms[] = {
    {"InProgress",
     JobNotificationForm::kInProgress,
     "Processo em andamento",
     "abortar",
     "abortar",
     "executando",
     {"BUILD NOTIFICATION OK", "SHOW OK"},
     "SHOW FAILED"},
    {"Concluded",
     JobNotificationForm::kConcluded,
     "Processo Concluido",
     "Exibir Resultado",
     "salvar",
     "concluido",
     {"ENTROU MOSTRAR CONCLUIDA", "BUILD CONCLUIDA OK", "SHOW CONCLUIDA OK"},
     "SHOW CONCLUIDA FAILED"},
    {"Error",
     JobNotificationForm::kError,
     "Processo com erro",
     "Exibir Resultado",
     "salvar",
     "erro",
     {"ENTROU MOSTRAR ERRO", "BUILD ERRO OK", "SHOW ERRO OK"},
     "SHOW ERRO FAILED"},
};

class JobNotificationFormTest : public JobNotificationsTest,
                                public ::testing::WithParamInterface<FormCase> {};

TEST_P(JobNotificationFormTest, BuildsInOrderShowsAndLogsTheInventory) {
  const FormCase& form = GetParam();
  LogTail log;
  Show(form.form, "J1");

  const std::string image = kNotificationImageUri;
  EXPECT_EQ(
      fake::Record(),
      (Lines{"SetHeroImage " + image, "SetTag J1", "SetGroup " + kGroup, "AddText Zorvell Lab",
             std::string("AddText ") + form.title, std::string("AddArgument acao=") + form.action,
             "AddArgument id_execucao=J1", std::string("AddArgument estado=") + form.state,
             std::string("AddButton ") + form.caption, "BuildNotification", "Show J1|" + kGroup}));
  auto shown = fake::Find("J1", kGroup);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->image, image);
  EXPECT_EQ(shown->texts, (Lines{"Zorvell Lab", form.title}));
  ASSERT_EQ(shown->buttons.size(), 1u);
  EXPECT_EQ(shown->buttons[0].caption, form.caption);
  EXPECT_EQ(shown->buttons[0].arguments,
            (Arguments{{"acao", form.action}, {"id_execucao", "J1"}, {"estado", form.state}}));

  Lines expected = form.success_lines;
  expected.push_back("GETALL TOTAL=1");
  expected.push_back("GETALL TAG=J1 GROUP=" + kGroup);
  EXPECT_EQ(log.Lines(), expected);
}

// Whatever step fails, the caller goes on and the failure line is the last
// word; only the in-progress form gives its pending place back.
TEST_P(JobNotificationFormTest, AnyFailingStepIsContainedWithTheFormsFailureLine) {
  const FormCase& form = GetParam();
  const bool withdraws = std::string(form.name) == "InProgress";
  const Operation operations[] = {Operation::CreateBuilder, Operation::CreateUri,
                                  Operation::SetHeroImage,  Operation::SetTag,
                                  Operation::SetGroup,      Operation::AddText,
                                  Operation::CreateButton,  Operation::AddArgument,
                                  Operation::AddButton,     Operation::BuildNotification,
                                  Operation::Show};
  for (Operation op : operations) {
    for (bool platform_error : {true, false}) {
      SCOPED_TRACE(static_cast<int>(op));
      SCOPED_TRACE(platform_error);
      fake::Reset();
      TheJobRegistry().ResetForTesting();
      TakeJob("J1");
      if (platform_error) {
        fake::FailOperation(op, kHrInvalidArg);
      } else {
        fake::FailOperationWithOtherError(op);
      }
      LogTail log;
      EXPECT_NO_THROW(Show(form.form, "J1"));

      Lines lines = log.Lines();
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.back(), form.failed_line);
      // The build line is written only once the notification was built.
      const std::string& built = form.success_lines[form.success_lines.size() - 2];
      EXPECT_EQ(std::count(lines.begin(), lines.end(), built), op == Operation::Show ? 1 : 0);
      EXPECT_EQ(fake::Count(), 0u);
      EXPECT_EQ(TheJobRegistry().PendingIds().count("J1"), withdraws ? 0u : 1u);
      EXPECT_EQ(TheJobRegistry().FindJobState("J1"), "executando");
      EXPECT_TRUE(TheJobRegistry().QueuedIds().empty());
    }
  }
}

// A show that succeeded stays a success when only the listing after it fails.
TEST_P(JobNotificationFormTest, AFailedOrTimedOutInventoryDoesNotUndoTheShow) {
  const FormCase& form = GetParam();
  TakeJob("J1");
  fake::HoldListings(true);
  fake::SetListingWaitCap(10ms);
  LogTail log;
  Show(form.form, "J1");
  Lines expected = form.success_lines;
  expected.push_back("GETALL ERRO: EXCECAO AO CONSULTAR GETALL");
  EXPECT_EQ(log.Lines(), expected);
  EXPECT_EQ(fake::Count(), 1u);
  EXPECT_EQ(TheJobRegistry().PendingIds(), (std::set<std::string>{"J1"}));
}

INSTANTIATE_TEST_SUITE_P(Forms, JobNotificationFormTest, ::testing::ValuesIn(kForms),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(JobNotificationFormTest, TheDescriptionIsOnEveryFormTheBarOnlyWhileInProgress) {
  const FormCase& c = GetParam();
  TheJobDetails().Record("J1", "make -j8", 40);
  Show(c.form, "J1");
  auto shown = fake::Find("J1", kGroup);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->texts, (Lines{"Zorvell Lab", c.title, "make -j8"}));
  const bool in_progress = c.form == JobNotificationForm::kInProgress;
  EXPECT_EQ(shown->progress_bar, in_progress);
  EXPECT_EQ(shown->progress, in_progress ? std::optional<double>(0.4) : std::nullopt);
  EXPECT_FALSE(shown->suppress_display);
}

TEST_F(JobNotificationsTest, AnErrorUpdateLogsTheWholeSequence) {
  TakeJob("J1");
  fake::ForeignNotification("X", "outro");
  LogTail log;
  Dispatch("J1", "erro");
  EXPECT_EQ(log.Lines(), (Lines{"ENTROU ERRO", "ENTROU MOSTRAR ERRO", "BUILD ERRO OK",
                                "SHOW ERRO OK", "GETALL TOTAL=2", "GETALL TAG=X GROUP=outro",
                                "GETALL TAG=J1 GROUP=" + kGroup, "SAIU ERRO"}));
}

TEST_F(JobNotificationsTest, AFailedErrorShowStillEndsWithSaiuErro) {
  TakeJob("J1");
  fake::FailOperation(Operation::Show, kHrFail);
  LogTail log;
  Dispatch("J1", "erro");
  EXPECT_EQ(log.Lines(), (Lines{"ENTROU ERRO", "ENTROU MOSTRAR ERRO", "BUILD ERRO OK",
                                "SHOW ERRO FAILED", "SAIU ERRO"}));
}

TEST_F(JobNotificationsTest, OnlyTheExactFinalStatesShowAnything) {
  TakeJob("J1");
  LogTail log;
  for (const char* state :
       {"executando", "Concluido", "concluido ", " erro", "ERRO", "", "abortado"})
    Dispatch("J1", state);
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(fake::Record().empty());

  Dispatch("J1", "concluido");
  ASSERT_EQ(fake::Count(), 1u);
  EXPECT_EQ(fake::Shown()[0].texts[1], "Processo Concluido");
}

TEST_F(JobNotificationsTest, AFinalFormReplacesTheInProgressOne) {
  TakeJob("J1");
  fake::ForeignNotification("J1", "outro");
  Show(JobNotificationForm::kInProgress, "J1");
  Show(JobNotificationForm::kInProgress, "J2");
  Dispatch("J1", "concluido");
  Dispatch("J1", "concluido");  // shown again, still one

  std::vector<fake::ShownNotification> mine;
  for (auto& n : fake::Shown())
    if (n.tag == "J1" && n.group == kGroup) mine.push_back(n);
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(mine[0].texts[1], "Processo Concluido");
  EXPECT_EQ(fake::Count(), 3u);  // J2 and the other group's J1 stay
}

TEST_F(JobNotificationsTest, AnInProgressClickCarriesTheStateItWasBuiltFor) {
  std::map<std::u16string, std::u16string> clicked;
  manager_.NotificationInvoked(
      [&](const AppNotificationManager&, const AppNotificationActivatedEventArgs& args) {
        clicked = args.Arguments().values();
      });
  TheJobRegistry().SetJobState("J1", "erro");
  Show(JobNotificationForm::kInProgress, "J1");
  TheJobRegistry().SetJobState("J1", "concluido");
  ASSERT_TRUE(fake::InvokeButton("J1", kGroup));
  EXPECT_EQ(clicked,
            (std::map<std::u16string, std::u16string>{
                {u"acao", u"abortar"}, {u"id_execucao", u"J1"}, {u"estado", u"executando"}}));
}

TEST_F(JobNotificationsTest, JobIdsAreTakenAsTheyAre) {
  Show(JobNotificationForm::kInProgress, "");
  auto empty = fake::Find("", kGroup);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->buttons[0].arguments[1],
            (std::pair<std::string, std::string>{"id_execucao", ""}));

  // Non-ASCII survives; a broken byte becomes U+FFFD instead of failing the show.
  Show(JobNotificationForm::kConcluded, "J\xc3\xa9 x|y");
  EXPECT_TRUE(fake::Find("J\xc3\xa9 x|y", kGroup));
  Show(JobNotificationForm::kError, "J\xff");
  auto broken = fake::Find("J\xef\xbf\xbd", kGroup);
  ASSERT_TRUE(broken);
  EXPECT_EQ(broken->buttons[0].arguments[1].second, "J\xef\xbf\xbd");
}

// The consumer waits for a place under the display limit; a failed show must
// give the place back and wake it even though nothing appeared.
TEST_F(JobNotificationsTest, AFailedInProgressShowWakesTheWaitingConsumer) {
  TakeJob("J1");
  TheJobRegistry().RefreshOnScreenView(JobRegistry::kDisplayLimit - 1, {});
  TheJobRegistry().AnnounceJob("J2");
  auto next = std::async(std::launch::async, [] { return TheJobRegistry().TakeNextJob(); });
  EXPECT_EQ(next.wait_for(50ms), std::future_status::timeout);

  fake::FailOperation(Operation::Show, kHrFail);
  LogTail log;
  Show(JobNotificationForm::kInProgress, "J1");
  EXPECT_EQ(log.Lines(), (Lines{"BUILD NOTIFICATION OK", "SHOW FAILED"}));

  ASSERT_EQ(next.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(next.get(), "J2");
  EXPECT_EQ(TheJobRegistry().PendingIds(), (std::set<std::string>{"J2"}));
}

// A final state of a job whose notification is not in the centre - queued
// and not yet shown, or never announced - waits in the queue for a place like
// any other (queued once however often it comes), instead of passing the
// display limit; a job in the centre, pending or seen there, gets it at once.
TEST_F(JobNotificationsTest, AFinalStateOfAJobNotInTheCentreWaitsForAPlace) {
  TakeJob("P1");
  TheJobRegistry().AnnounceJob("P1");
  TheJobRegistry().AnnounceJob("Q1");
  TheJobRegistry().RefreshOnScreenView(JobRegistry::kDisplayLimit, {"S1"});
  LogTail log;
  for (const char* job : {"Q1", "U1", "U1", "P1", "S1"}) Dispatch(job, "erro");
  const Lines lines = log.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 3),
            (Lines{"VELDUNA NA FILA=Q1", "VELDUNA NA FILA=U1", "VELDUNA NA FILA=U1"}));
  EXPECT_FALSE(fake::Find("Q1", kGroup));
  EXPECT_FALSE(fake::Find("U1", kGroup));
  EXPECT_TRUE(fake::Find("P1", kGroup));
  EXPECT_TRUE(fake::Find("S1", kGroup));
  EXPECT_EQ(TheJobRegistry().QueuedIds(), (Lines{"P1", "Q1", "U1"}));
}

// A new state that no service was there to show is queued for the consumer,
// once however often it comes; a state the service refused is not.
TEST_F(JobNotificationsTest, AnUpdateWithNoServiceIsQueuedOnceARefusedOneIsNot) {
  TakeJob("J1");  // in the centre: its updates are shown at once
  TakeJob("J2");
  fake::SetServiceDown(true);
  LogTail log;
  Dispatch("J1", "concluido");
  Dispatch("J1", "erro");
  EXPECT_EQ(
      log.Lines(),
      (Lines{"ENTROU MOSTRAR CONCLUIDA", "BUILD CONCLUIDA OK", "SHOW CONCLUIDA FAILED",
             "VELDUNA SERVICO INDISPONIVEL=J1", "ENTROU ERRO", "ENTROU MOSTRAR ERRO",
             "BUILD ERRO OK", "SHOW ERRO FAILED", "SAIU ERRO", "VELDUNA SERVICO INDISPONIVEL=J1"}));
  EXPECT_EQ(TheJobRegistry().QueuedIds(), Lines{"J1"});

  fake::SetServiceDown(false);
  fake::FailOperation(Operation::Show, kHrFail);
  Dispatch("J2", "concluido");
  EXPECT_EQ(TheJobRegistry().QueuedIds(), Lines{"J1"});
}

// However many values came since the last round, one update in place shows
// the latest; a notification shown without a bar gets one quietly; a job not
// in the centre (queued, or taken but not shown yet) is left alone, one
// shown with its latest value already is not sent it again, and one the user
// closed stays closed.
TEST_F(JobNotificationsTest, ProgressIsUpdatedInPlaceWithTheLatestValue) {
  TakeJob("J1");
  TheJobDetails().Record("J1", std::nullopt, 10);
  Show(JobNotificationForm::kInProgress, "J1");
  TakeJob("J3");
  TheJobDetails().Record("J3", std::nullopt, 40);
  Show(JobNotificationForm::kInProgress, "J3");
  TakeJob("J2");
  Show(JobNotificationForm::kInProgress, "J2");
  TakeJob("T1");
  TheJobRegistry().AnnounceJob("Q1");
  const std::size_t before = fake::Record().size();

  for (int value = 11; value <= 90; ++value) TheJobDetails().Record("J1", std::nullopt, value);
  TheJobDetails().Record("J2", std::nullopt, 50);
  TheJobDetails().Record("Q1", std::nullopt, 70);
  TheJobDetails().Record("T1", std::nullopt, 30);
  LogTail log;
  Refresh();
  EXPECT_EQ(ScreenCalls(before), (Lines{"UpdateProgress J1|" + kGroup + " 90", "ShowQuietly J2|" + kGroup}));
  EXPECT_EQ(fake::Find("J1", kGroup)->progress, 0.9);
  EXPECT_EQ(fake::Find("J2", kGroup)->progress, 0.5);
  EXPECT_TRUE(fake::Find("J2", kGroup)->suppress_display);
  EXPECT_FALSE(fake::Find("Q1", kGroup));
  EXPECT_EQ(log.Lines(), (Lines{"PROGRESSO ATUALIZADO=J1 VALOR=90", "NOTIFICACAO ATUALIZADA=J2"}));

  // Nothing new: nothing sent.
  const std::size_t quiet = fake::Record().size();
  Refresh();
  EXPECT_EQ(ScreenCalls(quiet), Lines{});

  ASSERT_TRUE(fake::Dismiss("J1", kGroup));
  TheJobDetails().Record("J1", std::nullopt, 95);
  TheJobDetails().Record("J2", std::nullopt, 60);
  const std::size_t after = fake::Record().size();
  Refresh();
  EXPECT_EQ(ScreenCalls(after), (Lines{"UpdateProgress J2|" + kGroup + " 60"}));
  EXPECT_FALSE(fake::Find("J1", kGroup));
}

// The newest notification says how many jobs wait behind the display limit.
// The one that said it before keeps it until its next form: showing it again
// would move it above the newest, as the centre puts every show on top.
TEST_F(JobNotificationsTest, TheNewestNotificationCarriesTheCountOfWaitingJobs) {
  TakeJob("A");
  Show(JobNotificationForm::kInProgress, "A");
  EXPECT_EQ(fake::Find("A", kGroup)->attribution, "");
  TheJobRegistry().RefreshOnScreenView(JobRegistry::kDisplayLimit, {"A", "B"});
  TheJobRegistry().AnnounceJob("Q1");
  TheJobRegistry().AnnounceJob("Q2");
  Refresh();
  EXPECT_EQ(fake::Find("A", kGroup)->attribution, "+2 na fila");
  EXPECT_TRUE(fake::Find("A", kGroup)->suppress_display);

  Show(JobNotificationForm::kConcluded, "B");
  EXPECT_EQ(fake::Find("B", kGroup)->attribution, "+2 na fila");
  Refresh();
  EXPECT_EQ(fake::Shown().back().tag, "B");

  TheJobRegistry().RefreshOnScreenView(2, {"A", "B"});  // room again: nobody waits
  const std::size_t before = fake::Record().size();
  Refresh();
  EXPECT_EQ(ScreenCalls(before), Lines{"ShowQuietly B|" + kGroup});
  EXPECT_EQ(fake::Find("B", kGroup)->attribution, "");
}

// Where the centre draws the oldest first (dunst, urgent before the rest),
// the count goes on the oldest, and on an error above it, where it is seen;
// a job shown again in place keeps its place.
TEST_F(JobNotificationsTest, TheCountGoesWhereTheCentreDrawsFirst) {
  fake::SetDrawOrder({.newest_first = false, .replacement_is_new = false, .urgent_first = true});
  TakeJob("A");
  Show(JobNotificationForm::kInProgress, "A");
  TakeJob("B");
  Show(JobNotificationForm::kInProgress, "B");
  TheJobRegistry().RefreshOnScreenView(JobRegistry::kDisplayLimit, {"A", "B"});
  TheJobRegistry().AnnounceJob("Q1");
  TheJobRegistry().AnnounceJob("Q2");
  Refresh();
  EXPECT_EQ(fake::Find("A", kGroup)->attribution, "+2 na fila");
  Show(JobNotificationForm::kConcluded, "B");
  EXPECT_EQ(fake::Find("B", kGroup)->attribution, "");

  TheJobRegistry().RefreshOnScreenView(JobRegistry::kDisplayLimit - 1, {"A", "B"});
  ASSERT_EQ(TheJobRegistry().TakeNextJob(), "Q1");
  Show(JobNotificationForm::kError, "Q1");
  EXPECT_EQ(fake::Find("Q1", kGroup)->attribution, "+1 na fila");
  Refresh();
  EXPECT_EQ(fake::Find("A", kGroup)->attribution, "");
}

}  // namespace
}  // namespace activator
