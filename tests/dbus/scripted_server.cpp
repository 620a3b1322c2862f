#include "dbus/scripted_server.h"

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <tuple>

namespace activator::testing {

namespace {

constexpr const char* kName = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

constexpr uint32_t kReasonDismissed = 2;
constexpr uint32_t kReasonClosedByCall = 3;

}  // namespace

ScriptedServer::ScriptedServer(std::string address, bool claim_name)
    : address_(std::move(address)), claim_name_(claim_name) {
  Start();
}

ScriptedServer::~ScriptedServer() {
  if (crash_.joinable()) crash_.join();
  Stop();
}

bool ScriptedServer::ok() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ok_;
}

void ScriptedServer::Start() {
  try {
    connection_ = sdbus::createSessionBusConnectionWithAddress(address_);
    object_ = sdbus::createObject(*connection_, kPath);
    object_->registerMethod("Notify")
        .onInterface(kInterface)
        .implementedAs(
            [this](sdbus::Result<uint32_t>&& result, const std::string& app_name,
                   uint32_t replaces_id, const std::string& app_icon, const std::string& summary,
                   const std::string& body, const std::vector<std::string>& actions,
                   const std::map<std::string, sdbus::Variant>& hints, int32_t expire_timeout) {
              NotifyCall call;
              call.app_name = app_name;
              call.replaces_id = replaces_id;
              call.app_icon = app_icon;
              call.summary = summary;
              call.body = body;
              call.actions = actions;
              for (const auto& [key, value] : hints) {
                if (value.containsValueOfType<std::string>())
                  call.hints[key] = value.get<std::string>();
                if (key == "urgency" && value.containsValueOfType<uint8_t>())
                  call.urgency = value.get<uint8_t>();
                if (key == "value" && value.containsValueOfType<int32_t>())
                  call.value = value.get<int32_t>();
              }
              call.expire_timeout = expire_timeout;
              call.sender = object_->getCurrentlyProcessedMessage()->getSender();
              OnNotify(call, std::move(result));
            });
    object_->registerMethod("GetServerInformation").onInterface(kInterface).implementedAs([this]() {
      WaitOutPause();
      std::string name;
      {
        std::lock_guard<std::mutex> lock(mu_);
        name = quirks_.name;
      }
      return std::make_tuple(name, std::string("activator tests"),
                             std::string("1.0"), std::string("1.2"));
    });
    object_->registerMethod("GetCapabilities").onInterface(kInterface).implementedAs([this]() {
      WaitOutPause();
      return std::vector<std::string>{"actions", "body", "body-markup"};
    });
    object_->registerMethod("CloseNotification")
        .onInterface(kInterface)
        .implementedAs([this](uint32_t id) {
          WaitOutPause();
          Close(id, kReasonClosedByCall);
        });
    object_->registerSignal("NotificationClosed")
        .onInterface(kInterface)
        .withParameters<uint32_t, uint32_t>();
    object_->registerSignal("ActionInvoked")
        .onInterface(kInterface)
        .withParameters<uint32_t, std::string>();
    object_->finishRegistration();
    if (claim_name_) connection_->requestName(kName);
  } catch (const sdbus::Error&) {
    object_.reset();
    connection_.reset();
    return;
  }
  sdbus::IConnection* connection = connection_.get();
  loop_ = std::thread([connection] {
    try {
      connection->enterEventLoop();
    } catch (const sdbus::Error&) {
      // The bus went away.
    }
  });
  std::lock_guard<std::mutex> lock(mu_);
  ok_ = true;
}

void ScriptedServer::Stop() {
  if (connection_) {
    try {
      connection_->leaveEventLoop();
    } catch (const sdbus::Error&) {
    }
  }
  if (loop_.joinable()) loop_.join();
  object_.reset();
  connection_.reset();
  std::lock_guard<std::mutex> lock(mu_);
  ok_ = false;
  open_.clear();
  notifies_.clear();
}

void ScriptedServer::OnNotify(const NotifyCall& received, sdbus::Result<uint32_t>&& result) {
  WaitOutPause();
  std::chrono::milliseconds stall;
  bool close_after_reply;
  NotifyCall call = received;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (refuse_) {
      result.returnError(sdbus::Error("org.freedesktop.Notifications.Error.Refused", "refused"));
      return;
    }
    if (quirks_.dies_on_tagged_replacement && call.replaces_id != 0 &&
        call.hints.count("x-dunst-stack-tag") != 0) {
      // Crashed: never answers, and its connection goes (off this loop's
      // thread, which Stop joins).
      calls_.push_back(call);
      if (!crash_.joinable()) crash_ = std::thread([this] { Stop(); });
      cv_.notify_all();
      return;
    }
    stall = stall_;
    close_after_reply = close_after_reply_;
    auto existing = open_.find(call.replaces_id);
    call.id = (call.replaces_id != 0 && existing != open_.end()) ? call.replaces_id : next_id_++;
    open_[call.id] = call.sender;
    ++notifies_[call.id];
    max_open_ = std::max(max_open_, open_.size());
    calls_.push_back(call);
  }
  cv_.notify_all();
  if (stall.count() > 0) std::this_thread::sleep_for(stall);
  result.returnResults(call.id);
  if (close_after_reply) Dismiss(call.id);
}

std::vector<NotifyCall> ScriptedServer::Calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

bool ScriptedServer::WaitForCalls(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, limit, [&] { return calls_.size() >= count; });
}

std::set<uint32_t> ScriptedServer::OpenIds() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::set<uint32_t> ids;
  for (const auto& [id, owner] : open_) ids.insert(id);
  return ids;
}

std::size_t ScriptedServer::MaxOpen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return max_open_;
}

void ScriptedServer::ResetMaxOpen() {
  std::lock_guard<std::mutex> lock(mu_);
  max_open_ = open_.size();
}

void ScriptedServer::ResetCalls() {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.clear();
}

void ScriptedServer::BroadcastSignals(bool enabled) {
  std::lock_guard<std::mutex> lock(mu_);
  broadcast_ = enabled;
}

void ScriptedServer::SetQuirks(const ServerQuirks& quirks) {
  std::lock_guard<std::mutex> lock(mu_);
  quirks_ = quirks;
}

void ScriptedServer::Dismiss(uint32_t id) {
  uint32_t reason;
  {
    std::lock_guard<std::mutex> lock(mu_);
    reason = quirks_.close_reason;
  }
  Close(id, reason);
}

void ScriptedServer::Close(uint32_t id, uint32_t reason) {
  std::string owner;
  bool twice;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = open_.find(id);
    if (it == open_.end()) return;
    owner = broadcast_ ? std::string() : it->second;
    open_.erase(it);
    notifies_.erase(id);
    twice = quirks_.close_twice;
  }
  SendClosed(id, owner, reason);
  if (twice) SendClosed(id, owner, reason);
}

void ScriptedServer::SendClosed(uint32_t id, const std::string& destination) {
  SendClosed(id, destination, kReasonDismissed);
}

void ScriptedServer::SendClosed(uint32_t id, const std::string& destination, uint32_t reason) {
  auto signal = object_->createSignal(kInterface, "NotificationClosed");
  signal << id << reason;
  if (!destination.empty()) signal.setDestination(destination);
  object_->emitSignal(signal);
}

void ScriptedServer::SendOwnerChanged(const std::string& old_owner, const std::string& new_owner,
                                      const std::string& destination) {
  auto bus_object = sdbus::createObject(*connection_, "/org/freedesktop/DBus");
  auto signal = bus_object->createSignal("org.freedesktop.DBus", "NameOwnerChanged");
  signal << std::string(kName) << old_owner << new_owner;
  signal.setDestination(destination);
  bus_object->emitSignal(signal);
}

bool ScriptedServer::Flush(const std::string& destination) {
  try {
    auto peer = sdbus::createProxy(*connection_, destination, "/");
    peer->callMethod("Ping")
        .onInterface("org.freedesktop.DBus.Peer")
        .withTimeout(std::chrono::seconds(10));
    return true;
  } catch (const sdbus::Error&) {
    return false;
  }
}

std::string ScriptedServer::UniqueName() const { return connection_->getUniqueName(); }

void ScriptedServer::Click(uint32_t id, const std::string& key) {
  std::string owner;
  int times = 1;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = open_.find(id);
    if (it == open_.end()) return;
    owner = broadcast_ ? std::string() : it->second;
    if (quirks_.repeat_default_per_notify && key == "default") times = notifies_[id];
  }
  for (int i = 0; i < times; ++i) SendActionInvoked(id, key, owner);
  Dismiss(id);
}

void ScriptedServer::SendActionInvoked(uint32_t id, const std::string& key,
                                       const std::string& destination) {
  auto signal = object_->createSignal(kInterface, "ActionInvoked");
  signal << id << key;
  if (!destination.empty()) signal.setDestination(destination);
  object_->emitSignal(signal);
}

void ScriptedServer::StallNotify(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mu_);
  stall_ = delay;
}

void ScriptedServer::Pause(std::chrono::milliseconds length) {
  std::lock_guard<std::mutex> lock(mu_);
  paused_until_ = std::chrono::steady_clock::now() + length;
}

void ScriptedServer::WaitOutPause() {
  std::chrono::steady_clock::time_point until;
  {
    std::lock_guard<std::mutex> lock(mu_);
    until = paused_until_;
  }
  // On the loop's thread: everything sent meanwhile waits in the bus.
  std::this_thread::sleep_until(until);
}

void ScriptedServer::RefuseNotify(bool enabled) {
  std::lock_guard<std::mutex> lock(mu_);
  refuse_ = enabled;
}

void ScriptedServer::CloseRightAfterReply(bool enabled) {
  std::lock_guard<std::mutex> lock(mu_);
  close_after_reply_ = enabled;
}

void ScriptedServer::Vanish() { Stop(); }

void ScriptedServer::Return() {
  if (crash_.joinable()) crash_.join();
  if (!connection_) Start();
}

}  // namespace activator::testing
