// The queue consumer's step against the in-memory notification centre, with
// the monitor's pass standing in for what the centre is seen to hold.
#include "intake/queue_consumer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "jobs/job_registry.h"
#include "notify/job_notifications.h"
#include "notify/notification_monitor.h"
#include "platform/fake/fake_notification_centre.h"
#include "support/log_capture.h"

namespace activator {
namespace {

using Lines = std::vector<std::string>;
using testing::LogTail;

constexpr char kInProgress[] = "Processo em andamento";
constexpr char kConcluded[] = "Processo Concluido";
constexpr char kError[] = "Processo com erro";

class QueueConsumerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TheJobRegistry().ResetForTesting();
    fake::Reset();
  }

  void MonitorPass() { RunNotificationMonitorPass(manager_, last_summary_); }

  const AppNotificationManager manager_ = AppNotificationManager::Default();
  std::string last_summary_;
};

JobRegistry& Registry() { return TheJobRegistry(); }

// The second text line of each notification shown for `job_id`, in order.
Lines FormsShown(const std::string& job_id) {
  Lines forms;
  std::vector<std::string> texts;
  for (const std::string& call : fake::Record()) {
    if (call.rfind("AddText ", 0) == 0) texts.push_back(call.substr(8));
    if (call.rfind("SetTag ", 0) == 0) texts.clear();
    if (call == "Show " + job_id + "|" + kJobNotificationGroup && texts.size() >= 2)
      forms.push_back(texts[1]);
  }
  return forms;
}

bool CountLines(const LogTail& tail, const std::string& prefix, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::size_t n = 0;
    for (const auto& line : tail.Lines()) n += line.rfind(prefix, 0) == 0;
    if (n >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(QueueConsumerTest, TheStateAtShowingTimePicksTheForm) {
  struct Case {
    std::string state;
    const char* form;
  };
  const std::vector<Case> cases = {{"concluido", kConcluded},   {"erro", kError},
                                   {"executando", kInProgress}, {"", kInProgress},
                                   {"Concluido", kInProgress},  {"concluido&pipe=P", kInProgress}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string id = "J" + std::to_string(i);
    Registry().AnnounceJob(id);
    // Changed while the id waits in the queue.
    Registry().SetJobState(id, cases[i].state);
    LogTail tail;
    ShowNextJob(manager_);
    const Lines lines = tail.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "VELDUNA PROCESSANDO=" + id);
    EXPECT_EQ(lines[1], "VELDUNA ESTADO PARA EXIBIR=" + id + " ESTADO=" + cases[i].state);
    EXPECT_EQ(FormsShown(id), Lines{cases[i].form}) << "state " << cases[i].state;
  }
}

// The state is read under the display lock: a job taken while an update
// dispatch holds it is shown in the state that update left.
TEST_F(QueueConsumerTest, StateIsReadOnlyOnceTheDisplayLockIsHeld) {
  LogTail tail;
  Registry().AnnounceJob("JL");
  Mutex& display = g_display_lock;
  display.Lock();
  std::thread consumer([this] { ShowNextJob(manager_); });
  EXPECT_TRUE(tail.WaitForLine("VELDUNA PROCESSANDO=JL"));
  Registry().SetJobState("JL", "concluido");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(tail.Lines().back(), "VELDUNA PROCESSANDO=JL");
  EXPECT_TRUE(fake::Record().empty());
  display.Unlock();
  consumer.join();
  EXPECT_TRUE(tail.WaitForLine("VELDUNA ESTADO PARA EXIBIR=JL ESTADO=concluido"));
  EXPECT_EQ(FormsShown("JL"), Lines{kConcluded});
}

TEST_F(QueueConsumerTest, AJobQueuedTwiceIsShownTwiceInItsCurrentForm) {
  Registry().AnnounceJob("J1");
  Registry().AnnounceJob("J1");
  ShowNextJob(manager_);
  Registry().SetJobState("J1", "erro");
  ShowNextJob(manager_);
  EXPECT_EQ(FormsShown("J1"), (Lines{kInProgress, kError}));
  EXPECT_EQ(fake::Count(), 1u);  // the later form replaced the earlier
}

TEST_F(QueueConsumerTest, IdsKeepTheirOrderWhileTheLimitHoldsThemBack) {
  Registry().RefreshOnScreenView(JobRegistry::kDisplayLimit, {});
  for (const char* id : {"a", "b", "c"}) Registry().AnnounceJob(id);
  LogTail tail;
  std::thread consumer([this] {
    for (int i = 0; i < 3; ++i) ShowNextJob(manager_);
  });
  // One place at a time: each admission lets exactly the oldest id through.
  for (const char* id : {"a", "b", "c"}) {
    Registry().RefreshOnScreenView(JobRegistry::kDisplayLimit - 1, {"a", "b", "c"});
    EXPECT_TRUE(tail.WaitForLine(std::string("VELDUNA PROCESSANDO=") + id)) << id;
    // Shown and now seen on screen; the count stays at the limit.
    Registry().RefreshOnScreenView(JobRegistry::kDisplayLimit, {id});
  }
  Registry().RefreshOnScreenView(0, {});  // lets a consumer held up by a failure above finish
  consumer.join();
  Lines taken;
  for (const auto& line : tail.Lines())
    if (line.rfind("VELDUNA PROCESSANDO=", 0) == 0) taken.push_back(line.substr(20));
  EXPECT_EQ(taken, (Lines{"a", "b", "c"}));
}

TEST_F(QueueConsumerTest, TwentyFiveAnnouncementsShowTwentyUntilSomeAreDismissed) {
  constexpr int kJobs = 25;
  for (int i = 0; i < kJobs; ++i) Registry().AnnounceJob("J" + std::to_string(i));
  LogTail tail;
  std::thread consumer([this] {
    for (int i = 0; i < kJobs; ++i) ShowNextJob(manager_);
  });
  EXPECT_TRUE(CountLines(tail, "SHOW OK", 20));
  MonitorPass();
  MonitorPass();
  EXPECT_EQ(fake::Count(), 20u);
  EXPECT_EQ(Registry().OnScreenCount(), 20u);
  EXPECT_EQ(Registry().QueuedIds().size(), 5u);

  for (int i = 0; i < 5; ++i) fake::Dismiss("J" + std::to_string(i), kJobNotificationGroup);
  MonitorPass();
  EXPECT_TRUE(CountLines(tail, "SHOW OK", kJobs));
  if (!Registry().QueuedIds().empty()) {
    // Only when the above failed: make room so the consumer can finish.
    for (int i = 0; i < kJobs; ++i) fake::Dismiss("J" + std::to_string(i), kJobNotificationGroup);
    for (unsigned pass = 0; pass <= JobRegistry::kUnseenPassesBeforeRelease; ++pass) MonitorPass();
  }
  consumer.join();
  MonitorPass();
  EXPECT_EQ(fake::Count(), 20u);
  EXPECT_TRUE(Registry().QueuedIds().empty());
}

// With no notification service the consumer keeps every job, in order, and
// waits (without spinning) for the service instead of draining the queue.
TEST_F(QueueConsumerTest, AnOutageKeepsTheQueueInOrderUntilTheServiceIsBack) {
  fake::SetServiceDown(true);
  for (const char* id : {"a", "b", "c"}) Registry().AnnounceJob(id);
  LogTail tail;
  // One step ends in the wait; three more show the three jobs.
  std::thread consumer([this] {
    for (int i = 0; i < 4; ++i) ShowNextJob(manager_);
  });
  EXPECT_TRUE(tail.WaitForLine("VELDUNA SERVICO INDISPONIVEL=a"));
  EXPECT_EQ(Registry().QueuedIds(), (Lines{"a", "b", "c"}));
  EXPECT_TRUE(Registry().PendingIds().empty());
  // Still a new job joins the queue behind them.
  Registry().AnnounceJob("d");

  fake::SetServiceDown(false);
  consumer.join();
  EXPECT_EQ(Registry().QueuedIds(), Lines{"d"});
  const Lines lines = tail.Lines();
  EXPECT_TRUE(testing::InOrder(
      lines, {"VELDUNA PROCESSANDO=a", "BUILD NOTIFICATION OK", "SHOW FAILED",
              "VELDUNA SERVICO INDISPONIVEL=a", "VELDUNA SERVICO DE VOLTA", "VELDUNA PROCESSANDO=a",
              "SHOW OK", "VELDUNA PROCESSANDO=b", "SHOW OK", "VELDUNA PROCESSANDO=c", "SHOW OK"}));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "VELDUNA PROCESSANDO=a"), 2);
  EXPECT_EQ(fake::Count(), 3u);
}

// The thread body joins the apartment and starts consuming. It never returns,
// so it runs in a child process that ends once the job has been shown.
TEST_F(QueueConsumerTest, ThreadBodyConsumesTheQueue) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        LogTail tail;
        std::thread([m = manager_] { RunQueueConsumer(m); }).detach();
        bool ok = tail.WaitForLine("VELDUNA CONSUMER START");
        Registry().AnnounceJob("JT");
        ok = ok && tail.WaitForLine("VELDUNA ESTADO PARA EXIBIR=JT ESTADO=executando");
        for (const auto& line : tail.Lines()) ok = ok && line.find("COM INIT") == std::string::npos;
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace activator
