// A dbus-daemon of the test's own: a session-type bus on a socket no one else
// knows, with no service directories, so nothing real (a desktop's
// notification server) is ever started on it. Ended when the object goes.
#pragma once

#include <sys/types.h>

#include <string>

namespace activator::testing {

class PrivateBus {
 public:
  // Starts the daemon and waits (bounded) for its address. On failure
  // address() is empty and error() says why.
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }
  const std::string& error() const { return error_; }
  bool running() const { return pid_ > 0; }

  // Points DBUS_SESSION_BUS_ADDRESS of this process at the bus, which is how
  // the program under test finds its session bus.
  void UseAsSessionBus() const;

  // Ends the daemon at once (SIGKILL) and reaps it: the bus goes away under
  // everyone connected to it.
  void Kill();

 private:
  pid_t pid_ = -1;
  std::string address_;
  std::string error_;
  std::string socket_dir_;
};

}  // namespace activator::testing
