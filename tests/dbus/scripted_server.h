// A notification server the test drives: it owns org.freedesktop.Notifications
// on a bus (normally a PrivateBus), records every Notify it receives, and on
// the test's word dismisses, clicks, stalls, vanishes and comes back. Like
// dunst, it sends its signals only to the connection that called Notify.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sdbus {
class IConnection;
class IObject;
template <typename... Results>
class Result;
}  // namespace sdbus

namespace activator::testing {

struct NotifyCall {
  std::string app_name;
  uint32_t replaces_id = 0;
  std::string app_icon;
  std::string summary;
  std::string body;
  std::vector<std::string> actions;
  std::map<std::string, std::string> hints;  // the hints that carry a string
  int urgency = -1;                          // hint "urgency" (a byte); -1: absent
  int value = -1;                            // hint "value" (the progress); -1: absent
  int32_t expire_timeout = -1;
  uint32_t id = 0;     // the id the server answered with
  std::string sender;  // the caller's unique bus name
};

// Habits of real servers that the program has to live with.
struct ServerQuirks {
  // GNOME Shell: Click sends "default" once per Notify the notification has
  // had (its handlers pile up on each replacement).
  bool repeat_default_per_notify = false;
  // swaync: every NotificationClosed is sent twice.
  bool close_twice = false;
  // The reason a click or dismissal is reported with: 2 (dismissed) as the
  // protocol says, 1 (expired) on GNOME Shell and MATE, 3 (closed by a call)
  // on KDE Plasma after a button.
  uint32_t close_reason = 2;
  // mako 1.7: a Notify that replaces by id and carries x-dunst-stack-tag
  // crashes the server (no answer; the name loses its owner).
  bool dies_on_tagged_replacement = false;
  // What it calls itself in GetServerInformation.
  std::string name = "scripted";
};

class ScriptedServer {
 public:
  // Connects to the bus at `address` and, unless told otherwise, claims the
  // name; ok() tells whether that worked. One that does not claim the name
  // can still send signals: an impostor.
  explicit ScriptedServer(std::string address, bool claim_name = true);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  bool ok() const;

  // Every Notify so far, oldest first.
  std::vector<NotifyCall> Calls() const;
  // Waits (bounded) until at least `count` Notify calls were received.
  bool WaitForCalls(std::size_t count,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  // Ids shown and not closed.
  std::set<uint32_t> OpenIds() const;
  // The most notifications open at once since the start or the last reset.
  std::size_t MaxOpen() const;
  void ResetMaxOpen();
  // Forgets the Notify calls received so far.
  void ResetCalls();

  // From now on the server plays these habits.
  void SetQuirks(const ServerQuirks& quirks);

  // From now on Dismiss and Click send their signals to every connection, as
  // some servers do, rather than only to the one that showed the notification.
  void BroadcastSignals(bool enabled);
  // The user closes notification `id` (NotificationClosed, reason 2 unless a
  // quirk says otherwise).
  void Dismiss(uint32_t id);
  // The user clicks action `key` of notification `id` (ActionInvoked), as
  // servers do, followed by its closing.
  void Click(uint32_t id, const std::string& key);
  // Sends ActionInvoked alone, for any id and key, to `destination`.
  void SendActionInvoked(uint32_t id, const std::string& key, const std::string& destination);

  // What any client can send to `destination` directly, as signals of the
  // bus or of the notification server would come: NameOwnerChanged for the
  // service name, and NotificationClosed (reason 2).
  void SendOwnerChanged(const std::string& old_owner, const std::string& new_owner,
                        const std::string& destination);
  void SendClosed(uint32_t id, const std::string& destination);
  // Returns once `destination` has handled everything this connection sent
  // it before (a Peer.Ping round trip); false when it did not answer.
  bool Flush(const std::string& destination);
  // This connection's unique bus name.
  std::string UniqueName() const;

  // From now on Notify calls are answered only after `delay` (the server's
  // loop is blocked meanwhile, as with a hung server).
  void StallNotify(std::chrono::milliseconds delay);

  // For `length` from now the server handles nothing, as when its process is
  // stopped (SIGSTOP): the first call that arrives holds its loop until the
  // pause ends, and the others wait in the bus behind it.
  void Pause(std::chrono::milliseconds length);

  // From now on Notify calls are answered with an error of the server's own,
  // as a server that will not show a notification does.
  void RefuseNotify(bool enabled);

  // From now on every notification is closed (NotificationClosed) right
  // after the reply to its Notify, as when the user is quicker than the bus.
  void CloseRightAfterReply(bool enabled);

  // Drops the connection: the name loses its owner and everything shown is
  // gone. Come back with Return().
  void Vanish();
  void Return();

 private:
  // Forgets notification `id` and tells its owner it was closed.
  void Close(uint32_t id, uint32_t reason);
  void SendClosed(uint32_t id, const std::string& destination, uint32_t reason);
  void Start();
  void Stop();
  void OnNotify(const NotifyCall& call, sdbus::Result<uint32_t>&& result);
  void WaitOutPause();

  std::string address_;
  bool claim_name_;
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IObject> object_;
  std::thread loop_;
  std::thread crash_;  // ends the connection of a server that crashed

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<NotifyCall> calls_;
  std::map<uint32_t, std::string> open_;  // id -> owner (caller)
  std::map<uint32_t, int> notifies_;      // id -> Notify calls it has had
  ServerQuirks quirks_;
  uint32_t next_id_ = 1;
  std::size_t max_open_ = 0;
  std::chrono::milliseconds stall_{0};
  bool close_after_reply_ = false;
  bool refuse_ = false;
  bool broadcast_ = false;
  std::chrono::steady_clock::time_point paused_until_;
  bool ok_ = false;
};

}  // namespace activator::testing
