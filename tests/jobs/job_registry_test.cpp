#include "jobs/job_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

#include "jobs/job_details.h"
#include "jobs/state_journal.h"
#include "platform/files.h"

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

// ---- what a restarted program takes over (saved_state.h, state_journal.h) ----

std::string FreshStatePath(const std::string& name) {
  const std::string path = ::testing::TempDir() + "/registry_test_" + name + ".dat";
  std::remove(path.c_str());
  return path;
}

// A registry that runs for months forgets jobs out of view, oldest first and
// beyond what it keeps of each kind, with their reply pipes, and so does the
// state file; whatever may still be clicked or shown stays.
TEST(SavedStateTest, JobsOutOfViewAreForgottenBeyondWhatIsKept) {
  const std::string path = FreshStatePath("forget");
  const int jobs = 3 * int(JobRegistry::kForgetPassAtJobs);
  std::size_t forgotten = 0;
  {
    StateJournal journal;
    journal.Open(path);
    JobRegistry registry;
    registry.KeepChangesIn(&journal);
    registry.RecordReplyPipe("Q", "pq");
    registry.AnnounceJob("Q");
    registry.RecordReplyPipe("S", "ps");
    registry.SetJobState("S", "concluido");
    registry.RefreshOnScreenView(1, {"S"});
    // Actions that set no state.
    for (int i = 0; i < 100; ++i) registry.RecordReplyPipe("no-state" + std::to_string(i), "pn");
    for (int i = 0; i < jobs; ++i) {
      const std::string id = (i % 2 ? "F" : "R") + std::to_string(i);
      registry.RecordReplyPipe(id, "p" + id);
      registry.SetJobState(id, i % 2 ? "concluido" : "executando");
      forgotten += registry.ForgetJobsOutOfView().size();
    }
    EXPECT_GT(forgotten, 0u);
    const std::string newest_finished = "F" + std::to_string(jobs - 1);
    const std::string newest_running = "R" + std::to_string(jobs - 2);
    for (const std::string& kept : {std::string("Q"), std::string("S"), newest_finished, newest_running}) {
      EXPECT_TRUE(registry.HasJobState(kept)) << kept;
      EXPECT_TRUE(registry.FindReplyPipe(kept)) << kept;
    }
    for (const std::string& gone : {std::string("F1"), std::string("R0"), std::string("no-state0")}) {
      EXPECT_FALSE(registry.HasJobState(gone)) << gone;
      EXPECT_FALSE(registry.FindReplyPipe(gone)) << gone;
    }
    EXPECT_EQ(registry.QueuedIds(), std::vector<std::string>{"Q"});
  }
  const SavedState read = DecodeSavedState(ReadFileStart(path, 64 << 20).bytes).state;
  EXPECT_TRUE(read.jobs.count("Q") && read.jobs.count("S"));
  EXPECT_FALSE(read.jobs.count("R0") || read.jobs.count("F1"));
  std::remove(path.c_str());
}

// A registry's changes, recorded as they happen, come back in a new process
// (a new journal on the same file) as they were: ids with any bytes, the
// queue's order, states, reply pipes and descriptions, a final state queued
// because its job was not in the centre. A shown id stays pending; one taken
// but not known to be shown goes back to the front of the queue.
TEST(SavedStateTest, ChangesComeBackAfterARestart) {
  const std::string path = FreshStatePath("restart");
  const std::string odd_id = std::string("J\n\0\xff", 4);
  {
    StateJournal journal;
    EXPECT_EQ(journal.Open(path).source, SavedStateSource::kNone);
    JobRegistry registry;
    registry.KeepChangesIn(&journal);
    JobDetails details;
    details.KeepChangesIn(&journal);
    details.Record("J1", "make -j8", 40);
    for (const std::string id : {"J1", "J2", "J3"}) registry.AnnounceJob(id);
    registry.AnnounceJob(odd_id);
    registry.RecordReplyPipe("J1", "P1");
    for (const std::string id : {"J1", "J2"}) {
      EXPECT_EQ(registry.TakeNextJob(), id);
      registry.ConfirmShown(id);
    }
    registry.RefreshOnScreenView(1, {"J2"});
    EXPECT_EQ(registry.TakeNextJob(), "J3");  // killed before its show went out
    registry.SetJobState("J2", "concluido");
    registry.SetJobState("J9", "erro");  // never announced
    EXPECT_TRUE(registry.QueueUnlessInCentre("J9"));
  }
  StateJournal journal;
  const OpenedSavedState opened = journal.Open(path);
  EXPECT_EQ(opened.source, SavedStateSource::kRead);
  EXPECT_EQ(opened.state.queue, (std::deque<std::string>{"J3", odd_id, "J9"}));
  EXPECT_EQ(opened.state.pending, std::set<std::string>{"J1"});
  EXPECT_EQ(opened.state.on_screen, std::set<std::string>{"J2"});
  JobRegistry registry;
  registry.Restore(opened.state);
  EXPECT_EQ(registry.FindReplyPipe("J1"), "P1");
  EXPECT_EQ(registry.FindJobState("J2"), "concluido");
  EXPECT_EQ(registry.FindJobState("J9"), "erro");
  EXPECT_EQ(registry.FindJobState(odd_id), "executando");
  EXPECT_EQ(registry.PendingIds(), std::set<std::string>{"J1"});
  EXPECT_EQ(registry.TakeNextJob(), "J3");
  JobDetails details;
  details.Restore(opened.state);
  EXPECT_EQ(details.Find("J1").description, "make -j8");
  EXPECT_EQ(details.Find("J1").progress, std::nullopt);
  // And through the snapshot the reopening wrote.
  StateJournal again;
  EXPECT_EQ(again.Open(path).state.jobs.at("J1").description, "make -j8");
  std::remove(path.c_str());
}

// Whatever a crash or a damaged disk leaves, reading keeps every whole record
// before the first bad one, and never more; a file not read whole is kept
// aside before the fresh snapshot takes its place.
TEST(SavedStateTest, TornOrDamagedFilesKeepWhatCameBefore) {
  std::string file(kSavedStateMagic);
  std::vector<std::size_t> record_ends;
  for (const std::string id : {"A", "B", "C"}) {
    file += EncodeSavedChange({SavedChangeKind::kAnnounce, {id}});
    record_ends.push_back(file.size());
  }
  // Cut at every byte.
  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    const DecodedSavedState decoded = DecodeSavedState(std::string_view(file).substr(0, cut));
    const auto whole = static_cast<std::size_t>(
        std::upper_bound(record_ends.begin(), record_ends.end(), cut) - record_ends.begin());
    EXPECT_EQ(decoded.records, whole) << cut;
    EXPECT_EQ(decoded.state.queue.size(), whole) << cut;
    const bool clean = cut == 0 || cut == kSavedStateMagic.size() ||
                       std::find(record_ends.begin(), record_ends.end(), cut) != record_ends.end();
    EXPECT_EQ(decoded.whole, clean) << cut;
  }
  struct Case {
    const char* what;
    std::size_t at;  // byte changed
    char to;
    std::size_t records;
  };
  const std::size_t second = record_ends[0];
  for (const Case& c :
       {Case{"magic", 0, 'X', 0}, Case{"length", second, '9', 1},
        Case{"checksum", second + 3, 'z', 1}, Case{"payload", record_ends[1] - 2, 'Q', 1},
        Case{"line end", record_ends[1] - 1, ' ', 1}}) {
    std::string damaged = file;
    damaged[c.at] = c.to;
    const DecodedSavedState decoded = DecodeSavedState(damaged);
    EXPECT_FALSE(decoded.whole) << c.what;
    EXPECT_EQ(decoded.records, c.records) << c.what;
  }
  // A huge length with exactly the checksum and its blank after it.
  for (const char* tail : {"99999999999 00000000 ", "0 00000000 "}) {
    const DecodedSavedState decoded = DecodeSavedState(std::string(kSavedStateMagic) + tail);
    EXPECT_FALSE(decoded.whole) << tail;
    EXPECT_EQ(decoded.records, 0u) << tail;
  }
  // A file whose beginning is damaged is kept aside, records and all.
  const std::string path = FreshStatePath("refused");
  std::string damaged = file;
  damaged[0] = 'X';
  ASSERT_TRUE(AppendToFile(path, damaged));
  StateJournal journal;
  const OpenedSavedState opened = journal.Open(path);
  EXPECT_EQ(opened.source, SavedStateSource::kRefused);
  EXPECT_TRUE(opened.state.jobs.empty());
  EXPECT_EQ(opened.kept_aside, path + StateJournal::kKeptAsideSuffix);
  EXPECT_EQ(ReadFileStart(opened.kept_aside, 1 << 20).bytes, damaged);
  EXPECT_EQ(ReadFileStart(path, 1 << 20).bytes, std::string(kSavedStateMagic) +
                                                    EncodeSavedChange({SavedChangeKind::kOnScreen, {}}));
  std::remove(path.c_str());
  std::remove(opened.kept_aside.c_str());
}

// The file holds what is live: finished jobs out of view only up to a bound,
// while queued, pending and visible ones and running ones stay; and no
// snapshot outgrows its budget, the oldest jobs out of view going first, the
// back of the queue only when the rest does not fit.
TEST(SavedStateTest, SnapshotsHoldWhatIsLiveWithinTheirBound) {
  const std::string path = FreshStatePath("compact");
  {
    StateJournal journal;
    journal.Open(path);
    JobRegistry registry;
    registry.KeepChangesIn(&journal);
    registry.AnnounceJob("Q");
    registry.SetJobState("R", "executando");
    registry.RefreshOnScreenView(1, {"F1"});
    // Enough records to pass the compaction size several times over.
    for (int i = 0; i < 20000; ++i) registry.SetJobState("F" + std::to_string(i), "concluido");
  }
  const DecodedSavedState read = DecodeSavedState(ReadFileStart(path, 64 << 20).bytes);
  EXPECT_TRUE(read.whole);
  EXPECT_TRUE(read.state.jobs.count("Q") && read.state.jobs.count("R") && read.state.jobs.count("F1"));
  EXPECT_TRUE(read.state.jobs.count("F19999"));
  EXPECT_FALSE(read.state.jobs.count("F2"));
  EXPECT_LT(read.state.jobs.size(), 3 + kKeptFinishedJobs + 8000);  // what came after the last snapshot
  std::remove(path.c_str());

  SavedState state;
  for (int i = 0; i < 100; ++i) state.jobs["old" + std::to_string(i)] = {"concluido", {}, uint64_t(i)};
  for (int i = 0; i < 100; ++i) {
    state.queue.push_back("q" + std::to_string(i));
    state.jobs["q" + std::to_string(i)] = {"executando", {}, uint64_t(100 + i)};
  }
  auto fitted = [&](std::size_t budget, std::size_t* left_out) {
    StateSnapshot snapshot = SnapshotOf(state);
    *left_out = FitSnapshot(snapshot, budget);
    const std::string file = EncodeSnapshot(snapshot);
    EXPECT_LE(file.size(), budget);
    return DecodeSavedState(file).state;
  };
  std::size_t left_out = 0;
  SavedState queue_only = state;
  std::erase_if(queue_only.jobs, [](const auto& job) { return job.first.starts_with("old"); });
  StateSnapshot queue_snapshot = SnapshotOf(queue_only);
  const std::size_t queue_bytes = EncodeSnapshot(queue_snapshot).size();

  SavedState kept = fitted(queue_bytes + 200, &left_out);
  EXPECT_EQ(left_out, 0u);
  EXPECT_EQ(kept.queue.size(), 100u);
  EXPECT_TRUE(kept.jobs.count("old99"));
  EXPECT_FALSE(kept.jobs.count("old0"));
  kept = fitted(queue_bytes / 2, &left_out);
  EXPECT_GT(left_out, 0u);
  EXPECT_EQ(kept.queue.front(), "q0");
  EXPECT_EQ(kept.jobs.size(), kept.queue.size());
}

// A state file deleted while the program runs is written whole by the next
// change; one that cannot be written is said once, and again when it can.
TEST(SavedStateTest, LostOrUnwritableFileIsWrittenWholeAgain) {
  const std::string path = FreshStatePath("lost");
  {
    StateJournal journal;
    journal.Open(path);
    JobRegistry registry;
    registry.KeepChangesIn(&journal);
    registry.AnnounceJob("L1");
    ASSERT_EQ(std::remove(path.c_str()), 0);
    registry.AnnounceJob("L2");
    EXPECT_EQ(DecodeSavedState(ReadFileStart(path, 1 << 20).bytes).state.queue,
              (std::deque<std::string>{"L1", "L2"}));
    EXPECT_TRUE(journal.TakeReports().empty());
  }
  std::remove(path.c_str());

  const std::filesystem::path folder = ::testing::TempDir() + "/registry_test_missing";
  std::filesystem::remove_all(folder);
  const std::string unwritable = (folder / "state.dat").string();
  {
    StateJournal journal;
    journal.Open(unwritable);
    EXPECT_EQ(journal.TakeReports(), std::vector<std::string>{"ESTADO NAO GRAVADO"});
    JobRegistry registry;
    registry.KeepChangesIn(&journal);
    registry.AnnounceJob("L3");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    for (uint64_t i = 0; i < StateJournal::kRetryAfterChanges; ++i) registry.SetJobState("L3", "x");
    EXPECT_EQ(journal.TakeReports(), std::vector<std::string>{"ESTADO GRAVADO NOVAMENTE"});
    EXPECT_EQ(DecodeSavedState(ReadFileStart(unwritable, 1 << 20).bytes).state.queue,
              std::deque<std::string>{"L3"});
  }
  std::filesystem::remove_all(folder);  // once the journal has closed the file
}

}  // namespace
}  // namespace activator
