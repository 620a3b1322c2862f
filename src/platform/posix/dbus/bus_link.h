// The connection under NotificationCentre: one session-bus connection, its
// event loop, and the calls waiting on it. Private to the D-Bus port.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/app_notifications.h"
#include "platform/posix/dbus/notification_centre.h"
#include "platform/posix/unique_fd.h"

namespace activator::dbus {

inline constexpr const char* kServiceName = "org.freedesktop.Notifications";
inline constexpr const char* kObjectPath = "/org/freedesktop/Notifications";
inline constexpr const char* kInterface = "org.freedesktop.Notifications";

// "name: message", for logs and HResultError texts.
std::string Describe(const sdbus::Error& error);
// The result code for a bus error: a time-out, "not connected" for a missing
// bus or server and for a process out of descriptors or memory, kHrFail for
// anything else (the server's own answer, or content the bus cannot carry).
HResult CodeForBusError(const std::string& name);

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

  // The event loop is ours, not the library's: sdbus-c++ 1.2 keeps for good
  // the record of an asynchronous call whose reply its loop handled before
  // the sending thread had filed that record, which under load is one call in
  // ten. Sending and handling take turns under dispatch_mu instead; it is
  // recursive because a handler on the loop thread may send a call itself.
  std::recursive_mutex dispatch_mu;
  // An eventfd that wakes the loop: for a new call's time-out, or to end.
  UniqueFd wake;
  std::atomic<bool> leaving{false};

  void WakeLoop();
  // Asks the loop to end; it does once it has handled what it is handling.
  void LeaveLoop();
  // Handles what the connection has, one message at a time so that a sender
  // waits for one at most, then sleeps until the bus, a time-out or a wake-up
  // calls. Raises when the connection fails.
  void RunLoop();
};

// One call in flight; guarded by its link's reply_mu. Shared with the reply
// handler, which may run after the caller has given up waiting.
struct NotificationCentre::CallState {
  bool done = false;
  bool abandoned = false;  // the caller stopped waiting for the reply
  bool failed = false;
  HResult code = 0;
  std::string error;
  std::string sender;  // of a successful reply
};

// One opening of a connection, done on a helper thread; shared with that
// thread, which may finish after the caller has given up waiting.
struct NotificationCentre::PendingOpen {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;  // guarded by mu, as the two below
  std::shared_ptr<Link> link;
  HResultError error{kHrNotConnected};
};

}  // namespace activator::dbus
