#include "run/wrapped_job.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/build_constants.h"
#include "jobs/job_message.h"
#include "jobs/job_protocol.h"
#include "platform/child_process.h"
#include "platform/pipes.h"
#include "platform/threads.h"

namespace activator {

namespace {

// After "abortar" the command gets this long to end on its own before it and
// everything it started are ended by force.
constexpr std::chrono::seconds kForceStopDelay{3};
constexpr std::chrono::seconds kEventWait{5};
// How long more of an event may take after its last byte (the activator writes
// it in one piece and closes, which ends the read at once).
constexpr std::chrono::milliseconds kEventPause{50};

void Warn(const std::string& line) { std::fprintf(stderr, "activator-run: %s\n", line.c_str()); }

std::string Message(std::string_view action, const std::string& job_id,
                    const std::string& reply_pipe, std::string_view job_state) {
  return FormatJobMessage(
      JobMessage{std::string(action), job_id, reply_pipe, std::string(job_state)});
}

// The job pipe, as the worker side writes it. The first failure is the
// user's one warning; after it the run goes on without the activator.
class JobPipe {
 public:
  bool Send(const std::string& message) {
    if (!reachable_) return false;
    const PipeSendResult sent = WriteMessageToPipe(kJobPipeName, message);
    if (sent.status == PipeSendStatus::kSent) return true;
    reachable_ = false;
    Warn(std::string("no activator is running (the job pipe ") + kJobPipeName +
         (sent.status == PipeSendStatus::kOpenFailed ? " did not open: error "
                                                     : " refused the message: error ") +
         std::to_string(sent.error) + "); the command runs without notifications");
    return false;
  }

 private:
  bool reachable_ = true;
};

// Writes the result index: its first line names the result file. Written
// whole under another name first, so the activator never reads half of it.
bool WriteResultIndex(const std::string& index_path, const std::string& result_path) {
  const std::string partial = index_path + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << result_path << '\n';
    if (!out.flush()) return false;
  }
  std::error_code error;
  std::filesystem::rename(partial, index_path, error);
  return !error;
}

// Serves the reply pipe for the life of the run: a click on "abortar" of this
// job asks the command to end, and ends it by force if it has not after
// kForceStopDelay. Anything else is not for the wrapper to act on.
void ServeReplyPipe(PipeServerInstance& listener, const std::shared_ptr<ChildProcess>& child,
                    const std::string& job_id) {
  for (;;) {
    if (!listener.WaitForClient()) continue;
    // The activator writes its event at once; a client that does not is
    // none of ours.
    const PipeReadResult read = listener.ReadMessage(kMaxJobMessageBytes, kEventWait, kEventPause);
    if (read.status != PipeReadStatus::kRead) continue;
    const ParsedJobMessage event = ParseJobMessage(JobMessageFromBytes(read.bytes));
    if (event.problem != JobMessageProblem::kNone || event.message.job_id != job_id ||
        event.message.action != kButtonAbort.text())
      continue;
    Warn("abortar clicked: ending the command");
    child->RequestStop();
    std::this_thread::sleep_for(kForceStopDelay);
    child->ForceStop();
  }
}

}  // namespace

int RunWrappedJob(const RunOptions& options) {
  const std::string job_id =
      !options.job_id.empty() ? options.job_id
                              : MakeJobId(options.command[0],
                                          std::chrono::duration_cast<std::chrono::seconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count(),
                                          CurrentProcessId());

  // The reply pipe listens before the announcement names it.
  std::string reply_pipe = MakePrivatePipeName("reply");
  std::optional<PipeServerInstance> listener;
  if (!reply_pipe.empty()) {
    PipeErrorCode error = 0;
    listener = PipeServerInstance::Create(reply_pipe, &error);
  }
  if (!listener) {
    RemovePrivatePipe(reply_pipe);
    reply_pipe.clear();
  }

  JobPipe job_pipe;
  const bool announced =
      job_pipe.Send(Message(kActionAnnounce.text(), job_id, reply_pipe, kStateRunning.text()));

  // The result file and its index, for "Exibir Resultado" after the run.
  const std::string result_path = std::string(kResultsPrefix) + job_id + ".txt";
  std::ofstream result;
  if (announced) {
    result.open(result_path, std::ios::binary | std::ios::trunc);
    if (!result || !WriteResultIndex(std::string(kResultsPrefix) + job_id + ".path", result_path)) {
      Warn("cannot write the result file " + result_path +
           "; the output goes to the terminal only");
      result.close();
    }
  }

  ChildStartFailure failure;
  std::optional<ChildProcess> started = ChildProcess::Start(options.command, &failure);
  if (!started) {
    Warn(failure.message);
    if (result.is_open()) result << "activator-run: " << failure.message << '\n';
    result.close();
    if (announced) job_pipe.Send(Message(kActionUpdate.text(), job_id, "", kStateError.text()));
    RemovePrivatePipe(reply_pipe);
    return failure.status;
  }
  // Shared with the reply pipe's thread, which outlives this call.
  auto child = std::make_shared<ChildProcess>(std::move(*started));
  child->ForwardInterrupts();
  if (listener && announced) {
    // Shared: a std::function must be copyable, the listener is not.
    auto served = std::make_shared<PipeServerInstance>(std::move(*listener));
    if (!StartProcessThread([served, child, job_id] { ServeReplyPipe(*served, child, job_id); }))
      Warn("no thread for the reply pipe: abortar will not reach the command");
  }

  child->PumpOutput([&](OutputStream stream, std::string_view bytes) {
    std::FILE* terminal = stream == OutputStream::kStandardOutput ? stdout : stderr;
    std::fwrite(bytes.data(), 1, bytes.size(), terminal);
    std::fflush(terminal);
    if (result.is_open()) result.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  });
  const int status = child->Wait();
  result.close();

  if (announced) {
    job_pipe.Send(Message(kActionUpdate.text(), job_id, "",
                          status == 0 ? kStateConcluded.text() : kStateError.text()));
  }
  // From here a click finds no worker, and the activator opens the result.
  RemovePrivatePipe(reply_pipe);
  return status;
}

}  // namespace activator
