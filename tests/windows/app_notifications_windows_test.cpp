// The Windows notification port against the stand-in runtime, through wine's
// combase: what the program relies on from the Windows App SDK, and that the
// port gives back every reference and HSTRING it is handed.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/app_notifications.h"
#include "platform/com.h"
#include "windows/standin_support.h"

namespace activator {
namespace {

using testing::StandinCommand;

std::string Hex(HResult code) {
  char text[16];
  std::snprintf(text, sizeof text, "%08lX",
                static_cast<unsigned long>(static_cast<uint32_t>(code)));
  return text;
}

class WindowsNotificationsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(testing::RegisterStandinRuntime());
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    // Before the port makes its first string, so every one is counted.
    ASSERT_EQ(StandinCommand("count-strings"), "ok");
  }
  void SetUp() override { ASSERT_EQ(StandinCommand("reset"), "ok"); }

  // A job notification as the program builds it.
  static AppNotification Build(const std::u16string& tag, const std::u16string& text,
                               const std::u16string& action) {
    AppNotificationButton button(u"Exibir Resultado");
    button.AddArgument(u"acao", action)
        .AddArgument(u"id_execucao", tag)
        .AddArgument(u"estado", text);
    AppNotificationBuilder builder;
    builder.SetHeroImage(Uri(u"file:///C:/Zorvell_Lab/Assets/ZorvellNotify2.png"))
        .SetTag(tag)
        .SetGroup(u"zorvell_processos")
        .AddText(u"Processo")
        .AddText(text)
        .AddButton(button);
    return builder.BuildNotification();
  }
};

TEST_F(WindowsNotificationsTest, ALaterShowReplacesByTagAndGroupAndTheListingSaysSo) {
  const AppNotificationManager manager = AppNotificationManager::Default();
  manager.Show(Build(u"J1", u"executando", u"abortar"));
  manager.Show(Build(u"J2", u"executando", u"abortar"));
  manager.Show(Build(u"J1", u"concluido", u"salvar"));

  EXPECT_EQ(StandinCommand("list"),
            "J2|zorvell_processos|file:///C:/Zorvell_Lab/Assets/ZorvellNotify2.png|Processo|"
            "executando|[Exibir Resultado]acao=abortar&id_execucao=J2&estado=executando\n"
            "J1|zorvell_processos|file:///C:/Zorvell_Lab/Assets/ZorvellNotify2.png|Processo|"
            "concluido|[Exibir Resultado]acao=salvar&id_execucao=J1&estado=concluido\n");

  // The listing completes on the runtime's own thread, through the handler.
  const std::vector<AppNotification> listing = manager.GetAllAsync().get(kListingTimeLimit);
  ASSERT_EQ(listing.size(), 2u);
  EXPECT_EQ(listing[0].Tag(), u"J2");
  EXPECT_EQ(listing[1].Tag(), u"J1");
  EXPECT_EQ(listing[1].Group(), u"zorvell_processos");

  // An empty centre lists nothing, and an empty text crosses as empty.
  ASSERT_EQ(StandinCommand("reset"), "ok");
  EXPECT_TRUE(manager.GetAllAsync().get(kListingTimeLimit).empty());
  manager.Show(Build(u"", u"", u"abortar"));
  const auto one = manager.GetAllAsync().get(kListingTimeLimit);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].Tag(), u"");
}

TEST_F(WindowsNotificationsTest, AClickReachesTheHandlerWithTheButtonsArguments) {
  const AppNotificationManager manager = AppNotificationManager::Default();
  std::vector<std::map<std::u16string, std::u16string>> seen;
  std::atomic<DWORD> thread{0};
  manager.NotificationInvoked(
      [&](const AppNotificationManager&, const AppNotificationActivatedEventArgs& args) {
        seen.push_back(args.Arguments().values());
        thread = ::GetCurrentThreadId();
      });
  manager.Register();
  EXPECT_EQ(StandinCommand("handlers"), "1");
  EXPECT_EQ(StandinCommand("registrations"), "1");

  manager.Show(Build(u"J\u00e9", u"concluido", u"salvar"));
  EXPECT_EQ(StandinCommand("click J\xC3\xA9"), "clicked 1");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0],
            (std::map<std::u16string, std::u16string>{
                {u"acao", u"salvar"}, {u"id_execucao", u"J\u00e9"}, {u"estado", u"concluido"}}));
  EXPECT_NE(thread.load(), ::GetCurrentThreadId());  // the runtime's thread

  // A handler that raises does not reach the runtime: the click is still
  // reported as handled, and the next one arrives.
  manager.NotificationInvoked(
      [](const AppNotificationManager&, const AppNotificationActivatedEventArgs& args) {
        args.Arguments().Lookup(u"absent");
      });
  EXPECT_EQ(StandinCommand("click-with acao=abortar"), "clicked 2");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], (std::map<std::u16string, std::u16string>{{u"acao", u"abortar"}}));
}

// Every failure of the runtime reaches the caller as HResultError with the
// runtime's code.
TEST_F(WindowsNotificationsTest, RuntimeFailuresComeBackAsTheirResultCodes) {
  const HResult kCode = static_cast<HResult>(0x80070005);  // E_ACCESSDENIED
  struct Case {
    const char* armed;
    void (*call)(const AppNotificationManager&);
    HResult expected;
  };
  const Case cases[] = {
      {"Default", [](const AppNotificationManager&) { AppNotificationManager::Default(); }, kCode},
      {"Subscribe",
       [](const AppNotificationManager& m) {
         m.NotificationInvoked(
             [](const AppNotificationManager&, const AppNotificationActivatedEventArgs&) {});
       },
       kCode},
      {"Register", [](const AppNotificationManager& m) { m.Register(); }, kCode},
      {"Show", [](const AppNotificationManager& m) { m.Show(Build(u"J", u"x", u"abortar")); },
       kCode},
      {"Builder", [](const AppNotificationManager&) { AppNotificationBuilder(); }, kCode},
      {"Button", [](const AppNotificationManager&) { AppNotificationButton(u"b"); }, kCode},
      {"AddArgument",
       [](const AppNotificationManager&) { AppNotificationButton(u"b").AddArgument(u"k", u"v"); },
       kCode},
      {"Uri", [](const AppNotificationManager&) { Uri(u"file:///x"); }, kCode},
      {"Build", [](const AppNotificationManager&) { AppNotificationBuilder().BuildNotification(); },
       kCode},
      {"GetAllAsync", [](const AppNotificationManager& m) { m.GetAllAsync(); }, kCode},
      {"ListingError",
       [](const AppNotificationManager& m) { m.GetAllAsync().get(kListingTimeLimit); }, kCode},
      {"ListingCancel",
       [](const AppNotificationManager& m) { m.GetAllAsync().get(kListingTimeLimit); },
       kHrCancelled},
      {"ListingHang",
       [](const AppNotificationManager& m) { m.GetAllAsync().get(std::chrono::milliseconds(50)); },
       kHrTimeout},
  };
  const AppNotificationManager manager = AppNotificationManager::Default();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.armed);
    ASSERT_EQ(StandinCommand("reset"), "ok");
    ASSERT_EQ(StandinCommand(std::string("fail ") + c.armed + " " + Hex(kCode)), "ok");
    try {
      c.call(manager);
      ADD_FAILURE() << "no error raised";
    } catch (const HResultError& e) {
      EXPECT_EQ(e.code(), c.expected);
    }
  }
  // A failing tag read inside a listing raises too.
  ASSERT_EQ(StandinCommand("reset"), "ok");
  manager.Show(Build(u"J", u"x", u"abortar"));
  ASSERT_EQ(StandinCommand("fail Tag " + Hex(kCode)), "ok");
  const auto listing = manager.GetAllAsync().get(kListingTimeLimit);
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_THROW(listing[0].Tag(), HResultError);
}

TEST_F(WindowsNotificationsTest, EveryReferenceAndStringIsGivenBack) {
  auto handler_alive = std::make_shared<int>(0);
  {
    const AppNotificationManager manager = AppNotificationManager::Default();
    manager.NotificationInvoked(
        [keep = handler_alive](const AppNotificationManager&,
                               const AppNotificationActivatedEventArgs& args) {
          args.Arguments();
        });
    manager.Register();
    manager.Show(Build(u"J1", u"executando", u"abortar"));
    manager.Show(Build(u"J1", u"concluido", u"salvar"));
    for (const AppNotification& n : manager.GetAllAsync().get(kListingTimeLimit)) {
      n.Tag();
      n.Group();
    }
    ASSERT_EQ(StandinCommand("click J1"), "clicked 1");
    // Failed calls give back what they had taken too.
    ASSERT_EQ(StandinCommand("fail ListingError 80004005"), "ok");
    EXPECT_THROW(manager.GetAllAsync().get(kListingTimeLimit), HResultError);
    ASSERT_EQ(StandinCommand("fail ListingHang 80004005"), "ok");
    EXPECT_THROW(manager.GetAllAsync().get(std::chrono::milliseconds(20)), HResultError);
  }
  // The runtime still holds the subscribed handler, and nothing else.
  EXPECT_EQ(handler_alive.use_count(), 2);
  ASSERT_EQ(StandinCommand("reset"), "ok");  // the runtime drops its handlers
  EXPECT_EQ(handler_alive.use_count(), 1);
  EXPECT_EQ(StandinCommand("live"), "0");
  EXPECT_EQ(StandinCommand("strings"), "0");
}

}  // namespace
}  // namespace activator
