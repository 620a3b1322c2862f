// What the server tells us: notifications shown, closed and clicked, and the
// service name changing hands. Runs on the event loop thread; believes only
// the true sender of each signal.
#include "platform/posix/dbus/bus_link.h"

#include <exception>

namespace activator::dbus {

namespace {

// The bus itself: the only sender whose NameOwnerChanged is true. Any client
// can send a signal of that name to us directly; the bus writes the true
// sender into every message, so the sender is what tells them apart.
constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";

}  // namespace

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
      ClosedSink sink;
      std::pair<std::string, std::string> key;
      {
        MutexLock lock(mu_);
        if (link_.get() != link || sender != server_) return;
        auto it = shown_.find(id);
        if (it == shown_.end()) return;
        auto by_key = ids_by_key_.find(it->second.key);
        // Only the notification now shown under its key stands for the job;
        // an older one closing changes nothing of the job's.
        if (by_key != ids_by_key_.end() && by_key->second == id) {
          ids_by_key_.erase(by_key);
          key = it->second.key;
          sink = closed_sink_;
        }
        shown_.erase(it);
        KeepClosed(id);
      }
      if (sink) sink(key.first, key.second);
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
        Shown& shown = it->second;
        // Every notification offers "default", a click on the body (some
        // servers send it even when not offered). It stands for the button
        // that opens the result; otherwise, above all on an in-progress
        // notification whose only button ends the job, it comes without
        // arguments and asks for nothing.
        if (action == kDefaultActionKey) {
          if (shown.body_clicked) return;  // one click, one event
          shown.body_clicked = true;
          action = shown.body_click_key;
        } else if (shown.action_keys.count(action) == 0) {
          return;
        }
        if (!action.empty()) {
          auto decoded = DecodeActionKey(action);
          if (!decoded) return;
          arguments = std::move(*decoded);
        }
      }
      clicks_.Post(std::move(arguments));
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
    SetServer(new_owner);
    unresponsive_ = false;
    if (!new_owner.empty()) {
      ++owner_arrivals_;
      service_cv_.notify_all();
    }
  } catch (const std::exception&) {
  }
}

void NotificationCentre::RecordShown(Link* link, uint32_t id, Shown shown,
                                     const std::string& server, bool late) {
  MutexLock lock(mu_);
  if (link_.get() != link) return;
  // A late answer is kept (the notification is on screen), but it does not
  // make the server one that answers in time.
  if (!late) unresponsive_ = false;
  const std::pair<std::string, std::string> key = shown.key;
  if (!server.empty() && server != server_) {
    ForgetShown();
    SetServer(server);
  }
  // The server may answer a replacement with a new id (the old one was
  // closed meanwhile), or reuse an id that stood for another tag.
  auto by_key = ids_by_key_.find(key);
  if (by_key != ids_by_key_.end() && by_key->second != id) {
    shown_.erase(by_key->second);
    KeepClosed(by_key->second);
  }
  auto previous = shown_.find(id);
  if (previous != shown_.end() && previous->second.key != key)
    ids_by_key_.erase(previous->second.key);
  shown.counted_until.reset();
  shown_[id] = std::move(shown);
  ids_by_key_[key] = id;
  KeepShown(id);
}

void NotificationCentre::NoteServer(Link* link, const std::string& server,
                                    const std::optional<ServerName>& name) {
  MutexLock lock(mu_);
  if (link_.get() != link) return;
  unresponsive_ = false;
  if (name && !server.empty()) {
    named_server_ = server;
    server_name_ = *name;
  }
  if (server.empty() || server == server_) return;
  ForgetShown();
  SetServer(server);
}

void NotificationCentre::ForgetShown() {
  shown_.clear();
  ids_by_key_.clear();
  if (keeper_) keeper_(std::string(), std::nullopt);
}

}  // namespace activator::dbus
