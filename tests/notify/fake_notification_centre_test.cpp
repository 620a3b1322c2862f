// The in-memory centre is what every subsystem's tests stand on, so its own
// contract (replacement, clicks, injected failures, held listings) is checked
// here once.
#include "platform/fake/fake_notification_centre.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace activator {
namespace {

using namespace std::chrono_literals;

AppNotification Build(const std::u16string& tag, const std::u16string& group,
                      const std::u16string& text) {
  AppNotificationBuilder builder;
  builder.SetTag(tag).SetGroup(group).AddText(text);
  AppNotificationButton button(u"go");
  button.AddArgument(u"k", u"v1").AddArgument(u"id", tag).AddArgument(u"k", u"v2");
  builder.AddButton(button);
  return builder.BuildNotification();
}

std::vector<std::string> Tags() {
  std::vector<std::string> tags;
  for (const auto& n : fake::Shown()) tags.push_back(n.tag + "|" + n.group);
  return tags;
}

class FakeCentreTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override { fake::Reset(); }
};

TEST_F(FakeCentreTest, ShowReplacesTheSameTagAndGroupAndMovesItToTheEnd) {
  auto manager = AppNotificationManager::Default();
  manager.Show(Build(u"J1", u"g", u"first"));
  manager.Show(Build(u"J2", u"g", u"other"));
  manager.Show(Build(u"J1", u"h", u"other group"));
  manager.Show(Build(u"J1", u"g", u"second"));
  EXPECT_EQ(Tags(), (std::vector<std::string>{"J2|g", "J1|h", "J1|g"}));
  auto j1 = fake::Find("J1", "g");
  ASSERT_TRUE(j1);
  EXPECT_EQ(j1->texts, (std::vector<std::string>{"second"}));

  auto listing = manager.GetAllAsync().get(kListingTimeLimit);
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_EQ(listing[2].Tag(), u"J1");
  EXPECT_EQ(listing[2].Group(), u"g");

  EXPECT_TRUE(fake::Dismiss("J2", "g"));
  EXPECT_FALSE(fake::Dismiss("J2", "g"));
  EXPECT_EQ(fake::Count(), 2u);
}

TEST_F(FakeCentreTest, RecordsCallsInOrderAndSkipsFailedOnes) {
  fake::FailOperation(fake::Operation::AddText, kHrInvalidArg, 1, 1);
  AppNotificationBuilder builder;
  builder.SetTag(u"J\u00e9").AddText(u"a");
  EXPECT_THROW(builder.AddText(u"b"), HResultError);
  builder.AddText(u"c");
  AppNotificationManager::Default().Show(builder.BuildNotification());
  EXPECT_EQ(fake::Record(), (std::vector<std::string>{"SetTag J\xc3\xa9", "AddText a", "AddText c",
                                                      "BuildNotification", "Show J\xc3\xa9|"}));
}

TEST_F(FakeCentreTest, FailuresCarryTheirCodeForTheArmedNumberOfCalls) {
  fake::FailOperation(fake::Operation::Show, kHrNotConnected, 2);
  auto manager = AppNotificationManager::Default();
  auto n = Build(u"J1", u"g", u"t");
  for (int i = 0; i < 2; ++i) {
    try {
      manager.Show(n);
      ADD_FAILURE() << "show should have failed";
    } catch (const HResultError& e) {
      EXPECT_EQ(e.code(), kHrNotConnected);
    }
  }
  manager.Show(n);
  EXPECT_EQ(fake::Count(), 1u);

  fake::FailOperationWithOtherError(fake::Operation::CreateBuilder);
  EXPECT_THROW(AppNotificationBuilder(), std::runtime_error);
  EXPECT_NO_THROW(AppNotificationBuilder());
}

TEST_F(FakeCentreTest, ClicksReachEveryHandlerWithTheButtonsArguments) {
  auto manager = AppNotificationManager::Default();
  std::vector<std::map<std::u16string, std::u16string>> seen;
  for (int i = 0; i < 2; ++i) {
    manager.NotificationInvoked(
        [&](const AppNotificationManager& sender, const AppNotificationActivatedEventArgs& args) {
          EXPECT_EQ(sender.impl(), manager.impl());
          seen.push_back(args.Arguments().values());
        });
  }
  EXPECT_EQ(fake::HandlerCount(), 2u);
  manager.Show(Build(u"J1", u"g", u"t"));
  EXPECT_FALSE(fake::InvokeButton("J1", "g", 1));
  EXPECT_FALSE(fake::InvokeButton("J1", "other"));
  EXPECT_TRUE(fake::InvokeButton("J1", "g"));
  fake::InvokeWithArguments({});
  ASSERT_EQ(seen.size(), 4u);
  std::map<std::u16string, std::u16string> expected{{u"k", u"v2"}, {u"id", u"J1"}};
  EXPECT_EQ(seen[0], expected);
  EXPECT_EQ(seen[1], expected);
  EXPECT_TRUE(seen[2].empty());
  AppNotificationArguments none({});
  EXPECT_THROW(none.Lookup(u"acao"), HResultError);
}

TEST_F(FakeCentreTest, AHeldListingTimesOutAtTheCapAndAReleasedOneCompletes) {
  auto manager = AppNotificationManager::Default();
  manager.Show(Build(u"J1", u"g", u"t"));
  fake::HoldListings(true);
  fake::SetListingWaitCap(20ms);
  try {
    manager.GetAllAsync().get(kListingTimeLimit);
    ADD_FAILURE() << "held listing should time out";
  } catch (const HResultError& e) {
    EXPECT_EQ(e.code(), kHrTimeout);
  }

  fake::SetListingWaitCap(60s);
  auto pending = std::async(std::launch::async,
                            [&] { return manager.GetAllAsync().get(kListingTimeLimit).size(); });
  ASSERT_TRUE(fake::WaitForWaitingListings(1, 10s));
  fake::HoldListings(false);
  ASSERT_EQ(pending.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(pending.get(), 1u);
}

}  // namespace
}  // namespace activator
