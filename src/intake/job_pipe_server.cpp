#include "intake/job_pipe_server.h"

#include <chrono>
#include <cstdio>
#include <string_view>
#include <thread>

#include "base/build_constants.h"
#include "base/mutex.h"
#include "jobs/job_details.h"
#include "jobs/job_message.h"
#include "jobs/job_protocol.h"
#include "jobs/job_registry.h"
#include "log/debug_log.h"
#include "notify/display_lock.h"
#include "notify/job_notifications.h"
#include "platform/files.h"

namespace activator {

namespace {

constexpr std::chrono::milliseconds kCreateRetryPause{1000};
constexpr std::chrono::milliseconds kQueueNoticeWait{500};

// Only the client's close and the size limit end a message where the worker
// ended it. A pause or the time limit can fall between two of its pieces - a
// worker stalled mid-write, or slower between them than the pause - and what
// follows is never read.
bool MayBeCut(PipeReadEnd end) { return end != PipeReadEnd::kClosed && end != PipeReadEnd::kFull; }

// The optional fields: each gets a line of its own, so a message without them
// logs exactly what it always did.
void LogOptionalFields(const JobMessage& job) {
  for (const std::string& ignored : job.ignored_fields) WriteDebugLog("PYTHON " + ignored);
  if (job.description) WriteDebugLog("PYTHON DESCRICAO=" + LogValue(*job.description));
  if (job.progress) WriteDebugLog("PYTHON PROGRESSO=" + std::to_string(*job.progress));
  if (job.wants_queue_notice) WriteDebugLog("PYTHON AVISOS=" + std::string(kNoticeQueued.text()));
}

// Tells a job that asked for it that it waits behind the display limit, on
// its reply pipe. The wait for the reader is short: the server reads no
// other message meanwhile.
void SendQueueNotice(const std::string& job_id) {
  JobRegistry& registry = TheJobRegistry();
  const std::optional<uint64_t> place = registry.PlaceBehindLimit(job_id);
  if (!place) return;
  const std::optional<std::string> pipe = registry.FindReplyPipe(job_id);
  if (!pipe) return;
  JobMessage event;
  event.action = kEventQueued.text();
  event.job_id = job_id;
  event.queue_position = *place;
  event.job_state = kStateRunning.text();
  const PipeSendResult sent = WriteMessageToPipe(*pipe, FormatJobMessage(event), kQueueNoticeWait);
  const std::string what = LogValue(job_id) + " POSICAO=" + std::to_string(*place);
  if (sent.status == PipeSendStatus::kSent) {
    WriteDebugLog("VELDUNA FILA AVISADA=" + what);
  } else {
    // A pipe refused for its owner is said as such, not as a failed write.
    std::string why = "ESCRITA";
    if (sent.status == PipeSendStatus::kOpenFailed) why = FormatErrorCode(sent.error);
    if (sent.status == PipeSendStatus::kOtherUser) why = "OUTRO USUARIO";
    if (sent.status == PipeSendStatus::kUnknownOwner) why = "DONO DESCONHECIDO";
    WriteDebugLog("VELDUNA FILA NAO AVISADA=" + what + " ERRO=" + why);
  }
}

// Jobs that can no longer matter are forgotten now and then, with one line
// for the whole pass.
void ForgetJobsOutOfView() {
  const std::vector<std::string> forgotten = TheJobRegistry().ForgetJobsOutOfView();
  if (forgotten.empty()) return;
  TheJobDetails().Forget(forgotten);
  {
    MutexLock display(g_display_lock);
    ForgetDisplayedJobs(forgotten);
  }
  WriteDebugLog("VELDUNA JOBS ESQUECIDOS=" + std::to_string(forgotten.size()));
}

}  // namespace

std::optional<PipeServerInstance> CreateJobPipeInstance(
    const std::string& pipe_name, PipeErrorCode* error,
    const std::optional<PipeErrorCode>& quiet_error) {
  PipeErrorCode code = 0;
  std::optional<PipeServerInstance> instance = PipeServerInstance::Create(pipe_name, &code);
  if (!instance && quiet_error != code)
    WriteDebugLog("PYTHON PIPE CREATE FAILED=" + FormatErrorCode(code));
  if (error != nullptr) *error = code;
  return instance;
}

void HandleJobMessage(const std::string& message, const AppNotificationManager& manager,
                      bool may_be_cut) {
  WriteDebugLog("PYTHON PIPE RECEIVED=" + LogValue(message));
  std::string_view fields = message;
  if (DropFinalLineEnd(fields)) WriteDebugLog("PYTHON PIPE FIM DE LINHA REMOVIDO");
  // Two messages written as two lines of one connection read as one, the
  // second inside the first's last value: the worker's author needs a line
  // that names it.
  if (fields.find('\n') != std::string_view::npos)
    WriteDebugLog("PYTHON PIPE MENSAGEM COM VARIAS LINHAS");
  const ParsedJobMessage parsed =
      may_be_cut ? ParseMaybeCutJobMessage(fields) : ParseJobMessage(fields);
  if (parsed.problem != JobMessageProblem::kNone) {
    // Without an action and a job id there is nothing to record, and a part
    // of a message would record what the worker never said: the message is
    // reported and otherwise dropped.
    WriteDebugLog(std::string("PYTHON PIPE MENSAGEM INVALIDA=") +
                  DescribeJobMessageProblem(parsed.problem));
    return;
  }
  const JobMessage& job = parsed.message;
  JobRegistry& registry = TheJobRegistry();

  WriteDebugLog("PYTHON PIPE DESTINO=" + LogValue(job.reply_pipe));
  // An empty name keeps the reply pipe recorded earlier for the job.
  if (!job.reply_pipe.empty()) registry.RecordReplyPipe(job.job_id, job.reply_pipe);
  WriteDebugLog("PYTHON ACAO=" + LogValue(job.action));
  WriteDebugLog("PYTHON ID=" + LogValue(job.job_id));
  WriteDebugLog("PYTHON ESTADO=" + LogValue(job.job_state));
  LogOptionalFields(job);
  const bool announce = job.action == kActionAnnounce.text();
  const bool update = job.action == kActionUpdate.text();
  // Before the job is queued or its state shown: the show reads them. Only a
  // job the registry knows has details worth keeping.
  if (announce || update) TheJobDetails().Record(job.job_id, job.description, job.progress);

  if (announce) {
    registry.AnnounceJob(job.job_id);
    WriteDebugLog("VELDUNA RECEBEU=" + LogValue(job.job_id));
    if (job.wants_queue_notice) SendQueueNotice(job.job_id);
  } else if (update) {
    registry.SetJobState(job.job_id, job.job_state);
    WriteDebugLog("VELDUNA ESTADO REGISTRADO=" + LogValue(job.job_id) +
                  " ESTADO=" + LogValue(job.job_state));
    // The registry lock is free again here: the display lock comes first in
    // the lock order, and the dispatch must not race the consumer's show.
    MutexLock display(g_display_lock);
    DispatchStateUpdate(manager, job.job_id, job.job_state);
  }
  ForgetJobsOutOfView();
}

bool ServeOneJobConnection(PipeServerInstance& instance, const AppNotificationManager& manager) {
  if (!instance.WaitForClient()) return false;
  const PipeReadResult read =
      instance.ReadMessage(kMaxJobMessageBytes, kJobMessageWait, kJobMessagePause);
  if (read.status == PipeReadStatus::kRead) {
    HandleJobMessage(std::string(JobMessageFromBytes(read.bytes)), manager, MayBeCut(read.end));
  } else if (read.status == PipeReadStatus::kTimedOut) {
    WriteDebugLog("PYTHON PIPE TIMEOUT");
  }
  instance.Disconnect();
  return true;
}

void RunJobPipeServer(const AppNotificationManager& manager) {
  WriteDebugLog("PYTHON PIPE SERVER START");
  // One instance serves every client, so the name is never free between two
  // of them; it is made anew only when a wait for a client failed.
  std::optional<PipeServerInstance> instance;
  bool told_terminal = false;
  // The code of the failure logged last while the failures go on: a pipe
  // held by another user's program fails every second for as long as that
  // program runs, and one line says so.
  std::optional<PipeErrorCode> failing;
  for (;;) {
    if (!instance) {
      PipeErrorCode error = 0;
      instance = CreateJobPipeInstance(kJobPipeName, &error, failing);
      failing = instance ? std::nullopt : std::optional<PipeErrorCode>(error);
      if (!instance) {
        // Another program holding the pipe (a second activator waits for the
        // first before it gets here) would otherwise keep this one waiting in
        // silence: the user at the terminal does not read the debug log.
        if (!told_terminal && PipeServerInstance::IsNameTaken(error) &&
            StandardErrorIsTerminal()) {
          std::fputs(kJobPipeTakenNotice, stderr);
          std::fflush(stderr);
          told_terminal = true;
        }
        std::this_thread::sleep_for(kCreateRetryPause);
        continue;
      }
    }
    try {
      if (!ServeOneJobConnection(*instance, manager)) instance.reset();
    } catch (...) {
      // Only an exhausted process gets here (the notification calls contain
      // their own failures); the client is dropped and the server goes on.
      WriteDebugLog("PYTHON PIPE ERRO");
      instance->Disconnect();
    }
  }
}

}  // namespace activator
