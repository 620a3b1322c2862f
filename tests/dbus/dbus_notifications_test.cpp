// The app-notification seam on D-Bus, against a scripted notification server
// on a private bus: what Notify carries, replacement, listing, dismissal,
// clicks, and a server or bus that is missing, vanishes or hangs.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "dbus/private_bus.h"
#include "dbus/scripted_server.h"
#include "platform/app_notifications.h"
#include "platform/posix/dbus/notification_centre.h"

namespace activator {
namespace {

using testing::NotifyCall;
using testing::PrivateBus;
using testing::ScriptedServer;
using namespace std::chrono_literals;

constexpr char16_t kGroup[] = u"zorvell_processos";

// Polls `done` until it holds or ten seconds pass.
bool WaitUntil(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

AppNotification JobNotification(const std::u16string& job, const std::u16string& title,
                                const std::u16string& caption, const std::u16string& action,
                                const std::u16string& state, const std::u16string& group = kGroup) {
  AppNotificationBuilder builder;
  builder.SetHeroImage(Uri(u"file:///lab/Assets/ZorvellNotify2.png"));
  builder.SetTag(job);
  builder.SetGroup(group);
  builder.AddText(u"Zorvell Lab");
  builder.AddText(title);
  AppNotificationButton button(caption);
  button.AddArgument(u"acao", action)
      .AddArgument(u"id_execucao", job)
      .AddArgument(u"estado", state);
  builder.AddButton(button);
  return builder.BuildNotification();
}

AppNotification InProgress(const std::u16string& job) {
  return JobNotification(job, u"Processo em andamento", u"abortar", u"abortar", u"executando");
}

AppNotification Concluded(const std::u16string& job) {
  return JobNotification(job, u"Processo Concluido", u"Exibir Resultado", u"salvar", u"concluido");
}

using Listing = std::vector<std::pair<std::u16string, std::u16string>>;

Listing Listed() {
  Listing listed;
  for (const auto& n : AppNotificationManager::Default().GetAllAsync().get(kListingTimeLimit)) {
    listed.emplace_back(n.Tag(), n.Group());
  }
  return listed;
}

// Every click that reached the subscribed handler. The subscription is for
// the life of the process, so it is made once and shared by all tests.
struct Click {
  std::map<std::u16string, std::u16string> arguments;
  std::thread::id thread;
  bool show_from_handler_worked = false;
};

struct Clicks {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Click> seen;
  std::atomic<bool> show_from_handler{false};

  void Clear() {
    std::lock_guard<std::mutex> lock(mu);
    seen.clear();
  }
  std::vector<Click> WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait_for(lock, 10s, [&] { return seen.size() >= count; });
    return seen;
  }
};

Clicks& TheClicks() {
  static Clicks* clicks = [] {
    auto* made = new Clicks;
    AppNotificationManager::Default().NotificationInvoked(
        [made](const AppNotificationManager& sender,
               const AppNotificationActivatedEventArgs& args) {
          Click click;
          click.arguments = args.Arguments().values();
          click.thread = std::this_thread::get_id();
          if (made->show_from_handler) {
            // Only works off the bus's loop thread: the reply must be read
            // while the handler waits for it.
            try {
              sender.Show(InProgress(u"from-handler"));
              click.show_from_handler_worked = true;
            } catch (const HResultError&) {
            }
          }
          {
            std::lock_guard<std::mutex> lock(made->mu);
            made->seen.push_back(click);
          }
          made->cv.notify_all();
        });
    return made;
  }();
  return *clicks;
}

// Every closing that reached the subscribed handler, as "tag|group"; made
// once for the process, like the clicks.
struct Closings {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::u16string> seen;
  // While set, the handler waits, and with it the centre's loop thread:
  // whatever the bus sends the program meanwhile waits behind it.
  bool hold = false;
  std::vector<std::u16string> Seen() {
    std::lock_guard<std::mutex> lock(mu);
    return seen;
  }
  void Hold(bool held) {
    {
      std::lock_guard<std::mutex> lock(mu);
      hold = held;
    }
    cv.notify_all();
  }
};

Closings& TheClosings() {
  static Closings* closings = [] {
    auto* made = new Closings;
    AppNotificationManager::Default().NotificationClosed(
        [made](const std::u16string& tag, const std::u16string& group) {
          std::unique_lock<std::mutex> lock(made->mu);
          made->seen.push_back(tag + u"|" + group);
          made->cv.wait_for(lock, 20s, [made] { return !made->hold; });
        });
    return made;
  }();
  return *closings;
}

class DbusNotificationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = std::make_unique<PrivateBus>();
    ASSERT_TRUE(bus_->running()) << bus_->error();
    bus_->UseAsSessionBus();
    server_ = std::make_unique<ScriptedServer>(bus_->address());
    ASSERT_TRUE(server_->ok());
    TheClicks().Clear();
    TheClicks().show_from_handler = false;
    {
      std::lock_guard<std::mutex> lock(TheClosings().mu);
      TheClosings().seen.clear();
    }
    TheClosings().Hold(false);
    ASSERT_NO_THROW(manager_.Register());
  }

  void TearDown() override {
    server_.reset();
    bus_.reset();
  }

  NotifyCall ShowAndGetCall(const AppNotification& notification) {
    std::size_t before = server_->Calls().size();
    manager_.Show(notification);
    EXPECT_TRUE(server_->WaitForCalls(before + 1));
    return server_->Calls().at(before);
  }

  AppNotificationManager manager_ = AppNotificationManager::Default();
  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<ScriptedServer> server_;
};

TEST_F(DbusNotificationsTest, NotifyCarriesTheNotificationsContent) {
  NotifyCall call = ShowAndGetCall(JobNotification(u"J1 & <b>", u"Processo em andamento",
                                                   u"abortar", u"abortar", u"execu\u00e7\u00e3o"));
  EXPECT_EQ(call.app_name, "Zorvell Lab");
  EXPECT_EQ(call.replaces_id, 0u);
  EXPECT_EQ(call.summary, "Zorvell Lab");
  EXPECT_EQ(call.body, "Processo em andamento\nJ1 &amp; &lt;b&gt;");
  EXPECT_EQ(call.actions,
            (std::vector<std::string>{
                "zorvell:acao=abortar&id_execucao=J1%20%26%20%3Cb%3E&estado=execu%C3%A7%C3%A3o",
                "abortar", "default", "Abrir"}));
  EXPECT_EQ(call.hints.at("image-path"), "/lab/Assets/ZorvellNotify2.png");
  EXPECT_EQ(call.hints.at("x-dunst-stack-tag"), "J1 & <b>|zorvell_processos");
  EXPECT_EQ(call.urgency, -1);
  EXPECT_EQ(call.expire_timeout, 0);
}

// The stack tag only on a notification shown anew (mako 1.7 crashes when a
// tagged notification is replaced by id); critical urgency only on an error.
TEST_F(DbusNotificationsTest, EachFormCarriesItsHints) {
  struct Form {
    AppNotification notification;
    bool replaces;
    int urgency;
  };
  const Form forms[] = {
      {InProgress(u"J1"), false, -1},
      {Concluded(u"J1"), true, -1},
      {JobNotification(u"J1", u"Processo com erro", u"Exibir Resultado", u"salvar", u"erro"), true,
       2},
      {JobNotification(u"J2", u"Processo com erro", u"Exibir Resultado", u"salvar", u"erro"), false,
       2},
  };
  for (const Form& form : forms) {
    NotifyCall call = ShowAndGetCall(form.notification);
    SCOPED_TRACE(call.body);
    EXPECT_EQ(call.replaces_id != 0, form.replaces);
    EXPECT_EQ(call.hints.count("x-dunst-stack-tag"), form.replaces ? 0u : 1u);
    EXPECT_EQ(call.hints.at("image-path"), "/lab/Assets/ZorvellNotify2.png");
    EXPECT_EQ(call.urgency, form.urgency);
  }
}

TEST_F(DbusNotificationsTest, LaterFormReplacesTheEarlierAndTheListingFollows) {
  NotifyCall first = ShowAndGetCall(InProgress(u"J1"));
  NotifyCall other = ShowAndGetCall(InProgress(u"J2"));
  NotifyCall replacing = ShowAndGetCall(Concluded(u"J1"));
  EXPECT_NE(first.id, other.id);
  EXPECT_EQ(other.replaces_id, 0u);
  EXPECT_EQ(replacing.replaces_id, first.id);
  EXPECT_EQ(replacing.id, first.id);
  EXPECT_EQ(Listed(), (Listing{{u"J1", kGroup}, {u"J2", kGroup}}));

  // The same tag in another group is another notification.
  NotifyCall elsewhere =
      ShowAndGetCall(JobNotification(u"J1", u"x", u"y", u"salvar", u"erro", u"outro_grupo"));
  EXPECT_EQ(elsewhere.replaces_id, 0u);
  EXPECT_EQ(Listed(), (Listing{{u"J1", kGroup}, {u"J2", kGroup}, {u"J1", u"outro_grupo"}}));
}

TEST_F(DbusNotificationsTest, DismissedNotificationLeavesTheListingAndIsShownAnew) {
  NotifyCall first = ShowAndGetCall(InProgress(u"J1"));
  ShowAndGetCall(InProgress(u"J2"));
  server_->Dismiss(first.id);
  EXPECT_TRUE(WaitUntil([] { return Listed() == Listing{{u"J2", kGroup}}; }));
  // Told after the listing has changed, on the bus's thread.
  EXPECT_TRUE(WaitUntil([] { return !TheClosings().Seen().empty(); }));
  EXPECT_EQ(TheClosings().Seen(), std::vector<std::u16string>{u"J1|zorvell_processos"});

  NotifyCall again = ShowAndGetCall(Concluded(u"J1"));
  EXPECT_EQ(again.replaces_id, 0u);
  EXPECT_NE(again.id, first.id);
  EXPECT_EQ(Listed(), (Listing{{u"J2", kGroup}, {u"J1", kGroup}}));
}

TEST_F(DbusNotificationsTest, CloseRightAfterTheReplyIsNotMissed) {
  server_->CloseRightAfterReply(true);
  ShowAndGetCall(InProgress(u"J1"));
  ShowAndGetCall(InProgress(u"J2"));
  EXPECT_TRUE(WaitUntil([] { return Listed().empty(); }));
}

TEST_F(DbusNotificationsTest, ButtonClickReachesTheHandlerWithItsArgumentsOffTheBusThread) {
  TheClicks().show_from_handler = true;
  NotifyCall call = ShowAndGetCall(JobNotification(
      u"J=1&x", u"Processo Concluido", u"Exibir Resultado", u"salvar", u"conclu\u00eddo"));
  server_->Click(call.id, call.actions.at(0));
  std::vector<Click> clicks = TheClicks().WaitFor(1);
  ASSERT_EQ(clicks.size(), 1u);
  EXPECT_EQ(clicks[0].arguments,
            (std::map<std::u16string, std::u16string>{
                {u"acao", u"salvar"}, {u"id_execucao", u"J=1&x"}, {u"estado", u"conclu\u00eddo"}}));
  EXPECT_NE(clicks[0].thread, std::this_thread::get_id());
  EXPECT_TRUE(clicks[0].show_from_handler_worked);
  // The click closed the notification; the handler's own one is listed.
  EXPECT_TRUE(WaitUntil([] { return Listed() == Listing{{u"from-handler", kGroup}}; }));
}

TEST_F(DbusNotificationsTest, BodyClickNeverAbortsAndForeignClicksAreIgnored) {
  NotifyCall call = ShowAndGetCall(InProgress(u"J1"));
  const std::string& key = call.actions.at(0);
  // Not ours: an unknown id, a key the notification does not have, a key of
  // another application, and a valid click sent by someone who is not the
  // notification server.
  server_->SendActionInvoked(call.id + 100, key, call.sender);
  server_->SendActionInvoked(call.id, "zorvell:acao=salvar&id_execucao=J1&estado=concluido",
                             call.sender);
  server_->SendActionInvoked(call.id, "other-app:open", call.sender);
  {
    ScriptedServer impostor(bus_->address(), /*claim_name=*/false);
    ASSERT_TRUE(impostor.ok());
    impostor.SendActionInvoked(call.id, key, call.sender);
  }
  // Signals are handled in order, so once this one arrives the others have
  // been looked at.
  // The body of an in-progress notification: its only button ends the job,
  // so the click asks for nothing.
  server_->SendActionInvoked(call.id, "default", call.sender);
  std::vector<Click> clicks = TheClicks().WaitFor(1);
  ASSERT_EQ(clicks.size(), 1u);
  EXPECT_TRUE(clicks[0].arguments.empty());

  // With two buttons the body names neither.
  AppNotification two = InProgress(u"J2");
  AppNotificationBuilder builder;
  builder.SetTag(u"J2");
  builder.SetGroup(kGroup);
  builder.AddText(u"x");
  for (const char16_t* action : {u"abortar", u"salvar"}) {
    AppNotificationButton button(action);
    button.AddArgument(u"acao", action);
    builder.AddButton(button);
  }
  NotifyCall both = ShowAndGetCall(builder.BuildNotification());
  server_->SendActionInvoked(both.id, "default", both.sender);
  clicks = TheClicks().WaitFor(2);
  ASSERT_EQ(clicks.size(), 2u);
  EXPECT_TRUE(clicks[1].arguments.empty());
}

// The habits of the servers people use, played by the scripted server. On
// each: no form kills the server, a body click on an in-progress notification
// asks for nothing, one on a concluded notification stands for its button and
// arrives once, and every close is understood.
TEST_F(DbusNotificationsTest, ServerHabitsCostNoClickAndNoServer) {
  using Arguments = std::map<std::u16string, std::u16string>;
  struct Habit {
    const char* server;
    testing::ServerQuirks quirks;
  };
  const Habit habits[] = {
      {"as the protocol says (dunst, notification-daemon)", {}},
      {"GNOME Shell 43: default once per Notify, closes as expired",
       {.repeat_default_per_notify = true, .close_reason = 1}},
      {"KDE Plasma 5.27: closed by a call", {.close_reason = 3}},
      {"mako 1.7: dies on a tagged replacement", {.dies_on_tagged_replacement = true}},
      {"swaync 0.7: NotificationClosed twice", {.close_twice = true}},
  };
  int row = 0;
  for (const Habit& habit : habits) {
    SCOPED_TRACE(habit.server);
    server_->SetQuirks(habit.quirks);
    TheClicks().Clear();
    const std::u16string running = u"R" + std::u16string(1, u'0' + row);
    const std::u16string done = u"D" + std::u16string(1, u'0' + row);
    const std::u16string last = u"L" + std::u16string(1, u'0' + row);
    ++row;

    NotifyCall in_progress = ShowAndGetCall(InProgress(running));
    server_->Click(in_progress.id, "default");
    ShowAndGetCall(InProgress(done));
    NotifyCall concluded = ShowAndGetCall(Concluded(done));
    ASSERT_TRUE(server_->ok());
    EXPECT_NE(concluded.replaces_id, 0u);
    server_->Click(concluded.id, "default");
    // Clicks arrive in order: once this one is in, a repeat would be too.
    NotifyCall sentinel = ShowAndGetCall(Concluded(last));
    server_->Click(sentinel.id, sentinel.actions.at(0));
    std::vector<Click> clicks = TheClicks().WaitFor(3);
    ASSERT_EQ(clicks.size(), 3u);
    EXPECT_TRUE(clicks[0].arguments.empty());
    EXPECT_EQ(clicks[1].arguments,
              (Arguments{{u"acao", u"salvar"}, {u"id_execucao", done}, {u"estado", u"concluido"}}));
    EXPECT_EQ(clicks[2].arguments.at(u"id_execucao"), last);
    EXPECT_TRUE(WaitUntil([] { return Listed().empty(); }));
  }
}

// xfce4-notifyd 0.7 draws a labelled "default" as a button and shows a
// notification with a "value" hint as a bare gauge. A server that takes the
// name is asked what it is before the next show; when the show went out
// before the bus's word of the new owner was read, it is written again.
TEST_F(DbusNotificationsTest, AServerThatDrawsDefaultOrHidesTextsBehindABarGetsNeither) {
  AppNotificationBuilder builder;
  builder.SetTag(u"J1").SetGroup(kGroup).AddText(u"Zorvell Lab").AddText(u"Processo em andamento");
  builder.AddProgressBar(AppNotificationProgressBar());
  AppNotificationButton button(u"abortar");
  button.AddArgument(u"acao", u"abortar");
  builder.AddButton(button);
  AppNotification notification = builder.BuildNotification();
  notification.SetProgress({1, u"Progresso", 0.4});

  for (bool word_late : {false, true}) {
    SCOPED_TRACE(word_late ? "written before the word of the new owner" : "told first");
    server_.reset();
    server_ = std::make_unique<ScriptedServer>(bus_->address());
    ASSERT_TRUE(server_->ok());
    const NotifyCall earlier = ShowAndGetCall(InProgress(u"J0"));
    // A closing whose handler holds the loop thread keeps the bus's word of
    // the next owner back; the show is written meanwhile, for the old server,
    // and goes out once the loop is let go.
    const std::size_t closed = TheClosings().Seen().size();
    TheClosings().Hold(word_late);
    server_->Dismiss(earlier.id);
    ASSERT_TRUE(WaitUntil([&] { return TheClosings().Seen().size() > closed; }));
    std::future<void> shown;
    auto show = [&] {
      shown = std::async(std::launch::async, [&] { manager_.Show(notification); });
    };
    if (word_late) show();
    server_.reset();
    server_ = std::make_unique<ScriptedServer>(bus_->address());
    ASSERT_TRUE(server_->ok());
    server_->SetQuirks({.name = "Xfce Notify Daemon"});
    if (!word_late) {
      ASSERT_TRUE(server_->Flush(earlier.sender));
      show();
    }
    TheClosings().Hold(false);
    ASSERT_NO_THROW(shown.get());
    ASSERT_FALSE(server_->Calls().empty());
    const NotifyCall call = server_->Calls().back();
    EXPECT_EQ(call.actions.size(), 2u);
    EXPECT_EQ(call.body, "Processo em andamento\n40%\nJ1");
    EXPECT_EQ(call.value, -1);
    EXPECT_EQ(Listed(), (Listing{{u"J1", kGroup}}));
  }
}

TEST_F(DbusNotificationsTest, ServerMissingAtRegisterRaisesAndShowsWorkOnceItAppears) {
  server_.reset();
  EXPECT_THROW(manager_.Register(), HResultError);
  EXPECT_THROW(manager_.Show(InProgress(u"J1")), HResultError);
  EXPECT_TRUE(Listed().empty());

  server_ = std::make_unique<ScriptedServer>(bus_->address());
  ASSERT_TRUE(server_->ok());
  ShowAndGetCall(InProgress(u"J1"));
  EXPECT_EQ(Listed(), (Listing{{u"J1", kGroup}}));
}

TEST_F(DbusNotificationsTest, VanishedServerClearsTheListingAndShowsFailUntilItReturns) {
  ShowAndGetCall(InProgress(u"J1"));
  ShowAndGetCall(InProgress(u"J2"));
  server_->Vanish();
  EXPECT_TRUE(WaitUntil([] { return Listed().empty(); }));
  try {
    manager_.Show(InProgress(u"J3"));
    ADD_FAILURE() << "shown with no server";
  } catch (const HResultError& error) {
    EXPECT_EQ(error.code(), kHrNotConnected);
  }

  server_->Return();
  NotifyCall back = ShowAndGetCall(Concluded(u"J1"));
  EXPECT_EQ(back.replaces_id, 0u);  // what the old server showed is gone
  EXPECT_EQ(Listed(), (Listing{{u"J1", kGroup}}));
}

// A paused server costs one time-out, not one per show; what it shows when
// it wakes is known like anything else shown.
TEST_F(DbusNotificationsTest, HungServerTimesOutOnceAndItsLateAnswerIsKept) {
  server_->StallNotify(dbus::kCallTimeout + 2500ms);
  for (int i = 0; i < 2; ++i) {
    try {
      manager_.Show(InProgress(u"J1"));
      ADD_FAILURE() << "a hung server's show succeeded";
    } catch (const HResultError& error) {
      EXPECT_EQ(error.code(), kHrTimeout);
    }
  }
  EXPECT_EQ(server_->Calls().size(), 1u);  // the second never reached it
  // The late answer is kept, but a late answer is not a timely one: shows
  // still fail at once.
  EXPECT_TRUE(WaitUntil([] { return Listed() == Listing{{u"J1", kGroup}}; }));
  try {
    manager_.Show(InProgress(u"J2"));
    ADD_FAILURE() << "shown although the server answers late";
  } catch (const HResultError& error) {
    EXPECT_EQ(error.code(), kHrTimeout);
  }
  EXPECT_EQ(server_->Calls().size(), 1u);
  server_->StallNotify(0ms);
  EXPECT_TRUE(manager_.WaitForService(10s));
  EXPECT_EQ(Listed(), (Listing{{u"J1", kGroup}}));
  NotifyCall replacing = ShowAndGetCall(Concluded(u"J1"));
  EXPECT_EQ(replacing.replaces_id, server_->Calls().at(0).id);
  ShowAndGetCall(InProgress(u"J2"));
  EXPECT_EQ(Listed(), (Listing{{u"J1", kGroup}, {u"J2", kGroup}}));
}

// A server that answers with an error is there: the show is refused, not
// waiting for a server, and the next show goes to it at once.
TEST_F(DbusNotificationsTest, ARefusalIsNotAnOutage) {
  server_->RefuseNotify(true);
  try {
    manager_.Show(InProgress(u"J1"));
    ADD_FAILURE() << "a refused show succeeded";
  } catch (const HResultError& error) {
    EXPECT_FALSE(IsServiceUnavailable(error.code())) << error.code();
  }
  server_->RefuseNotify(false);
  ShowAndGetCall(InProgress(u"J2"));
  EXPECT_EQ(Listed(), (Listing{{u"J2", kGroup}}));
}

TEST_F(DbusNotificationsTest, WaitForServiceWakesWhenTheServerReturns) {
  server_->Vanish();
  EXPECT_FALSE(manager_.WaitForService(100ms));
  auto waited = std::async(std::launch::async, [this] { return manager_.WaitForService(20s); });
  EXPECT_EQ(waited.wait_for(200ms), std::future_status::timeout);
  server_->Return();
  EXPECT_TRUE(waited.get());
  ShowAndGetCall(InProgress(u"J1"));
}

// Only the bus says who owns the service name, and only that owner closes and
// clicks: the same signals sent by another client change nothing.
TEST_F(DbusNotificationsTest, ForgedSignalsFromAnotherClientChangeNothing) {
  NotifyCall call = ShowAndGetCall(InProgress(u"J1"));
  ScriptedServer impostor(bus_->address(), /*claim_name=*/false);
  ASSERT_TRUE(impostor.ok());
  const std::string& us = call.sender;
  impostor.SendOwnerChanged(server_->UniqueName(), impostor.UniqueName(), us);
  impostor.SendClosed(call.id, us);
  impostor.SendActionInvoked(call.id, call.actions.at(0), us);
  impostor.SendOwnerChanged(server_->UniqueName(), "", us);
  ASSERT_TRUE(impostor.Flush(us));

  EXPECT_EQ(Listed(), (Listing{{u"J1", kGroup}}));
  EXPECT_TRUE(TheClosings().Seen().empty());
  NotifyCall replacing = ShowAndGetCall(Concluded(u"J1"));
  EXPECT_EQ(replacing.replaces_id, call.id);
  server_->Click(replacing.id, replacing.actions.at(0));
  std::vector<Click> clicks = TheClicks().WaitFor(1);
  ASSERT_EQ(clicks.size(), 1u);
  EXPECT_EQ(clicks[0].arguments.at(u"acao"), u"salvar");
}

// A bus that takes the connection and never answers its handshake costs a
// call's time-out, not the library's 90 s under the connection lock.
TEST_F(DbusNotificationsTest, SilentBusIsGivenUpOnLikeAnyCall) {
  const std::string path = ::testing::TempDir() + "silent_bus_" + std::to_string(getpid());
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  path.copy(address.sun_path, path.size());
  unlink(path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener, 16), 0);
  setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);

  auto registering = std::async(std::launch::async, [this] {
    try {
      manager_.Register();
      return HResult{0};
    } catch (const HResultError& error) {
      return error.code();
    }
  });
  // Far beyond the call's time-out, far below the handshake's.
  ASSERT_EQ(registering.wait_for(45s), std::future_status::ready);
  EXPECT_EQ(registering.get(), kHrTimeout);

  // The bus is closed and the real one is back: shows work again.
  close(listener);
  unlink(path.c_str());
  bus_->UseAsSessionBus();
  EXPECT_TRUE(WaitUntil([this] {
    try {
      manager_.Register();
      return true;
    } catch (const HResultError&) {
      return false;
    }
  }));
  ShowAndGetCall(InProgress(u"J1"));
}

// Running out of descriptors is the program's own trouble, not the server's
// refusal: it counts as an outage, so the job waits instead of being dropped.
TEST_F(DbusNotificationsTest, RunningOutOfDescriptorsIsAnOutage) {
  std::vector<int> spent;
  for (int fd = dup(0); fd >= 0; fd = dup(0)) spent.push_back(fd);
  HResult code = 0;
  try {
    manager_.Register();  // a new connection
  } catch (const HResultError& error) {
    code = error.code();
  }
  for (int fd : spent) close(fd);
  EXPECT_TRUE(IsServiceUnavailable(code)) << code;
  ASSERT_NO_THROW(manager_.Register());
  ShowAndGetCall(InProgress(u"J1"));
}

TEST_F(DbusNotificationsTest, BusGoingAwayRaisesEverywhereAndANewBusIsTakenUp) {
  ShowAndGetCall(InProgress(u"J1"));
  server_.reset();  // its connection would die with the bus anyway
  bus_->Kill();
  EXPECT_THROW(manager_.Show(InProgress(u"J2")), HResultError);
  EXPECT_THROW(manager_.GetAllAsync(), HResultError);
  EXPECT_THROW(manager_.Register(), HResultError);

  // A new session bus: operations connect again by themselves.
  bus_ = std::make_unique<PrivateBus>();
  ASSERT_TRUE(bus_->running()) << bus_->error();
  bus_->UseAsSessionBus();
  EXPECT_TRUE(Listed().empty());
  server_ = std::make_unique<ScriptedServer>(bus_->address());
  ASSERT_TRUE(server_->ok());
  NotifyCall call = ShowAndGetCall(InProgress(u"J1"));
  EXPECT_EQ(call.replaces_id, 0u);
  server_->Click(call.id, call.actions.at(0));
  EXPECT_EQ(TheClicks().WaitFor(1).size(), 1u);
}

}  // namespace
}  // namespace activator
