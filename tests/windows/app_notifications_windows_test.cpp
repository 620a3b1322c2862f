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

  // A progress update of the notification Build(u"J", ...) shows.
  static AppNotificationProgressResult Update(const AppNotificationManager& manager) {
    manager.Show(Build(u"J", u"x", u"abortar"));
    return manager.UpdateProgress({1, u"Progresso", 0.5}, u"J", u"zorvell_processos");
  }

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

// A job's progress as the program shows it: a bar bound to the data shown
// with the notification and then changed in place, never shown anew; the
// queue as the attribution text of a re-show without a banner.
TEST_F(WindowsNotificationsTest, ProgressChangesInPlaceAndAQuietShowPopsNoBanner) {
  const AppNotificationManager manager = AppNotificationManager::Default();
  auto show = [&](uint32_t sequence, double value, const std::u16string& waiting, bool quiet) {
    AppNotificationBuilder builder;
    builder.SetTag(u"J1")
        .SetGroup(u"zorvell_processos")
        .AddText(u"Processo em andamento")
        .AddText(u"Relat\u00f3rio mensal")
        .AddProgressBar(AppNotificationProgressBar());
    if (!waiting.empty()) builder.SetAttributionText(waiting);
    AppNotification notification = builder.BuildNotification();
    notification.SetProgress({sequence, u"Progresso", value});
    notification.SetSuppressDisplay(quiet);
    manager.Show(notification);
  };
  const auto update = [&](uint32_t sequence, double value, const std::u16string& tag) {
    return manager.UpdateProgress({sequence, u"Progresso", value}, tag, u"zorvell_processos");
  };
  show(1, 0.25, u"", false);
  EXPECT_EQ(update(2, 0.5, u"J1"), AppNotificationProgressResult::kSucceeded);
  EXPECT_EQ(update(1, 0.3, u"J1"), AppNotificationProgressResult::kSucceeded);  // older: ignored
  EXPECT_EQ(update(3, 0.4, u"J2"), AppNotificationProgressResult::kNotificationNotFound);
  EXPECT_EQ(StandinCommand("list"),
            "J1|zorvell_processos||Processo em andamento|Relat\xC3\xB3rio mensal|"
            "progress=Progresso:50\n");
  show(4, 0.6, u"+2 na fila", true);
  EXPECT_EQ(StandinCommand("list"),
            "J1|zorvell_processos||Processo em andamento|Relat\xC3\xB3rio mensal|"
            "progress=Progresso:60|attribution=+2 na fila\n");
  EXPECT_EQ(StandinCommand("events"),
            "banner J1|zorvell_processos\n"
            "update J1|zorvell_processos 50\n"
            "stale J1|zorvell_processos 30\n"
            "notfound J2|zorvell_processos\n"
            "quiet J1|zorvell_processos\n");
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
      {"ProgressBar", [](const AppNotificationManager&) { AppNotificationProgressBar(); }, kCode},
      {"ProgressData",
       [](const AppNotificationManager&) {
         AppNotificationBuilder().BuildNotification().SetProgress({1, u"Progresso", 0.5});
       },
       kCode},
      {"UpdateAsync", [](const AppNotificationManager& m) { Update(m); }, kCode},
      {"UpdateError", [](const AppNotificationManager& m) { Update(m); }, kCode},
      // Waits the whole limit: an update that never completes is given up.
      {"UpdateHang", [](const AppNotificationManager& m) { Update(m); }, kHrTimeout},
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
    AppNotificationBuilder builder;
    AppNotification quiet = builder.SetTag(u"J1")
                                .SetGroup(u"zorvell_processos")
                                .AddProgressBar(AppNotificationProgressBar())
                                .SetAttributionText(u"+1 na fila")
                                .BuildNotification();
    quiet.SetProgress({1, u"Progresso", 0.5});
    quiet.SetSuppressDisplay(true);
    manager.Show(quiet);
    EXPECT_EQ(manager.UpdateProgress({2, u"Progresso", 0.6}, u"J1", u"zorvell_processos"),
              AppNotificationProgressResult::kSucceeded);
    EXPECT_EQ(manager.UpdateProgress({3, u"Progresso", 0.7}, u"J9", u"zorvell_processos"),
              AppNotificationProgressResult::kNotificationNotFound);
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
    ASSERT_EQ(StandinCommand("fail UpdateError 80004005"), "ok");
    EXPECT_THROW(manager.UpdateProgress({4, u"Progresso", 1}, u"J1", u"zorvell_processos"),
                 HResultError);
  }
  // The runtime still holds the subscribed handler, and nothing else.
  EXPECT_EQ(handler_alive.use_count(), 2);
  ASSERT_EQ(StandinCommand("reset"), "ok");  // the runtime drops its handlers
  EXPECT_EQ(handler_alive.use_count(), 1);
  EXPECT_EQ(StandinCommand("live"), "0");
  EXPECT_EQ(StandinCommand("strings"), "0");
}

// The payload, tag, group, progress data ("<sequence> <status> <value>") and
// display suppression of `notification`, or the failure that built it.
struct Built {
  std::u16string payload, tag, group, progress;
  bool quiet = false;
  HResult failure = 0;
  bool operator==(const Built&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Built& b) {
    return out << "failure " << Hex(b.failure) << " tag [" << Utf16ToUtf8(b.tag) << "] group ["
               << Utf16ToUtf8(b.group) << "] progress [" << Utf16ToUtf8(b.progress) << "] quiet "
               << b.quiet << " payload " << Utf16ToUtf8(b.payload);
  }
};

// The forms of a job notification, built with the calls the program makes.
struct Form {
  const char16_t* title;
  const char16_t* caption;
  const char16_t* action;
  const char16_t* state;
  bool progress_bar;
};
constexpr Form kForms[] = {
    {u"Processo em andamento", u"abortar", u"abortar", u"executando", true},
    {u"Processo Concluido", u"Exibir Resultado", u"salvar", u"concluido", false},
    {u"Processo com erro", u"Exibir Resultado", u"salvar", u"erro", false},
};

// `form` with `lines` of text below its title and, when not empty, an
// attribution text; with a progress bar, shown quietly at half way.
Built BuildForm(const Form& form, const std::u16string& job_id, const std::u16string& extra,
                const std::vector<std::u16string>& lines = {},
                const std::u16string& attribution = u"") {
  Built built;
  try {
    AppNotificationBuilder builder;
    builder.SetHeroImage(Uri(u"file:///C:/Zorvell_Lab/Assets/ZorvellNotify2.png"))
        .SetTag(job_id)
        .SetGroup(u"zorvell_processos")
        .AddText(u"Zorvell Lab" + extra)
        .AddText(form.title);
    for (const std::u16string& line : lines) builder.AddText(line);
    if (form.progress_bar) builder.AddProgressBar(AppNotificationProgressBar());
    if (!attribution.empty()) builder.SetAttributionText(attribution);
    AppNotificationButton button(form.caption);
    button.AddArgument(u"acao", form.action)
        .AddArgument(u"id_execucao", job_id)
        .AddArgument(u"estado", form.state);
    builder.AddButton(button);
    AppNotification notification = builder.BuildNotification();
    if (form.progress_bar) {
      notification.SetProgress({7, u"Progresso", 0.5});
      notification.SetSuppressDisplay(true);
    }
    const auto& runtime = notification.impl()->notification;
    HString payload;
    ThrowIfFailed(runtime->get_Payload(payload.put()));
    built.payload = payload.Text();
    built.tag = notification.Tag();
    built.group = notification.Group();
    ComRef<abi::IAppNotificationProgressData> data;
    ThrowIfFailed(runtime->get_Progress(data.put()));
    if (data) {
      UINT32 sequence = 0;
      HString status;
      DOUBLE value = 0;
      ThrowIfFailed(data->get_SequenceNumber(&sequence));
      ThrowIfFailed(data->get_Status(status.put()));
      ThrowIfFailed(data->get_Value(&value));
      built.progress = Utf8ToUtf16(std::to_string(sequence)) + u" " + status.Text() + u" " +
                       Utf8ToUtf16(std::to_string(value));
    }
    abi::Boolean quiet = 0;
    ThrowIfFailed(runtime->get_SuppressDisplay(&quiet));
    built.quiet = quiet != 0;
  } catch (const HResultError& e) {
    built.failure = e.code();
  }
  return built;
}

// The builder classes of the real Windows App SDK runtime, run under wine in
// this process, against the stand-in's model of them: every form, with job
// ids, descriptions and attribution texts that need encoding, gives the same
// payload, tag, group and progress data from both; both refuse a payload one
// character over the platform's limit and a fourth line of text.
TEST_F(WindowsNotificationsTest, TheStandinBuildsWhatTheRealBuilderBuilds) {
  const std::wstring dll = REAL_RUNTIME_DLL;
  if (dll.empty()) GTEST_SKIP() << "no Windows App SDK packages configured";
  std::string why;
  ASSERT_TRUE(testing::LoadRealRuntime(dll, ROMETADATA_STUB, why)) << why;
  auto both = [&](const Form& form, const std::u16string& id, const std::u16string& extra,
                  const std::vector<std::u16string>& lines = {},
                  const std::u16string& attribution = u"") {
    for (const wchar_t* name :
         {abi::kAppNotificationBuilderClass, abi::kAppNotificationButtonClass,
          abi::kAppNotificationProgressBarClass, abi::kAppNotificationProgressDataClass,
          L"Microsoft.Windows.AppNotifications.AppNotification"}) {
      EXPECT_TRUE(testing::RegisterRealClass(name, dll));
    }
    const Built real = BuildForm(form, id, extra, lines, attribution);
    EXPECT_TRUE(testing::RegisterStandinRuntime());
    return std::pair(real, BuildForm(form, id, extra, lines, attribution));
  };
  const std::u16string ids[] = {
      u"J1", u"a&b c", u"k=v;w=x", u"50%3B%", u"J\u00e9 \u4e2d", u"<i a='1' b=\"2\">", u""};
  for (const Form& form : kForms) {
    for (const std::u16string& id : ids) {
      SCOPED_TRACE(Utf16ToUtf8(form.title) + " / " + Utf16ToUtf8(id));
      const auto [real, standin] = both(form, id, u"", {u"Relat\u00f3rio " + id}, u"+3 " + id);
      EXPECT_EQ(real.failure, 0) << real;
      EXPECT_EQ(standin, real);
    }
  }
  const auto [real, standin] = both(kForms[0], u"J1", u"", {u"um", u"dois"});
  EXPECT_EQ(real.failure, static_cast<HResult>(E_INVALIDARG)) << real;
  EXPECT_EQ(standin, real);
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
