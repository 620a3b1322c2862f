#include "jobs/job_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace activator {
namespace {

using namespace std::chrono_literals;

// Takes the next job on another thread so a test can see whether it blocks.
std::future<std::string> TakeAsync(JobRegistry& registry) {
  return std::async(std::launch::async, [&registry] { return registry.TakeNextJob(); });
}

bool Blocks(std::future<std::string>& f) { return f.wait_for(100ms) == std::future_status::timeout; }

TEST(JobRegistryTest, ReplyPipesAreRecordedOverwrittenAndFound) {
  JobRegistry registry;
  EXPECT_EQ(registry.FindReplyPipe("J1"), std::nullopt);
  registry.RecordReplyPipe("J1", "P1");
  registry.RecordReplyPipe("", "P0");  // the empty id is a key like any other
  EXPECT_EQ(registry.FindReplyPipe("J1"), "P1");
  registry.RecordReplyPipe("J1", "P2");
  EXPECT_EQ(registry.FindReplyPipe("J1"), "P2");
  EXPECT_EQ(registry.FindReplyPipe(""), "P0");
  EXPECT_EQ(registry.FindReplyPipe("j1"), std::nullopt);
}

TEST(JobRegistryTest, AnnounceKeepsAnExistingStateAndQueuesAgain) {
  JobRegistry registry;
  registry.AnnounceJob("J1");
  EXPECT_EQ(registry.FindJobState("J1"), "executando");
  registry.SetJobState("J1", "concluido");
  registry.AnnounceJob("J1");
  EXPECT_EQ(registry.FindJobState("J1"), "concluido");
  EXPECT_EQ(registry.QueuedIds(), (std::vector<std::string>{"J1", "J1"}));
}

TEST(JobRegistryTest, SetStateForAnUnknownJobCreatesItWithoutQueueing) {
  JobRegistry registry;
  EXPECT_EQ(registry.FindJobState("J9"), "");
  EXPECT_FALSE(registry.HasJobState("J9"));
  registry.SetJobState("J9", "erro");
  EXPECT_EQ(registry.FindJobState("J9"), "erro");
  EXPECT_TRUE(registry.QueuedIds().empty());
}

TEST(JobRegistryTest, AnIdQueuedTwiceIsTakenTwiceAndPendingOnce) {
  JobRegistry registry;
  registry.AnnounceJob("J1");
  registry.AnnounceJob("J1");
  EXPECT_EQ(registry.TakeNextJob(), "J1");
  EXPECT_EQ(registry.TakeNextJob(), "J1");
  EXPECT_EQ(registry.PendingIds(), (std::set<std::string>{"J1"}));
}

TEST(JobRegistryTest, NineteenOnScreenAdmitsExactlyOne) {
  JobRegistry registry;
  registry.RefreshOnScreenView(19, {});
  registry.AnnounceJob("A");
  registry.AnnounceJob("B");
  EXPECT_EQ(registry.TakeNextJob(), "A");
  auto second = TakeAsync(registry);
  EXPECT_TRUE(Blocks(second));
  // A withdrawal frees the place at once.
  registry.WithdrawPending("A");
  EXPECT_EQ(second.get(), "B");
}

TEST(JobRegistryTest, RefreshThatLowersTheCountAdmitsTheNextJob) {
  JobRegistry registry;
  registry.RefreshOnScreenView(20, {});
  registry.AnnounceJob("A");
  auto take = TakeAsync(registry);
  EXPECT_TRUE(Blocks(take));
  registry.RefreshOnScreenView(19, {});
  EXPECT_EQ(take.get(), "A");
}

TEST(JobRegistryTest, HugeOnScreenCountDoesNotWrapTheSum) {
  JobRegistry registry;
  registry.RefreshOnScreenView(UINT64_MAX - 5, {});
  registry.AnnounceJob("A");
  auto take = TakeAsync(registry);
  EXPECT_TRUE(Blocks(take));
  registry.RefreshOnScreenView(0, {});
  EXPECT_EQ(take.get(), "A");
}

TEST(JobRegistryTest, RefreshWithAnEmptyQueueWakesTheConsumerWhichWaitsAgain) {
  JobRegistry registry;
  auto take = TakeAsync(registry);
  EXPECT_TRUE(Blocks(take));
  registry.RefreshOnScreenView(0, {});
  EXPECT_TRUE(Blocks(take));
  registry.AnnounceJob("late");
  EXPECT_EQ(take.get(), "late");
}

TEST(JobRegistryTest, SeenTagsLeaveThePendingSetAndUnknownTagsOnlySetTheCount) {
  JobRegistry registry;
  registry.AnnounceJob("J1");
  registry.AnnounceJob("J2");
  registry.TakeNextJob();
  registry.TakeNextJob();
  registry.RefreshOnScreenView(2, {"J1", "other"});
  EXPECT_EQ(registry.PendingIds(), (std::set<std::string>{"J2"}));
  EXPECT_EQ(registry.OnScreenCount(), 2u);
}

TEST(JobRegistryTest, PendingIdUnseenForFivePassesIsReleased) {
  JobRegistry registry;
  registry.AnnounceJob("gone");
  registry.TakeNextJob();
  for (unsigned pass = 1; pass < JobRegistry::kUnseenPassesBeforeRelease; ++pass) {
    EXPECT_TRUE(registry.RefreshOnScreenView(0, {}).empty()) << "pass " << pass;
  }
  EXPECT_EQ(registry.PendingIds(), (std::set<std::string>{"gone"}));
  EXPECT_EQ(registry.RefreshOnScreenView(0, {}), (std::vector<std::string>{"gone"}));
  EXPECT_TRUE(registry.PendingIds().empty());
}

TEST(JobRegistryTest, TwentyVanishedNotificationsDoNotStopTheQueueForGood) {
  JobRegistry registry;
  for (int i = 0; i < 21; ++i) registry.AnnounceJob("J" + std::to_string(i));
  for (int i = 0; i < 20; ++i) registry.TakeNextJob();
  auto take = TakeAsync(registry);
  EXPECT_TRUE(Blocks(take));
  for (unsigned pass = 0; pass < JobRegistry::kUnseenPassesBeforeRelease; ++pass)
    registry.RefreshOnScreenView(0, {});
  EXPECT_EQ(take.get(), "J20");
}

TEST(JobRegistryTest, IdsKeepTheirOrderWhileTheLimitHoldsThemBack) {
  JobRegistry registry;
  registry.RefreshOnScreenView(20, {});
  for (const char* id : {"a", "b", "c"}) registry.AnnounceJob(id);
  registry.RefreshOnScreenView(17, {});
  EXPECT_EQ(registry.TakeNextJob(), "a");
  EXPECT_EQ(registry.TakeNextJob(), "b");
  EXPECT_EQ(registry.TakeNextJob(), "c");
}

// Without the right wake-up the consumer below would sleep on an admissible
// job for ever and the test would hang (caught by the CTest time-out).
TEST(JobRegistryTest, NoLostWakeUpUnderConcurrentAnnounceAndRefresh) {
  JobRegistry registry;
  constexpr int kJobs = 3000;
  std::atomic<int> taken{0};
  std::thread consumer([&] {
    for (int i = 0; i < kJobs; ++i) {
      std::string id = registry.TakeNextJob();
      registry.WithdrawPending(id);
      ++taken;
    }
  });
  std::thread refresher([&] {
    for (uint64_t round = 0; taken.load() < kJobs; ++round) {
      registry.RefreshOnScreenView(round % 25, {});
      std::this_thread::yield();
    }
  });
  std::thread announcer([&] {
    for (int i = 0; i < kJobs; ++i) registry.AnnounceJob("job" + std::to_string(i));
  });
  announcer.join();
  consumer.join();
  refresher.join();
  EXPECT_EQ(taken.load(), kJobs);
}

TEST(JobRegistryTest, ResetForTestingEmptiesEverything) {
  JobRegistry& registry = TheJobRegistry();
  registry.RecordReplyPipe("J", "P");
  registry.AnnounceJob("J");
  registry.RefreshOnScreenView(3, {});
  registry.ResetForTesting();
  EXPECT_EQ(registry.FindReplyPipe("J"), std::nullopt);
  EXPECT_FALSE(registry.HasJobState("J"));
  EXPECT_TRUE(registry.QueuedIds().empty());
  EXPECT_EQ(registry.OnScreenCount(), 0u);
}

}  // namespace
}  // namespace activator
