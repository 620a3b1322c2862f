// The job's reply pipe: what the activator tells the run while it goes.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/child_process.h"
#include "platform/pipes.h"

namespace activator {

// When "abortar" was clicked, for the main thread to finish the stop.
struct AbortState {
  std::atomic<bool> requested{false};
  std::atomic<std::chrono::steady_clock::rep> at{0};
};

// How far the reply pipe's thread has got: clients that wrote nothing are
// counted, so that the run can tell when everything before such a client has
// been read (ReadPendingEvents).
struct ReplyPipeProgress {
  std::atomic<unsigned> empty_clients{0};
};

// Serves the reply pipe for the life of the run: a click on "abortar" of this
// job asks the command to end, and ends it by force if it has not after a
// few seconds; the first word that the job waits in the activator's queue
// is told the user, who would otherwise see no notification and not know why.
// Anything else is not for the wrapper to act on. The announcement named the
// pipe, so a listener that fails is made again under that name: "abortar"
// must still reach the command. Never returns.
void ServeReplyPipe(std::optional<PipeServerInstance>& listener, const std::string& name,
                    const std::shared_ptr<ChildProcess>& child, const std::string& job_id,
                    AbortState& abort, ReplyPipeProgress& progress);

// Returns once the reply pipe's thread has read every event that reached the
// pipe before this call, or after a short wait: a command that ends at once
// must not take the activator's queue notice away unread.
void ReadPendingEvents(const std::string& name, const ReplyPipeProgress& progress);

// After an abort the command may end before what it started has: those get
// what is left of the delay, then are ended by force, before the wrapper
// leaves.
void FinishAbort(ChildProcess& child, const AbortState& abort);

}  // namespace activator
