#include "run/job_pipe_link.h"

#include <chrono>
#include <thread>

#include "base/build_constants.h"
#include "jobs/job_protocol.h"
#include "platform/child_process.h"
#include "platform/pipes.h"
#include "run/run_warning.h"

namespace activator {

namespace {

using Clock = std::chrono::steady_clock;

// A job pipe whose backlog is full is tried again for this long: longer than
// the activator gives a silent client before it drops it, so that one such
// client does not cost a run its notifications.
constexpr std::chrono::seconds kBusyPipeLimit = kJobMessageWait + std::chrono::seconds(3);
constexpr std::chrono::milliseconds kBusyPipePause{20};
// As long as a busy pipe is waited for: an activator held by a silent client
// takes the message only once it has dropped that client.
constexpr std::chrono::seconds kHandledWait = kBusyPipeLimit;

}  // namespace

bool JobPipeLink::Send(const std::string& message, bool wait_handled) {
  if (!reachable_) return false;
  const std::chrono::milliseconds handled_wait = wait_handled ? std::chrono::milliseconds(kHandledWait) : std::chrono::milliseconds(0);
  PipeSendResult sent = WriteMessageToPipe(kJobPipeName, message, kPipeWriteLimit, handled_wait);
  // A full backlog is a busy activator, not a missing one.
  const Clock::time_point give_up = Clock::now() + kBusyPipeLimit;
  bool busy = false;
  while (sent.status == PipeSendStatus::kOpenFailed && PipeWasBusy(sent.error) &&
         Clock::now() < give_up) {
    busy = true;
    std::this_thread::sleep_for(kBusyPipePause);
    sent = WriteMessageToPipe(kJobPipeName, message, kPipeWriteLimit, handled_wait);
  }
  if (sent.status == PipeSendStatus::kSent) return true;
  reachable_ = false;
  const std::string where = PipeLocation(kJobPipeName);
  if (sent.status == PipeSendStatus::kOpenFailed && busy && PipeWasBusy(sent.error)) {
    Warn("the activator at " + where + " stayed busy for " +
         std::to_string(kBusyPipeLimit.count()) + " s; the command runs without notifications");
  } else if (sent.status == PipeSendStatus::kOtherUser) {
    // The pipe's name is the machine's: another user's program may hold it,
    // and this user's job must not reach it.
    Warn("the job pipe " + where +
         " is served by another user's program; nothing was sent to it, and the command runs "
         "without notifications");
  } else if (sent.status == PipeSendStatus::kUnknownOwner) {
    Warn("the job pipe " + where +
         " has no owner that says whose it is; nothing was sent to it, and the command runs "
         "without notifications");
  } else if (sent.status == PipeSendStatus::kOpenFailed) {
    Warn("no activator at " + where + " (error " + std::to_string(sent.error) +
         "); the command runs without notifications; " + ActivatorStartHint(where));
  } else {
    Warn("the activator at " + where +
         " did not take the message; the command runs without notifications");
  }
  return false;
}

}  // namespace activator
