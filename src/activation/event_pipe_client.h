// The event pipe client: delivers one message to a pipe another process
// serves, over a connection that lives only for this call.
#pragma once

#include <string>

namespace activator {

// Opens `pipe_name` (used as received, empty allowed), writes `message` byte
// for byte in one write with no terminator, closes, and logs the outcome:
// "PIPE CONNECT", then "PIPE FAILED=<code>", "WRITE FAILED", "WRITE TIMEOUT"
// (the worker took nothing within kPipeWriteLimit), "PIPE NAO LOCAL" (on
// Windows: the name is not a pipe of this machine, and nothing was written)
// or "PIPE SENT=<message>". True when the message was written. Never waits
// for a busy pipe and never retries; takes no lock.
bool SendToPipe(const std::string& message, const std::string& pipe_name);

}  // namespace activator
