#include "run/reply_pipe_listener.h"

#include <thread>

#include "jobs/job_message.h"
#include "jobs/job_protocol.h"
#include "jobs/job_registry.h"
#include "run/run_warning.h"

namespace activator {

namespace {

using Clock = std::chrono::steady_clock;

// After "abortar" the command gets this long to end on its own before it and
// everything it started are ended by force.
constexpr std::chrono::seconds kForceStopDelay{3};
constexpr std::chrono::seconds kEventWait{5};
// How long more of an event may take after its last byte (the activator writes
// it in one piece and closes, which ends the read at once).
constexpr std::chrono::milliseconds kEventPause{50};
// A reply pipe that stopped serving (its socket file deleted, a broken pipe
// instance) is made again under the same name after this pause.
constexpr std::chrono::seconds kReplyPipeRemakePause{1};
// Far more than the thread takes to read what is pending; only a thread that
// is stuck makes the run wait this long.
constexpr std::chrono::seconds kPendingEventsWait{2};

}  // namespace

void ServeReplyPipe(std::optional<PipeServerInstance>& listener, const std::string& name,
                    const std::shared_ptr<ChildProcess>& child, const std::string& job_id,
                    AbortState& abort, ReplyPipeProgress& progress) {
  bool queue_told = false;
  for (;;) {
    if (!listener) {
      std::this_thread::sleep_for(kReplyPipeRemakePause);
      PipeErrorCode error = 0;
      listener = PipeServerInstance::Create(name, &error);
      if (!listener) continue;
    }
    if (!listener->WaitForClient()) {
      listener.reset();
      continue;
    }
    // The activator writes its event at once; a client that does not is
    // none of ours.
    const PipeReadResult read = listener->ReadMessage(kMaxJobMessageBytes, kEventWait, kEventPause);
    if (read.status == PipeReadStatus::kNothing) progress.empty_clients.fetch_add(1);
    if (read.status != PipeReadStatus::kRead) continue;
    const ParsedJobMessage event = ParseJobMessage(JobMessageFromBytes(read.bytes));
    if (event.problem != JobMessageProblem::kNone || event.message.job_id != job_id) continue;
    if (event.message.action == kEventQueued.text() && event.message.queue_position &&
        !queue_told) {
      queue_told = true;
      Warn("the notification waits in a queue (position " +
           std::to_string(*event.message.queue_position) +
           "): " + std::to_string(JobRegistry::kDisplayLimit) +
           " notifications are open; close some to make room");
      continue;
    }
    if (event.message.action != kButtonAbort.text()) continue;
    Warn("abortar clicked: ending the command");
    abort.at.store(Clock::now().time_since_epoch().count());
    abort.requested.store(true);
    child->RequestStop();
    std::this_thread::sleep_for(kForceStopDelay);
    child->ForceStop();
  }
}

void ReadPendingEvents(const std::string& name, const ReplyPipeProgress& progress) {
  // Clients are taken in the order they came: once this empty one is, the
  // events before it have been read.
  const unsigned before = progress.empty_clients.load();
  if (WriteMessageToPipe(name, "").status != PipeSendStatus::kSent) return;
  const Clock::time_point give_up = Clock::now() + kPendingEventsWait;
  while (progress.empty_clients.load() == before && Clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// After an abort the command may end before what it started has: those get
// what is left of kForceStopDelay, then are ended by force, before the
// wrapper leaves.
void FinishAbort(ChildProcess& child, const AbortState& abort) {
  if (!abort.requested.load()) return;
  const Clock::time_point deadline =
      Clock::time_point(Clock::duration(abort.at.load())) + kForceStopDelay;
  while (child.LeftProcessesBehind() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (child.LeftProcessesBehind()) child.ForceStop();
}

}  // namespace activator
