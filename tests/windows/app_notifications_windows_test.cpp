// The Windows notification port against the stand-in runtime, through wine's
// combase: what the program relies on from the Windows App SDK, and that the
// port gives back every reference and HSTRING it is handed. Where the real
// runtime runs under wine (its builder), the stand-in is held to it.
#include "platform/windows/app_notifications_windows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/app_notifications.h"
#include "platform/com.h"
#include "platform/text_conversion.h"
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

// The payload, tag and group of `notification`, or the failure that built it.
struct Built {
  std::u16string payload, tag, group;
  HResult failure = 0;
  bool operator==(const Built&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Built& b) {
    return out << "failure " << Hex(b.failure) << " tag [" << Utf16ToUtf8(b.tag) << "] group ["
               << Utf16ToUtf8(b.group) << "] payload " << Utf16ToUtf8(b.payload);
  }
};

// The forms of a job notification, built with the calls the program makes.
struct Form {
  const char16_t* title;
  const char16_t* caption;
  const char16_t* action;
  const char16_t* state;
};
constexpr Form kForms[] = {
    {u"Processo em andamento", u"abortar", u"abortar", u"executando"},
    {u"Processo Concluido", u"Exibir Resultado", u"salvar", u"concluido"},
    {u"Processo com erro", u"Exibir Resultado", u"salvar", u"erro"},
};

Built BuildForm(const Form& form, const std::u16string& job_id, const std::u16string& extra) {
  Built built;
  try {
    AppNotificationBuilder builder;
    builder.SetHeroImage(Uri(u"file:///C:/Zorvell_Lab/Assets/ZorvellNotify2.png"))
        .SetTag(job_id)
        .SetGroup(u"zorvell_processos")
        .AddText(u"Zorvell Lab" + extra)
        .AddText(form.title);
    AppNotificationButton button(form.caption);
    button.AddArgument(u"acao", form.action)
        .AddArgument(u"id_execucao", job_id)
        .AddArgument(u"estado", form.state);
    builder.AddButton(button);
    const AppNotification notification = builder.BuildNotification();
    HString payload;
    ThrowIfFailed(notification.impl()->notification->get_Payload(payload.put()));
    built.payload = payload.Text();
    built.tag = notification.Tag();
    built.group = notification.Group();
  } catch (const HResultError& e) {
    built.failure = e.code();
  }
  return built;
}

// The builder classes of the real Windows App SDK runtime, run under wine in
// this process, against the stand-in's model of them: every form, with job
// ids that need encoding, gives the same payload, tag and group from both,
// and both refuse a payload one character over the platform's limit.
TEST_F(WindowsNotificationsTest, TheStandinBuildsWhatTheRealBuilderBuilds) {
  const std::wstring dll = REAL_RUNTIME_DLL;
  if (dll.empty()) GTEST_SKIP() << "no Windows App SDK packages configured";
  std::string why;
  ASSERT_TRUE(testing::LoadRealRuntime(dll, ROMETADATA_STUB, why)) << why;
  auto both = [&](const Form& form, const std::u16string& id, const std::u16string& extra) {
    for (const wchar_t* name : {abi::kAppNotificationBuilderClass, abi::kAppNotificationButtonClass,
                                L"Microsoft.Windows.AppNotifications.AppNotification"}) {
      EXPECT_TRUE(testing::RegisterRealClass(name, dll));
    }
    const Built real = BuildForm(form, id, extra);
    EXPECT_TRUE(testing::RegisterStandinRuntime());
    return std::pair(real, BuildForm(form, id, extra));
  };
  const std::u16string ids[] = {
      u"J1", u"a&b c", u"k=v;w=x", u"50%3B%", u"J\u00e9 \u4e2d", u"<i a='1' b=\"2\">", u""};
  for (const Form& form : kForms) {
    for (const std::u16string& id : ids) {
      SCOPED_TRACE(Utf16ToUtf8(form.title) + " / " + Utf16ToUtf8(id));
      const auto [real, standin] = both(form, id, u"");
      EXPECT_EQ(real.failure, 0);
      EXPECT_EQ(standin, real);
    }
  }
  // The limit: the real payload padded to 5120 characters, and one more.
  const Built base = both(kForms[0], u"J1", u"").first;
  ASSERT_EQ(base.failure, 0) << base;
  const std::size_t room = 5120 - base.payload.size();
  for (const std::size_t pad : {room, room + 1}) {
    SCOPED_TRACE(pad);
    const auto [real, standin] = both(kForms[0], u"J1", std::u16string(pad, u'x'));
    EXPECT_EQ(real.failure, pad == room ? 0 : static_cast<HResult>(E_FAIL)) << real;
    EXPECT_EQ(standin, real);
  }
}

// Where the real runtime's manager stops under wine, so that the stand-in
// still serves it: IsSupported is false (the runtime's test is that the
// process is not elevated, and wine's token is), and Default fails for want
// of Windows.ApplicationModel.Core.CoreApplication, which wine lacks. Should
// wine come to serve either, this fails, and the stand-in can shrink further.
TEST_F(WindowsNotificationsTest, TheRealManagerStopsWhereWineLacksThePlatform) {
  const std::wstring dll = REAL_RUNTIME_DLL;
  if (dll.empty()) GTEST_SKIP() << "no Windows App SDK packages configured";
  std::string why;
  ASSERT_TRUE(testing::LoadRealRuntime(dll, ROMETADATA_STUB, why)) << why;
  ASSERT_TRUE(testing::RegisterRealClass(abi::kAppNotificationManagerClass, dll));
  bool supported = true;
  HResult default_failure = 0;
  try {
    supported = AppNotificationManager::IsSupported();
    AppNotificationManager::Default();
  } catch (const HResultError& e) {
    default_failure = e.code();
  }
  ASSERT_TRUE(testing::RegisterStandinRuntime());
  EXPECT_FALSE(supported);
  EXPECT_EQ(Hex(default_failure), "80040154");  // REGDB_E_CLASSNOTREG
}

}  // namespace
}  // namespace activator
