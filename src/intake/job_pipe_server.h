// The job pipe server: the activator's only input from the worker. It serves
// the job pipe one connection at a time, reads one job message per connection
// and records what the message says in the job registry; a state update also
// has the job's notification replaced at once.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "jobs/job_protocol.h"
#include "platform/app_notifications.h"
#include "platform/pipes.h"

namespace activator {

// How long the server waits for more of a message after its last byte. The
// pipe is a byte stream: a worker may write a message in several pieces, and
// only its end, this pause or the size limit ends the message. A worker that
// writes once and closes never waits for it.
inline constexpr std::chrono::milliseconds kJobMessagePause{50};

// The thread body: logs its start, then serves the job pipe for ever with one
// instance, kept from one client to the next. Creating the pipe is retried
// once a second, logging a failure once while it repeats with the same code
// (another user's activator may hold the pipe for hours); when another server
// holds the pipe and standard error is a terminal, kJobPipeTakenNotice is
// printed there once.
[[noreturn]] void RunJobPipeServer(const AppNotificationManager& manager);

// Creates an instance of the pipe `pipe_name`. On failure logs
// "PYTHON PIPE CREATE FAILED=<code>" unless the code is `*quiet_error` (the
// caller's previous failure), stores the code in `*error` when given and
// returns nullopt; the caller decides when to try again.
std::optional<PipeServerInstance> CreateJobPipeInstance(
    const std::string& pipe_name, PipeErrorCode* error = nullptr,
    const std::optional<PipeErrorCode>& quiet_error = std::nullopt);

// What a user who started the activator by hand reads on the terminal, once,
// while another program holds the job pipe (another activator waits for the
// first instead: host/startup.h).
inline constexpr char kJobPipeTakenNotice[] =
    "activator: another program holds the job pipe; this one tries again every second "
    "(the debug log says PYTHON PIPE CREATE FAILED each time)\n";

// One connection: waits for a client, reads one message, handles it, then
// disconnects the client, keeping the instance for the next. A client that
// closes without writing leaves no trace; one still silent after
// kJobMessageWait is dropped with "PYTHON PIPE TIMEOUT". A message whose read
// ended at kJobMessagePause or kJobMessageWait rather than with the client's
// close or at kMaxJobMessageBytes is handled as one that may be cut short.
// False when no client came: the instance may be unusable and the caller
// makes a new one.
bool ServeOneJobConnection(PipeServerInstance& instance, const AppNotificationManager& manager);

// Logs and acts on one job message (the text up to its first NUL). Takes the
// reply-pipe, registry and display locks, each on its own; the caller holds
// none of them. A message the format gives no meaning to is logged with its
// problem and changes nothing; so is one that `may_be_cut` and has not
// reached its last field (see ParseMaybeCutJobMessage), with
// "PYTHON PIPE MENSAGEM INVALIDA=CORTADA".
void HandleJobMessage(const std::string& message, const AppNotificationManager& manager,
                      bool may_be_cut = false);

}  // namespace activator
