// Named pipes: the server end of the job pipe and the client end of the
// worker's reply pipes. Names are the Windows form "\\.\pipe\NAME"; the POSIX
// port serves them as Unix domain sockets (see the port for the mapping).
//
// Error codes are the platform's own (GetLastError on Windows, errno on POSIX),
// handed up unchanged for the caller to log.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace activator {

using PipeErrorCode = uint32_t;

enum class PipeReadStatus {
  kRead,      // `bytes` holds what the client wrote (never empty)
  kNothing,   // the client closed without writing, or the read failed
  kTimedOut,  // the client stayed connected and wrote nothing within the limit
};

struct PipeReadResult {
  PipeReadStatus status = PipeReadStatus::kNothing;
  std::string bytes;
};

// One server instance of a pipe: waits for one client and reads from it.
class PipeServerInstance {
 public:
  // Creates an instance of the pipe `name`. On failure returns nullopt and
  // stores the error code in `*error`.
  static std::optional<PipeServerInstance> Create(const std::string& name, PipeErrorCode* error);

  PipeServerInstance(PipeServerInstance&&) noexcept;
  PipeServerInstance& operator=(PipeServerInstance&&) noexcept;
  ~PipeServerInstance();  // disconnects and closes

  // Blocks until a client connects. False when no connection came of it.
  bool WaitForClient();
  // Reads one message of at most `max_bytes`. The pipe is a byte stream, so
  // a message written in pieces arrives in pieces: after the first bytes the
  // read goes on until the client closes its end, `max_bytes` are read, or
  // `pause` passes without a further byte, whichever comes first. A client
  // that writes once and closes is read at once, however long it waited to
  // connect. The whole read lasts at most `limit`: a connected client that
  // writes nothing in that time is given up (kTimedOut), and one still
  // trickling bytes then keeps only what it wrote.
  PipeReadResult ReadMessage(std::size_t max_bytes, std::chrono::milliseconds limit,
                             std::chrono::milliseconds pause);
  // Drops the client and closes the instance.
  void DisconnectAndClose();

  struct Impl;

 private:
  explicit PipeServerInstance(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

enum class PipeSendStatus { kSent, kOpenFailed, kWriteFailed };

struct PipeSendResult {
  PipeSendStatus status = PipeSendStatus::kOpenFailed;
  PipeErrorCode error = 0;  // set when the open failed
};

// Opens the pipe `name` for writing only, without waiting for a busy pipe and
// without retrying, writes `message` with one write (no terminator), and
// closes it again whatever happened.
PipeSendResult WriteMessageToPipe(const std::string& name, std::string_view message);

}  // namespace activator
