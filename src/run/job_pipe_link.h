// activator-run's side of the activator's job pipe: one message per
// connection, a busy pipe waited out, and one warning for the user when the
// activator cannot be reached.
#pragma once

#include <string>

namespace activator {

// The first failure is the user's one warning; after it the run goes on
// without the activator and every later Send is refused at once.
class JobPipeLink {
 public:
  // True when the activator took `message`. With `wait_handled`, returns
  // once the activator has acted on it, or after a short wait (see
  // WriteMessageToPipe).
  bool Send(const std::string& message, bool wait_handled = false);

 private:
  bool reachable_ = true;
};

}  // namespace activator
