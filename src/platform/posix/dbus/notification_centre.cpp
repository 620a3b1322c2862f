#include "platform/posix/dbus/notification_centre.h"

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/app_notifications.h"

namespace activator::dbus {

namespace {

constexpr const char* kServiceName = "org.freedesktop.Notifications";
constexpr const char* kObjectPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
// The bus itself: the only sender whose NameOwnerChanged is true. Any client
// can send a signal of that name to us directly; the bus writes the true
// sender into every message, so the sender is what tells them apart.
constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";

// What the caller waits beyond the call's own time-out before giving up on a
// reply that the event loop never delivered.
constexpr std::chrono::milliseconds kReplyGrace{1000};

const std::string kServerSignalsRule =
    "type='signal',interface='org.freedesktop.Notifications',"
    "path='/org/freedesktop/Notifications'";
const std::string kOwnerChangedRule =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
    "arg0='org.freedesktop.Notifications'";

HResult CodeForBusError(const std::string& name) {
  if (name == "org.freedesktop.DBus.Error.NoReply" ||
      name == "org.freedesktop.DBus.Error.Timeout" ||
      name == "org.freedesktop.DBus.Error.TimedOut" || name == "System.Error.ETIMEDOUT") {
    return kHrTimeout;
  }
  if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
      name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
      name == "org.freedesktop.DBus.Error.Disconnected" || name == "System.Error.ENOTCONN" ||
      name == "System.Error.ECONNRESET" || name == "System.Error.EPIPE") {
    return kHrNotConnected;
  }
  return kHrFail;
}

std::string Describe(const sdbus::Error& error) {
  return error.getName() + ": " + error.getMessage();
}

}  // namespace

// One connection to the session bus with what hangs on it. The event loop
// thread holds a reference for as long as it runs, so handlers that the loop
// calls may use a plain pointer to it.
struct NotificationCentre::Link {
  // Declared first so it is destroyed last: the proxy and the match slots
  // release themselves through it.
  std::unique_ptr<sdbus::IConnection> connection;
  std::unique_ptr<sdbus::IProxy> proxy;
  sdbus::Slot server_signals;
  sdbus::Slot owner_changed;

  // Replies meet their waiting callers here. Never held with mu_.
  std::mutex reply_mu;
  std::condition_variable reply_cv;
  // Set (under reply_mu, for the waiters) when the event loop has ended; also
  // read without it to tell a dead link from a live one.
  std::atomic<bool> loop_ended{false};
};

// One call in flight; guarded by its link's reply_mu. Shared with the reply
// handler, which may run after the caller has given up waiting.
struct NotificationCentre::CallState {
  bool done = false;
  bool failed = false;
  HResult code = 0;
  std::string error;
};

NotificationCentre& NotificationCentre::Instance() {
  // Lives for ever: detached threads use it until the process ends.
  static NotificationCentre* centre = new NotificationCentre();
  return *centre;
}

NotificationCentre::NotificationCentre() {
  std::thread([this] { RunDispatcher(); }).detach();
}

void NotificationCentre::SetInvocationSink(InvocationSink sink) {
  MutexLock lock(dispatch_mu_);
  sink_ = std::move(sink);
}

void NotificationCentre::Register() {
  std::shared_ptr<Link> link = AcquireLink(nullptr, /*force_new=*/true);
  sdbus::MethodCall call;
  try {
    call = link->proxy->createMethodCall(kInterface, "GetServerInformation");
  } catch (const sdbus::Error& error) {
    throw HResultError(kHrFail, Describe(error));
  }
  Link* raw = link.get();
  auto state = SendCall(*link, call, [this, raw](sdbus::MethodReply& reply) {
    std::string name, vendor, version, spec_version;
    reply >> name >> vendor >> version >> spec_version;
    NoteServer(raw, reply.getSender());
  });
  AwaitReply(*link, *state);
}

void NotificationCentre::Show(const NotificationContent& content) {
  const NotifyRequest request = BuildNotifyRequest(content);
  std::set<std::string> action_keys;
  for (std::size_t i = 0; i < request.actions.size(); i += 2)
    action_keys.insert(request.actions[i]);
  const std::pair<std::string, std::string> key{content.tag, content.group};

  std::map<std::string, sdbus::Variant> hints;
  if (request.image_path) hints["image-path"] = sdbus::Variant(*request.image_path);
  // Lets dunst replace the job's notification even when its id was lost with
  // an old connection.
  hints["x-dunst-stack-tag"] = sdbus::Variant(request.stack_tag);

  std::shared_ptr<Link> stale;
  for (int attempt = 0;; ++attempt) {
    std::shared_ptr<Link> link = AcquireLink(stale, /*force_new=*/false);
    uint32_t replaces_id = 0;
    {
      MutexLock lock(mu_);
      if (link_ == link) {
        if (unresponsive_)
          throw HResultError(kHrTimeout, "the notification server is not answering");
        auto it = ids_by_key_.find(key);
        if (it != ids_by_key_.end()) replaces_id = it->second;
      }
    }
    sdbus::MethodCall call;
    try {
      call = link->proxy->createMethodCall(kInterface, "Notify");
      call << std::string(kAppName) << replaces_id << std::string() << request.summary
           << request.body << request.actions << hints << int32_t{0};
    } catch (const sdbus::Error& error) {
      throw HResultError(kHrFail, Describe(error));
    }
    Link* raw = link.get();
    std::shared_ptr<CallState> state;
    try {
      state = SendCall(
          *link, call,
          [this, raw, key, action_keys](sdbus::MethodReply& reply) {
            uint32_t id = 0;
            reply >> id;
            RecordShown(raw, id, key, action_keys, reply.getSender());
          },
          kLateReplyWindow);
    } catch (const HResultError&) {
      // The connection broke under us (the loop may not have noticed yet):
      // try once more on a fresh one.
      DropLink(link);
      if (attempt > 0) throw;
      stale = link;
      continue;
    }
    try {
      AwaitReply(*link, *state);
    } catch (const HResultError& error) {
      if (error.code() == kHrTimeout) {
        MutexLock lock(mu_);
        if (link_ == link) unresponsive_ = true;
      }
      throw;
    }
    return;
  }
}

bool NotificationCentre::WaitForService(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  uint64_t arrivals = 0;
  {
    MutexLock lock(mu_);
    arrivals = owner_arrivals_;
  }
  for (;;) {
    // Sleep first: the caller has just seen the service fail, and a server
    // that answers the probe but fails every show must not be asked in a
    // tight loop. A new owner of the name ends the sleep at once.
    const auto next_probe = std::min(deadline, std::chrono::steady_clock::now() + kProbeInterval);
    {
      MutexLock lock(mu_);
      while (owner_arrivals_ == arrivals) {
        if (!mu_.WaitUntil(service_cv_, next_probe) &&
            std::chrono::steady_clock::now() >= next_probe)
          break;
      }
      arrivals = owner_arrivals_;
    }
    if (ProbeServer()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

bool NotificationCentre::ProbeServer() {
  std::shared_ptr<Link> link;
  std::shared_ptr<CallState> state;
  try {
    link = AcquireLink(nullptr, /*force_new=*/false);
    sdbus::MethodCall call = link->proxy->createMethodCall(kInterface, "GetServerInformation");
    Link* raw = link.get();
    state = SendCall(*link, call, [this, raw](sdbus::MethodReply& reply) {
      NoteServer(raw, reply.getSender());
    });
  } catch (const HResultError&) {
    // No bus, or the connection broke under the call: the next probe opens a
    // new one. A missing server alone keeps the connection, which brings the
    // news of its return.
    if (link) DropLink(link);
    return false;
  } catch (const sdbus::Error&) {
    return false;
  }
  try {
    AwaitReply(*link, *state);
  } catch (const HResultError& error) {
    if (IsServiceUnavailable(error.code())) return false;
    // An error of the server's own: it is there.
  }
  NoteAnswer();
  return true;
}

void NotificationCentre::NoteAnswer() {
  MutexLock lock(mu_);
  unresponsive_ = false;
}

std::vector<NotificationCentre::Listed> NotificationCentre::List() {
  std::shared_ptr<Link> link = AcquireLink(nullptr, /*force_new=*/false);
  std::vector<Listed> listed;
  MutexLock lock(mu_);
  if (link_ != link) throw HResultError(kHrNotConnected, "session bus connection lost");
  listed.reserve(shown_.size());
  for (const auto& [id, shown] : shown_) listed.push_back({shown.key.first, shown.key.second});
  return listed;
}

std::shared_ptr<NotificationCentre::Link> NotificationCentre::AcquireLink(
    const std::shared_ptr<Link>& stale, bool force_new) {
  MutexLock connecting(connect_mu_);
  if (!force_new) {
    MutexLock lock(mu_);
    if (link_ && link_ != stale && !link_->loop_ended) return link_;
  }
  std::shared_ptr<Link> link = OpenLink();
  std::shared_ptr<Link> previous;
  {
    MutexLock lock(mu_);
    previous = std::move(link_);
    link_ = link;
    server_.clear();
    unresponsive_ = false;
    ForgetShown();
  }
  if (previous) {
    try {
      previous->connection->leaveEventLoop();
    } catch (const std::exception&) {
      // Its loop ends on its own once the connection fails.
    }
  }
  try {
    std::thread([this, link] { RunEventLoop(link); }).detach();
  } catch (const std::system_error& error) {
    // Without its loop the connection would only time out: do not keep it.
    MutexLock lock(mu_);
    if (link_ == link) link_.reset();
    throw HResultError(kHrFail, std::string("no thread for the bus: ") + error.what());
  }
  return link;
}

std::shared_ptr<NotificationCentre::Link> NotificationCentre::OpenLink() {
  auto link = std::make_shared<Link>();
  Link* raw = link.get();
  try {
    link->connection = sdbus::createSessionBusConnection();
    link->connection->setMethodCallTimeout(kCallTimeout);
    link->proxy = sdbus::createProxy(*link->connection, kServiceName, kObjectPath);
    link->server_signals = link->connection->addMatch(
        kServerSignalsRule, [this, raw](sdbus::Message& message) { OnServerSignal(raw, message); });
    link->owner_changed = link->connection->addMatch(
        kOwnerChangedRule, [this, raw](sdbus::Message& message) { OnOwnerChanged(raw, message); });
  } catch (const sdbus::Error& error) {
    throw HResultError(kHrNotConnected, "session bus unavailable: " + Describe(error));
  } catch (const std::exception& error) {
    throw HResultError(kHrNotConnected, std::string("session bus unavailable: ") + error.what());
  }
  return link;
}

void NotificationCentre::DropLink(const std::shared_ptr<Link>& link) {
  {
    MutexLock lock(mu_);
    if (link_ != link) return;
    link_.reset();  // the loop thread still holds the link
    server_.clear();
    ForgetShown();
  }
  try {
    link->connection->leaveEventLoop();
  } catch (const std::exception&) {
  }
}

void NotificationCentre::RunEventLoop(std::shared_ptr<Link> link) {
  try {
    link->connection->enterEventLoop();
  } catch (const std::exception&) {
    // The bus went away (or the connection broke): fall through and let the
    // next operation open a new connection.
  }
  {
    std::lock_guard<std::mutex> lock(link->reply_mu);
    link->loop_ended = true;
  }
  link->reply_cv.notify_all();
  std::shared_ptr<Link> ended;
  {
    MutexLock lock(mu_);
    if (link_ == link) {
      ended = std::move(link_);
      server_.clear();
      ForgetShown();
    }
  }
  // `link` is released last, here on this thread, after the loop has ended.
}

std::shared_ptr<NotificationCentre::CallState> NotificationCentre::SendCall(
    Link& link, sdbus::MethodCall& call, std::function<void(sdbus::MethodReply&)> on_reply,
    std::chrono::milliseconds reply_window) {
  auto state = std::make_shared<CallState>();
  Link* raw = &link;
  auto handler = [raw, state, on_reply = std::move(on_reply)](sdbus::MethodReply& reply,
                                                              const sdbus::Error* error) {
    bool failed = error != nullptr;
    HResult code = 0;
    std::string text;
    if (error != nullptr) {
      code = CodeForBusError(error->getName());
      text = Describe(*error);
    } else {
      try {
        on_reply(reply);
      } catch (const sdbus::Error& bad) {
        failed = true;
        code = kHrFail;
        text = Describe(bad);
      } catch (const std::exception& bad) {
        failed = true;
        code = kHrFail;
        text = bad.what();
      }
    }
    {
      std::lock_guard<std::mutex> lock(raw->reply_mu);
      state->done = true;
      state->failed = failed;
      state->code = code;
      state->error = std::move(text);
    }
    raw->reply_cv.notify_all();
  };
  try {
    link.proxy->callMethod(
        call, std::move(handler),
        std::chrono::duration_cast<std::chrono::microseconds>(reply_window).count());
  } catch (const sdbus::Error& error) {
    throw HResultError(kHrNotConnected, Describe(error));
  }
  return state;
}

void NotificationCentre::AwaitReply(Link& link, CallState& state) {
  const auto deadline = std::chrono::steady_clock::now() + kCallTimeout + kReplyGrace;
  std::unique_lock<std::mutex> lock(link.reply_mu);
  while (!state.done && !link.loop_ended) {
    if (link.reply_cv.wait_until(lock, deadline) == std::cv_status::timeout) break;
  }
  if (state.done) {
    if (state.failed) throw HResultError(state.code, state.error);
    return;
  }
  if (link.loop_ended) throw HResultError(kHrNotConnected, "session bus connection lost");
  throw HResultError(kHrTimeout, "no reply from the notification server");
}

void NotificationCentre::OnServerSignal(Link* link, sdbus::Message& message) {
  try {
    const std::string member = message.getMemberName();
    const std::string sender = message.getSender();
    if (message.getInterfaceName() != std::string(kInterface) ||
        message.getPath() != std::string(kObjectPath))
      return;
    if (member == "NotificationClosed") {
      uint32_t id = 0;
      uint32_t reason = 0;
      message >> id >> reason;
      MutexLock lock(mu_);
      if (link_.get() != link || sender != server_) return;
      auto it = shown_.find(id);
      if (it == shown_.end()) return;
      auto by_key = ids_by_key_.find(it->second.key);
      if (by_key != ids_by_key_.end() && by_key->second == id) ids_by_key_.erase(by_key);
      shown_.erase(it);
    } else if (member == "ActionInvoked") {
      uint32_t id = 0;
      std::string action;
      message >> id >> action;
      std::map<std::string, std::string> arguments;
      {
        MutexLock lock(mu_);
        if (link_.get() != link || sender != server_) return;
        auto it = shown_.find(id);
        if (it == shown_.end()) return;
        const std::set<std::string>& keys = it->second.action_keys;
        // A click on the body: some servers (notification-daemon, MATE) send
        // "default" although no such action was offered, then close the
        // notification. With a single button there is no doubt which the user
        // meant, so it counts as that button, as dunst does by itself; with
        // none or several it comes without arguments.
        if (action == kDefaultActionKey && keys.size() == 1) action = *keys.begin();
        if (action != kDefaultActionKey) {
          if (keys.count(action) == 0) return;
          auto decoded = DecodeActionKey(action);
          if (!decoded) return;
          arguments = std::move(*decoded);
        }
      }
      Dispatch(std::move(arguments));
    }
  } catch (const std::exception&) {
    // A signal with unexpected arguments is not ours to act on.
  }
}

void NotificationCentre::OnOwnerChanged(Link* link, sdbus::Message& message) {
  try {
    // A forged one would make us forget what is on screen, lift the display
    // limit and drop the true server's clicks.
    if (message.getSender() != std::string(kBusName) ||
        message.getInterfaceName() != std::string(kBusName) ||
        message.getPath() != std::string(kBusPath) ||
        message.getMemberName() != std::string("NameOwnerChanged"))
      return;
    std::string name, old_owner, new_owner;
    message >> name >> old_owner >> new_owner;
    if (name != kServiceName) return;
    MutexLock lock(mu_);
    if (link_.get() != link) return;
    // Whatever the old server showed is gone with it.
    if (new_owner != server_) ForgetShown();
    server_ = new_owner;
    unresponsive_ = false;
    if (!new_owner.empty()) {
      ++owner_arrivals_;
      service_cv_.notify_all();
    }
  } catch (const std::exception&) {
  }
}

void NotificationCentre::RecordShown(Link* link, uint32_t id,
                                     const std::pair<std::string, std::string>& key,
                                     std::set<std::string> action_keys, const std::string& server) {
  MutexLock lock(mu_);
  if (link_.get() != link) return;
  unresponsive_ = false;
  if (!server.empty() && server != server_) {
    ForgetShown();
    server_ = server;
  }
  // The server may answer a replacement with a new id (the old one was
  // closed meanwhile), or reuse an id that stood for another tag.
  auto by_key = ids_by_key_.find(key);
  if (by_key != ids_by_key_.end() && by_key->second != id) shown_.erase(by_key->second);
  auto previous = shown_.find(id);
  if (previous != shown_.end() && previous->second.key != key)
    ids_by_key_.erase(previous->second.key);
  shown_[id] = Shown{key, std::move(action_keys)};
  ids_by_key_[key] = id;
}

void NotificationCentre::NoteServer(Link* link, const std::string& server) {
  MutexLock lock(mu_);
  if (link_.get() != link) return;
  unresponsive_ = false;
  if (server.empty() || server == server_) return;
  ForgetShown();
  server_ = server;
}

void NotificationCentre::ForgetShown() {
  shown_.clear();
  ids_by_key_.clear();
}

void NotificationCentre::Dispatch(std::map<std::string, std::string> arguments) {
  {
    MutexLock lock(dispatch_mu_);
    clicks_.push_back(std::move(arguments));
  }
  dispatch_cv_.notify_one();
}

void NotificationCentre::RunDispatcher() {
  for (;;) {
    std::map<std::string, std::string> arguments;
    InvocationSink sink;
    {
      MutexLock lock(dispatch_mu_);
      while (clicks_.empty()) dispatch_mu_.Wait(dispatch_cv_);
      arguments = std::move(clicks_.front());
      clicks_.pop_front();
      sink = sink_;
    }
    if (!sink) continue;
    try {
      sink(arguments);
    } catch (...) {
      // The sink reports its own failures; one bad click must not end clicks.
    }
  }
}

}  // namespace activator::dbus
