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

// What ended a read. Only a client's close and the size limit end a message
// where its writer ended it; a pause or the time limit may fall in the middle
// of a message still on its way, and the caller decides what such bytes are
// worth.
enum class PipeReadEnd {
  kClosed,  // the client closed its end
  kFull,    // `max_bytes` were read
  kPause,   // the pause passed without a further byte
  kLimit,   // the whole read's limit passed
  kFailed,  // the read itself failed
};

struct PipeReadResult {
  PipeReadStatus status = PipeReadStatus::kNothing;
  PipeReadEnd end = PipeReadEnd::kFailed;
  std::string bytes;
};

// One server instance of a pipe: serves its clients one after another, for as
// long as it is kept.
class PipeServerInstance {
 public:
  // Creates an instance of the pipe `name`, which only this process's user
  // (and the system) may open. On Windows the name must be free: a pipe of
  // that name made by anyone else is a failure (ERROR_ACCESS_DENIED), never a
  // second instance beside theirs. On failure returns nullopt and stores the
  // error code in `*error`.
  static std::optional<PipeServerInstance> Create(const std::string& name, PipeErrorCode* error);
  // True when `error`, from Create, means that another server holds the name.
  static bool IsNameTaken(PipeErrorCode error);

  PipeServerInstance(PipeServerInstance&&) noexcept;
  PipeServerInstance& operator=(PipeServerInstance&&) noexcept;
  ~PipeServerInstance();  // disconnects and closes

  // Drops the client the previous wait gave, if any, then blocks until the
  // next client connects. False when no connection came of it; the instance
  // may then be unusable, and a caller that serves for good makes a new one.
  bool WaitForClient();
  // Reads one message of at most `max_bytes`. The pipe is a byte stream, so
  // a message written in pieces arrives in pieces: after the first bytes the
  // read goes on until the client closes its end, `max_bytes` are read, or
  // `pause` passes without a further byte, whichever comes first. A client
  // that writes once and closes is read at once, however long it waited to
  // connect. The whole read lasts at most `limit`: a connected client that
  // writes nothing in that time is given up (kTimedOut), and one still
  // trickling bytes then keeps only what it wrote. `end` says which of these
  // ended the read.
  PipeReadResult ReadMessage(std::size_t max_bytes, std::chrono::milliseconds limit,
                             std::chrono::milliseconds pause);
  // Drops the client; the instance stays, and keeps the name, for the next
  // wait.
  void Disconnect();
  // Drops the client and closes the instance.
  void DisconnectAndClose();

  struct Impl;

 private:
  explicit PipeServerInstance(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

enum class PipeSendStatus {
  kSent,
  kOpenFailed,
  kWriteFailed,
  kTimedOut,   // the peer took nothing within the limit; the write was given up
  kNotAPipe,   // the name, or what it opened, is not a pipe of this machine
  kOtherUser,  // the pipe's server is another user's: nothing was written
  // Windows: the pipe's owner could not be read, or it has none: nothing was
  // written, as whose it is cannot be told
  kUnknownOwner,
};

// What a wait for the server to drop the connection found (see
// WriteMessageToPipe's handled_wait).
enum class PipeHandled {
  kUnknown,      // no wait made, it ran out, or the port cannot tell
  kDropped,      // the server closed the connection and still runs
  kServerEnded,  // its process ended with the message: it may never have acted on it
};

struct PipeSendResult {
  PipeSendStatus status = PipeSendStatus::kOpenFailed;
  PipeErrorCode error = 0;  // set when the open failed
  PipeHandled handled = PipeHandled::kUnknown;
};

// How long one write may wait for a peer that takes nothing.
inline constexpr std::chrono::milliseconds kPipeWriteLimit{3000};

// Opens the pipe `name` for writing only, without waiting for a busy pipe and
// without retrying, writes `message` with one write (no terminator), and
// closes it again whatever happened. A write the peer has not taken within
// `limit` is given up. On Windows only a local pipe ("\\.\pipe\NAME") is
// opened, and its server cannot act as this process's user. A pipe served by
// another user (on Windows: owned by another, the Administrators group
// counting as this user when this user is an administrator; on POSIX: a peer
// of another uid) gets nothing.
//
// With `handled_wait`, a sent message is followed by a wait of at most that
// long for the server to drop the connection: a server that acts on a message
// before it drops its client (the activator's job pipe) has then done all it
// does for it, which `handled` tells apart from the server's process ending
// (killed with the message unread, or read and not yet acted on). POSIX only:
// a named pipe's client cannot end its message without closing, so on Windows
// the wait is not made.
PipeSendResult WriteMessageToPipe(const std::string& name, std::string_view message,
                                  std::chrono::milliseconds limit = kPipeWriteLimit,
                                  std::chrono::milliseconds handled_wait = {});

// True when an open that failed with `error` found the pipe's server there
// but busy (every instance taken, or its backlog full): worth another try.
bool PipeWasBusy(PipeErrorCode error) noexcept;

// Where the pipe `name` lives, as a user would look for it: on POSIX the
// socket's path, on Windows the pipe name itself.
std::string PipeLocation(const std::string& name);

}  // namespace activator
