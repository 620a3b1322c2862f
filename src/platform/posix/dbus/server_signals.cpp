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

}  // namespace activator::dbus
