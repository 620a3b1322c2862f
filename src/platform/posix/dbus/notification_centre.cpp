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

}  // namespace activator::dbus
