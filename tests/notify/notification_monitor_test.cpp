// The monitor's pass and the inventory against the in-memory centre: what is
// counted, when a summary is logged, and that a failed or stalled listing
// leaves the registry alone.
#include "notify/notification_monitor.h"

#include <gtest/gtest.h>

#include "jobs/job_registry.h"
#include "notify/job_notifications.h"
#include "platform/fake/fake_notification_centre.h"
#include "support/log_capture.h"

namespace activator {
namespace {

using namespace std::chrono_literals;
using fake::Operation;
using testing::LogTail;
using Lines = std::vector<std::string>;

const std::string kGroup = kJobNotificationGroup;

class NotificationMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    TheJobRegistry().ResetForTesting();
  }
  void TearDown() override { fake::Reset(); }

  void Show(const std::string& job_id) {
    AppNotificationBuilder builder;
    builder.SetTag(Utf16(job_id)).SetGroup(Utf16(kGroup));
    manager_.Show(builder.BuildNotification());
  }
  static std::u16string Utf16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
  }
  static void TakeJob(const std::string& job_id) {
    TheJobRegistry().AnnounceJob(job_id);
    ASSERT_EQ(TheJobRegistry().TakeNextJob(), job_id);
  }

  AppNotificationManager manager_ = AppNotificationManager::Default();
  std::string last_summary_;
};

TEST_F(NotificationMonitorTest, TheFirstPassOverAnEmptyCentreLogsItsSummaryOnce) {
  TheJobRegistry().RefreshOnScreenView(7, {});
  LogTail log;
  RunNotificationMonitorPass(manager_, last_summary_);
  RunNotificationMonitorPass(manager_, last_summary_);
  // One entry whose line feed starts a new line in the file.
  EXPECT_EQ(log.Bytes(), "MONITOR GETALL MUDOU\r\nTOTAL=0\r\n");
  EXPECT_EQ(last_summary_, "TOTAL=0");
  EXPECT_EQ(TheJobRegistry().OnScreenCount(), 0u);
}

TEST_F(NotificationMonitorTest, KeysAreSortedBytewiseSoTheListingOrderDoesNotMatter) {
  for (const char* id : {"b", "\xc3\xa9", "B", "a"}) {
    AppNotificationBuilder builder;
    builder.SetTag(id == std::string("\xc3\xa9") ? u"\u00e9" : Utf16(id)).SetGroup(Utf16(kGroup));
    manager_.Show(builder.BuildNotification());
  }
  LogTail log;
  RunNotificationMonitorPass(manager_, last_summary_);
  const std::string summary =
      "TOTAL=4\nB|" + kGroup + "\na|" + kGroup + "\nb|" + kGroup + "\n\xc3\xa9|" + kGroup;
  EXPECT_EQ(last_summary_, summary);

  Show("b");  // the centre now lists b last
  Show("B");
  RunNotificationMonitorPass(manager_, last_summary_);
  EXPECT_EQ(log.Lines(), (Lines{"MONITOR GETALL MUDOU", "TOTAL=4", "B|" + kGroup, "a|" + kGroup,
                                "b|" + kGroup, "\xc3\xa9|" + kGroup}));
  EXPECT_EQ(TheJobRegistry().OnScreenCount(), 4u);
}

TEST_F(NotificationMonitorTest, OtherGroupsAreListedByTheInventoryButNeverCounted) {
  TakeJob("X");
  fake::ForeignNotification("X", "outro");
  Show("J1");
  LogTail log;
  RunNotificationMonitorPass(manager_, last_summary_);
  LogAllNotifications(manager_);
  EXPECT_EQ(log.Lines(), (Lines{"MONITOR GETALL MUDOU", "TOTAL=1", "J1|" + kGroup, "GETALL TOTAL=2",
                                "GETALL TAG=X GROUP=outro", "GETALL TAG=J1 GROUP=" + kGroup}));
  EXPECT_EQ(TheJobRegistry().OnScreenCount(), 1u);
  EXPECT_EQ(TheJobRegistry().PendingIds(), (std::set<std::string>{"X"}));
}

TEST_F(NotificationMonitorTest, ADismissalLowersTheCountAndLogsANewSummary) {
  Show("J1");
  Show("J2");
  RunNotificationMonitorPass(manager_, last_summary_);
  ASSERT_EQ(TheJobRegistry().OnScreenCount(), 2u);
  ASSERT_TRUE(fake::Dismiss("J1", kGroup));
  LogTail log;
  RunNotificationMonitorPass(manager_, last_summary_);
  EXPECT_EQ(log.Lines(), (Lines{"MONITOR GETALL MUDOU", "TOTAL=1", "J2|" + kGroup}));
  EXPECT_EQ(TheJobRegistry().OnScreenCount(), 1u);
}

TEST_F(NotificationMonitorTest, APendingIdTurnsIntoAnOnScreenOneOnTheFirstPassThatListsIt) {
  TakeJob("J1");
  RunNotificationMonitorPass(manager_, last_summary_);
  EXPECT_EQ(TheJobRegistry().PendingIds(), (std::set<std::string>{"J1"}));
  {
    MutexLock display(g_display_lock);
    ShowInProgressNotification(manager_, "J1");
  }
  RunNotificationMonitorPass(manager_, last_summary_);
  EXPECT_TRUE(TheJobRegistry().PendingIds().empty());
  EXPECT_EQ(TheJobRegistry().OnScreenCount(), 1u);
}

TEST_F(NotificationMonitorTest, APendingIdNeverSeenIsReleasedAndLogged) {
  TakeJob("J1");
  TakeJob("J0");
  LogTail log;
  for (unsigned i = 0; i < JobRegistry::kUnseenPassesBeforeRelease; ++i)
    RunNotificationMonitorPass(manager_, last_summary_);
  EXPECT_TRUE(TheJobRegistry().PendingIds().empty());
  EXPECT_EQ(log.Lines(), (Lines{"MONITOR GETALL MUDOU", "TOTAL=0", "VELDUNA PENDENTE LIBERADO=J0",
                                "VELDUNA PENDENTE LIBERADO=J1"}));
}

// When the centre says a pending job's notification closed, its place is
// given back then, not passes later; the closing of a notification already
// seen, or of another group, releases nothing.
TEST_F(NotificationMonitorTest, APendingIdIsReleasedAsSoonAsTheCentreSaysItClosed) {
  manager_.NotificationClosed(&OnNotificationClosed);
  TakeJob("J1");
  TakeJob("S1");
  for (const char* id : {"J1", "S1"}) Show(id);
  fake::ForeignNotification("J1", "outro");
  RunNotificationMonitorPass(manager_, last_summary_);  // sees both: none pending
  TakeJob("J1");
  LogTail log;
  ASSERT_TRUE(fake::Dismiss("J1", "outro"));
  ASSERT_TRUE(fake::Dismiss("S1", kGroup));
  EXPECT_EQ(TheJobRegistry().PendingIds(), (std::set<std::string>{"J1"}));
  ASSERT_TRUE(fake::Dismiss("J1", kGroup));
  EXPECT_TRUE(TheJobRegistry().PendingIds().empty());
  EXPECT_EQ(log.Lines(), (Lines{"VELDUNA PENDENTE FECHADO=J1"}));
}

// A listing that never answers must end the pass (and the inventory) instead
// of holding the monitor, or the display lock after a show, for good.
TEST_F(NotificationMonitorTest, AStalledOrFailedListingChangesNothing) {
  Show("J1");
  RunNotificationMonitorPass(manager_, last_summary_);
  const std::string summary = last_summary_;
  TakeJob("J2");
  Show("J2");
  fake::Dismiss("J1", kGroup);

  fake::HoldListings(true);
  fake::SetListingWaitCap(10ms);
  LogTail log;
  RunNotificationMonitorPass(manager_, last_summary_);
  LogAllNotifications(manager_);
  fake::HoldListings(false);
  fake::FailOperation(Operation::GetAllAsync, kHrCancelled);
  RunNotificationMonitorPass(manager_, last_summary_);
  fake::FailOperation(Operation::ListingGet, kHrFail);
  RunNotificationMonitorPass(manager_, last_summary_);
  fake::FailOperation(Operation::Group, kHrFail);
  RunNotificationMonitorPass(manager_, last_summary_);
  fake::FailOperationWithOtherError(Operation::Tag);
  RunNotificationMonitorPass(manager_, last_summary_);

  EXPECT_EQ(log.Lines(), (Lines{"MONITOR GETALL ERRO", "GETALL ERRO: EXCECAO AO CONSULTAR GETALL",
                                "MONITOR GETALL ERRO", "MONITOR GETALL ERRO", "MONITOR GETALL ERRO",
                                "MONITOR GETALL ERRO"}));
  EXPECT_EQ(last_summary_, summary);
  EXPECT_EQ(TheJobRegistry().OnScreenCount(), 1u);
  EXPECT_EQ(TheJobRegistry().PendingIds(), (std::set<std::string>{"J2"}));
}

TEST_F(NotificationMonitorTest, TheInventoryKeepsTheLinesWrittenBeforeAFailure) {
  LogTail log;
  LogAllNotifications(manager_);
  Show("J1");
  Show("J2");
  fake::FailOperation(Operation::Tag, kHrFail, 1, 1);
  LogAllNotifications(manager_);
  EXPECT_EQ(log.Lines(), (Lines{"GETALL TOTAL=0", "GETALL TOTAL=2", "GETALL TAG=J1 GROUP=" + kGroup,
                                "GETALL ERRO: EXCECAO AO CONSULTAR GETALL"}));
}

}  // namespace
}  // namespace activator
