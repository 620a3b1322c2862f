#include "platform/posix/dbus/notification_centre.h"

#include <algorithm>
#include <chrono>

#include "platform/posix/dbus/bus_link.h"

namespace activator::dbus {

NotificationCentre& NotificationCentre::Instance() {
  // Lives for ever: detached threads use it until the process ends.
  static NotificationCentre* centre = new NotificationCentre();
  return *centre;
}

NotificationCentre::NotificationCentre() = default;

void NotificationCentre::SetInvocationSink(InvocationSink sink) { clicks_.SetSink(std::move(sink)); }

void NotificationCentre::SetClosedSink(ClosedSink sink) {
  MutexLock lock(mu_);
  closed_sink_ = std::move(sink);
}

void NotificationCentre::Register() {
  std::shared_ptr<Link> link = AcquireLink(nullptr, /*force_new=*/true);
  sdbus::MethodCall call;
  try {
    call = link->proxy->createMethodCall(kInterface, "GetServerInformation");
  } catch (const sdbus::Error& error) {
    throw HResultError(CodeForBusError(error.getName()), Describe(error));
  }
  Link* raw = link.get();
  auto state = SendCall(*link, call, [this, raw](sdbus::MethodReply& reply, bool /*late*/) {
    std::string name, vendor, version, spec_version;
    reply >> name >> vendor >> version >> spec_version;
    NoteServer(raw, reply.getSender(), ServerName{name, vendor});
  });
  AwaitReply(*link, *state);
}

CentreOrder NotificationCentre::DrawOrder() {
  MutexLock lock(mu_);
  return DrawOrderOfServer(server_name_.name, server_name_.vendor);
}

NotificationCentre::KnownServer NotificationCentre::CurrentServerHabits() {
  bool ask = false;
  {
    MutexLock lock(mu_);
    // Not while a server is known to hang: the show fails at once then.
    ask = (server_.empty() || named_server_ != server_) && !unresponsive_;
  }
  // A server that took the name since it was last asked: once. With none
  // known yet, the answer also says who serves.
  if (ask) ProbeServer();
  MutexLock lock(mu_);
  if (server_.empty() || named_server_ != server_) return {};
  return {server_, HabitsOfServer(server_name_.name)};
}

void NotificationCentre::Show(const NotificationContent& content) {
  const KnownServer written_for = CurrentServerHabits();
  const std::string shown_by = SendNotify(content, written_for.habits);
  if (shown_by.empty() || shown_by == written_for.server) return;
  // The name changed hands before the bus's word of it reached the loop, or
  // no server was known: the notification went to a server it was not
  // written for. Once that server has said what it is, it is written again
  // for it, in place, where its habits make a difference (xfce4-notifyd
  // would keep a bare gauge and a button for the body click).
  const KnownServer now = CurrentServerHabits();
  if (now.server != shown_by || now.habits == written_for.habits) return;
  NotificationContent again = content;
  again.replace_only = true;
  SendNotify(again, now.habits);
}

std::string NotificationCentre::SendNotify(const NotificationContent& content,
                                           const ServerHabits& habits) {
  const NotifyRequest request = BuildNotifyRequest(content, habits);
  Shown shown;
  shown.key = {content.tag, content.group};
  for (std::size_t i = 0; i < request.actions.size(); i += 2)
    shown.action_keys.insert(request.actions[i]);
  shown.body_click_key = request.body_click_key;
  shown.content = content;
  const std::pair<std::string, std::string>& key = shown.key;

  std::map<std::string, sdbus::Variant> base_hints;
  if (request.image_path) base_hints["image-path"] = sdbus::Variant(*request.image_path);
  if (request.critical) base_hints["urgency"] = sdbus::Variant(uint8_t{2});
  if (request.progress) base_hints["value"] = sdbus::Variant(*request.progress);

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
    if (content.replace_only && replaces_id == 0) return std::string();
    std::map<std::string, sdbus::Variant> hints = base_hints;
    // Lets dunst replace the job's notification even when its id was lost
    // with an old connection. Never with replaces_id: mako 1.7 crashes when a
    // notification carrying the tag is replaced by id, and the id does the
    // replacing anyway.
    if (replaces_id == 0) hints["x-dunst-stack-tag"] = sdbus::Variant(request.stack_tag);
    sdbus::MethodCall call;
    try {
      call = link->proxy->createMethodCall(kInterface, "Notify");
      call << std::string(kAppName) << replaces_id << std::string() << request.summary
           << request.body << request.actions << hints << int32_t{0};
    } catch (const sdbus::Error& error) {
      throw HResultError(CodeForBusError(error.getName()), Describe(error));
    }
    Link* raw = link.get();
    std::shared_ptr<CallState> state;
    try {
      state = SendCall(
          *link, call,
          [this, raw, shown](sdbus::MethodReply& reply, bool late) {
            uint32_t id = 0;
            reply >> id;
            RecordShown(raw, id, shown, reply.getSender(), late);
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
      return AwaitReply(*link, *state);
    } catch (const HResultError& error) {
      if (error.code() == kHrTimeout) {
        MutexLock lock(mu_);
        if (link_ == link) unresponsive_ = true;
      }
      throw;
    }
  }
}

bool NotificationCentre::UpdateProgress(const std::string& tag, const std::string& group,
                                        int progress) {
  NotificationContent content;
  {
    MutexLock lock(mu_);
    auto id = ids_by_key_.find({tag, group});
    if (id == ids_by_key_.end()) return false;
    auto shown = shown_.find(id->second);
    if (shown == shown_.end()) return false;
    if (!shown->second.content || !shown->second.content->progress) return true;
    content = *shown->second.content;
  }
  // The service has no update of its own: the whole notification is sent
  // again under its id, which servers redraw in place. Closed meanwhile, it
  // stays closed.
  content.progress = progress;
  content.replace_only = true;
  Show(content);
  return true;
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
    state = SendCall(*link, call, [this, raw](sdbus::MethodReply& reply, bool /*late*/) {
      ServerName name;
      try {
        reply >> name.name >> name.vendor;
      } catch (const sdbus::Error&) {
        // A server that answers at all is there, whatever it answered.
      }
      NoteServer(raw, reply.getSender(), name);
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
  const auto now = std::chrono::steady_clock::now();
  for (const auto& [id, shown] : shown_) {
    if (shown.counted_until && now > *shown.counted_until) continue;
    listed.push_back({shown.key.first, shown.key.second});
  }
  return listed;
}

}  // namespace activator::dbus
