#include "run/wrapped_job.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/build_constants.h"
#include "jobs/job_protocol.h"
#include "platform/child_process.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/pipes.h"
#include "platform/user.h"
#include "platform/threads.h"
#include "run/announcer.h"
#include "run/progress_reader.h"
#include "run/progress_sender.h"
#include "run/reply_pipe_listener.h"
#include "run/result_file.h"
#include "run/results_folder.h"
#include "run/run_warning.h"
#include "run/shell_quoting.h"

namespace activator {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

int RunWrappedJob(const RunOptions& options, int* ending_signal) {
  *ending_signal = 0;
  const auto started_wall = std::chrono::system_clock::now();
  const Clock::time_point started = Clock::now();
  const std::string job_id =
      !options.job_id.empty()
          ? options.job_id
          : MakeJobId(
                options.command[0],
                std::chrono::duration_cast<std::chrono::seconds>(started_wall.time_since_epoch())
                    .count(),
                CurrentProcessId());

  // The result file, for "Exibir Resultado" after the run, in a folder of
  // the user's alone, where results of long ago are cleared away.
  // Where the lab is every user's (Windows), the folder is the first user's
  // who made it: any other user's results go to a folder of their own beside
  // it, "<folder>-<user>", as they do when another user made the folder first
  // to see what is written there.
  std::string result_path = std::string(kRunResultsPrefix) + job_id + ".txt";
  std::filesystem::path result_folder = PathOf(result_path).parent_path();
  int folder_error = 0;
  bool have_folder = MakeOwnerOnlyFolder(TextOf(result_folder), &folder_error);
  if (!have_folder) {
    const std::filesystem::path own = PathOf(TextOf(result_folder) + "-" + CurrentUserId());
    if (MakeOwnerOnlyFolder(TextOf(own), nullptr)) {
      have_folder = true;
      result_path = TextOf(own / PathOf(result_path).filename());
      result_folder = own;
    }
  }
  // An id given twice at once would have one run's end shown as the other's
  // and their output mixed in one file: the second is refused. (A made-up id
  // is never shared by two live runs.) The lock goes with this process, and
  // a lock that cannot be had refuses the id too: running twice is worse.
  if (!options.job_id.empty()) {
    const FileLockResult lock = TryTakeFileLock(std::string(kRunResultsPrefix) + job_id + ".lock");
    if (lock.status == FileLockStatus::kHeld) {
      Warn("the job id " + job_id +
           " is in use by another activator-run still running; give this run another --id");
      return 2;
    }
    if (lock.status == FileLockStatus::kFailed) {
      Warn("the job id " + job_id + " cannot be locked (" +
           DescribeFileError(static_cast<int>(lock.error)) +
           "), so another run of it could not be kept out; give this run another --id, or none");
      return 2;
    }
  }

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

  ResultFile result;
  if (have_folder) {
    PruneOldResults(result_folder, options.keep_days);
    result.Open(result_path, options.command, started_wall);
  } else {
    Warn("cannot make the results folder " + TextOf(result_folder) + " (" +
         DescribeFileError(folder_error) + "); the output goes to the terminal only");
  }

  // What ran, as the line under the notification's title (the words quoted
  // as a shell would take them, so that `sh -c '...'` reads as typed); at the
  // end, how it ended and how long it took.
  const std::string what =
      options.description ? *options.description : QuotedCommand(options.command);
  auto final_description = [&what, started](int status, int signal, bool cut) {
    const std::string end = DescribeRunEnd(
        status, signal, cut, std::chrono::duration<double>(Clock::now() - started).count());
    return JobDescription(what, what.empty() ? end : ": " + end);
  };
  auto announcer = std::make_shared<Announcer>(job_id, reply_pipe, !options.job_id.empty(),
                                               std::string(kResultsPrefix) + job_id + ".path",
                                               result_path, JobDescription(what), options.progress);
  const bool result_kept = result.is_open();
  if (options.after_seconds <= 0) announcer->Announce(result_kept);

  ChildStartFailure failure;
  std::optional<ChildProcess> started_child = ChildProcess::Start(options.command, &failure);
  if (!started_child) {
    Warn(failure.message);
    result.Write("activator-run: " + failure.message + "\n");
    result.Finish(std::chrono::system_clock::now(), Clock::now() - started, failure.status, 0);
    if (!announcer->End(kStateError.text(), final_description(failure.status, 0, false)))
      result.Discard();
    RemovePrivatePipe(reply_pipe);
    return failure.status;
  }
  // Shared with the reply pipe's thread, which outlives this call.
  auto child = std::make_shared<ChildProcess>(std::move(*started_child));
  auto abort = std::make_shared<AbortState>();
  auto replies = std::make_shared<ReplyPipeProgress>();
  bool replies_served = false;
  child->ForwardInterrupts();
  if (listener) {
    // Shared: a std::function must be copyable, the listener is not.
    auto served = std::make_shared<std::optional<PipeServerInstance>>(std::move(listener));
    replies_served = StartProcessThread([served, reply_pipe, child, job_id, abort, replies] {
      ServeReplyPipe(*served, reply_pipe, child, job_id, *abort, *replies);
    });
    if (!replies_served) Warn("no thread for the reply pipe: abortar will not reach the command");
  }
  if (options.after_seconds > 0) {
    const auto wait = std::chrono::duration<double>(options.after_seconds);
    if (!StartProcessThread([announcer, wait, result_kept] {
          std::this_thread::sleep_for(wait);
          announcer->Announce(result_kept);
        }))
      announcer->Announce(result_kept);
  }

  std::shared_ptr<ProgressSender> progress;
  if (options.progress) {
    progress = std::make_shared<ProgressSender>(announcer);
    if (!StartProcessThread([progress] { progress->Serve(); })) {
      Warn("no thread for the progress: the notification shows none");
      progress.reset();
    }
  }
  ProgressReader progress_in[2];

  // Each chunk goes on at once and whole, in one write: through a buffer it
  // would be copied once more and split in two.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  bool terminal_gone[2] = {false, false};
  child->PumpOutput([&](OutputStream stream, std::string_view bytes) {
    const int which = stream == OutputStream::kStandardOutput ? 0 : 1;
    std::FILE* terminal = which == 0 ? stdout : stderr;
    result.Write(bytes);
    if (progress) {
      if (const std::optional<int> percent = progress_in[which].Feed(bytes))
        progress->Report(*percent);
    }
    if (terminal_gone[which]) return false;
    // A reader that went away (`| head`) is not the end of the run: the
    // command hears of it as it would have without the wrapper, by a failed
    // write of its own, and the run goes on to its end.
    if (std::fwrite(bytes.data(), 1, bytes.size(), terminal) != bytes.size() ||
        std::fflush(terminal) != 0) {
      terminal_gone[which] = true;
      return false;
    }
    return true;
  });
  const int status = child->Wait();
  *ending_signal = child->EndingSignal();
  result.Finish(std::chrono::system_clock::now(), Clock::now() - started, status, *ending_signal);

  if (progress) progress->Stop();
  const bool announced =
      announcer->End(status == 0 && !result.cut() ? kStateConcluded.text() : kStateError.text(),
                     final_description(status, *ending_signal, result.cut()));
  if (!announced) result.Discard();
  if (announced && replies_served) ReadPendingEvents(reply_pipe, *replies);
  FinishAbort(*child, *abort);
  // From here a click finds no worker, and the activator opens the result.
  RemovePrivatePipe(reply_pipe);
  return status;
}

}  // namespace activator
