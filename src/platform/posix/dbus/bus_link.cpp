// Opening, replacing and dropping the session-bus connection, and sending
// calls on it with a bounded wait for their replies.
#include "platform/posix/dbus/bus_link.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

namespace activator::dbus {

namespace {

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

}  // namespace

HResult CodeForBusError(const std::string& name) {
  if (name == "org.freedesktop.DBus.Error.NoReply" ||
      name == "org.freedesktop.DBus.Error.Timeout" ||
      name == "org.freedesktop.DBus.Error.TimedOut" || name == "System.Error.ETIMEDOUT") {
    return kHrTimeout;
  }
  if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
      name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
      name == "org.freedesktop.DBus.Error.Disconnected" || name == "System.Error.ENOTCONN" ||
      name == "System.Error.ECONNRESET" || name == "System.Error.EPIPE" ||
      // Our own process or system out of resources: nothing the server said,
      // and it passes.
      name == "System.Error.EMFILE" || name == "System.Error.ENFILE" ||
      name == "System.Error.ENOMEM" || name == "System.Error.ENOBUFS") {
    return kHrNotConnected;
  }
  return kHrFail;
}

void NotificationCentre::Link::WakeLoop() {
  const uint64_t one = 1;
  // A full counter already wakes the loop.
  [[maybe_unused]] const ssize_t written = ::write(wake.get(), &one, sizeof one);
}

void NotificationCentre::Link::LeaveLoop() {
  leaving = true;
  WakeLoop();
}

void NotificationCentre::Link::RunLoop() {
  while (!leaving) {
    {
      std::lock_guard<std::recursive_mutex> turn(dispatch_mu);
      if (connection->processPendingRequest()) continue;
    }
    const sdbus::IConnection::PollData data = connection->getEventLoopPollData();
    int timeout_ms = -1;
    if (const auto relative = data.getRelativeTimeout())
      timeout_ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*relative).count());
    pollfd fds[] = {{data.fd, data.events, 0}, {wake.get(), POLLIN, 0}};
    if (::poll(fds, 2, timeout_ms) < 0 && errno != EINTR)
      throw std::system_error(errno, std::generic_category(), "poll on the bus");
    if ((fds[1].revents & POLLIN) != 0) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t read = ::read(wake.get(), &count, sizeof count);
    }
  }
}

std::string Describe(const sdbus::Error& error) {
  return error.getName() + ": " + error.getMessage();
}

std::shared_ptr<NotificationCentre::Link> NotificationCentre::AcquireLink(
    const std::shared_ptr<Link>& stale, bool force_new) {
  MutexLock connecting(connect_mu_);
  if (!force_new) {
    MutexLock lock(mu_);
    if (link_ && link_ != stale && !link_->loop_ended) return link_;
  }
  std::shared_ptr<Link> link = OpenLinkBounded();
  std::shared_ptr<Link> previous;
  {
    MutexLock lock(mu_);
    previous = std::move(link_);
    link_ = link;
    server_.clear();
    unresponsive_ = false;
    ForgetShown();
  }
  if (previous) previous->LeaveLoop();
  try {
    std::thread([this, link] { RunEventLoop(link); }).detach();
  } catch (const std::system_error& error) {
    // Without its loop the connection would only time out: do not keep it.
    MutexLock lock(mu_);
    if (link_ == link) link_.reset();
    throw HResultError(kHrNotConnected, std::string("no thread for the bus: ") + error.what());
  }
  return link;
}

std::shared_ptr<NotificationCentre::Link> NotificationCentre::OpenLinkBounded() {
  const auto deadline = std::chrono::steady_clock::now() + kCallTimeout;
  auto finished_by_deadline = [deadline](PendingOpen& pending) {
    std::unique_lock<std::mutex> lock(pending.mu);
    return pending.cv.wait_until(lock, deadline, [&] { return pending.done; });
  };
  if (opening_) {
    // What it opens, if anything, belonged to a caller that has given up.
    if (!finished_by_deadline(*opening_))
      throw HResultError(kHrTimeout, "session bus unavailable: the bus is not answering");
    opening_.reset();
  }
  auto pending = std::make_shared<PendingOpen>();
  try {
    std::thread([this, pending] {
      std::shared_ptr<Link> link;
      HResultError error(kHrNotConnected);
      try {
        link = OpenLink();
      } catch (const HResultError& failed) {
        error = failed;
      }
      {
        std::lock_guard<std::mutex> lock(pending->mu);
        pending->done = true;
        pending->link = std::move(link);
        pending->error = error;
      }
      pending->cv.notify_all();
    }).detach();
  } catch (const std::system_error& error) {
    throw HResultError(kHrNotConnected, std::string("no thread for the bus: ") + error.what());
  }
  if (!finished_by_deadline(*pending)) {
    opening_ = pending;
    throw HResultError(kHrTimeout, "session bus unavailable: the bus is not answering");
  }
  std::lock_guard<std::mutex> lock(pending->mu);
  if (!pending->link) throw pending->error;
  return pending->link;
}

std::shared_ptr<NotificationCentre::Link> NotificationCentre::OpenLink() {
  auto link = std::make_shared<Link>();
  Link* raw = link.get();
  link->wake = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!link->wake)
    throw HResultError(kHrNotConnected, std::string("no event descriptor for the bus: ") +
                                            std::strerror(errno));
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
  link->LeaveLoop();
}

void NotificationCentre::RunEventLoop(std::shared_ptr<Link> link) {
  try {
    link->RunLoop();
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
    Link& link, sdbus::MethodCall& call, ReplyHandler on_reply,
    std::chrono::milliseconds reply_window) {
  auto state = std::make_shared<CallState>();
  Link* raw = &link;
  auto handler = [raw, state, on_reply = std::move(on_reply)](sdbus::MethodReply& reply,
                                                              const sdbus::Error* error) {
    bool failed = error != nullptr;
    HResult code = 0;
    std::string text;
    std::string sender;
    if (error != nullptr) {
      code = CodeForBusError(error->getName());
      text = Describe(*error);
    } else {
      bool late = false;
      {
        std::lock_guard<std::mutex> lock(raw->reply_mu);
        late = state->abandoned;
      }
      try {
        sender = reply.getSender();
        on_reply(reply, late);
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
      state->sender = std::move(sender);
    }
    raw->reply_cv.notify_all();
  };
  try {
    std::lock_guard<std::recursive_mutex> turn(link.dispatch_mu);
    link.proxy->callMethod(
        call, std::move(handler),
        std::chrono::duration_cast<std::chrono::microseconds>(reply_window).count());
  } catch (const sdbus::Error& error) {
    throw HResultError(kHrNotConnected, Describe(error));
  }
  // The loop may be asleep for longer than this call's time-out.
  link.WakeLoop();
  return state;
}

std::string NotificationCentre::AwaitReply(Link& link, CallState& state) {
  const auto deadline = std::chrono::steady_clock::now() + kCallTimeout + kReplyGrace;
  std::unique_lock<std::mutex> lock(link.reply_mu);
  while (!state.done && !link.loop_ended) {
    if (link.reply_cv.wait_until(lock, deadline) == std::cv_status::timeout) break;
  }
  if (state.done) {
    if (state.failed) throw HResultError(state.code, state.error);
    return state.sender;
  }
  if (link.loop_ended) throw HResultError(kHrNotConnected, "session bus connection lost");
  state.abandoned = true;
  throw HResultError(kHrTimeout, "no reply from the notification server");
}

}  // namespace activator::dbus
