#include "run/announcer.h"

#include "jobs/job_message.h"
#include "jobs/job_protocol.h"
#include "run/results_folder.h"
#include "run/run_warning.h"

namespace activator {

namespace {

JobMessage Message(std::string_view action, const std::string& job_id, std::string_view job_state) {
  JobMessage message;
  message.action = action;
  message.job_id = job_id;
  message.job_state = job_state;
  return message;
}

}  // namespace

Announcer::Announcer(std::string job_id, std::string reply_pipe, bool reused_id,
                     std::string index_path, std::string result_path, std::string description,
                     bool progress)
    : job_id_(std::move(job_id)),
      reply_pipe_(std::move(reply_pipe)),
      reused_id_(reused_id),
      index_path_(std::move(index_path)),
      result_path_(std::move(result_path)),
      description_(std::move(description)) {
  if (progress) progress_ = 0;
}

void Announcer::Announce(bool with_result) {
  MutexLock hold(lock_);
  if (phase_ != Phase::kWaiting) return;
  phase_ = Phase::kSilent;
  // The activator keeps what it knew of a job announced again (a failed
  // run's final form, with no abortar), and shows the in-progress form only
  // as its queue takes the announcement, with the state the job has then.
  // So the state is set first: an update after the announcement could come
  // after the queue had read the old state, and would never be shown.
  if (reused_id_ &&
      !pipe_.Send(FormatJobMessage(Message(kActionUpdate.text(), job_id_, kStateRunning.text()))))
    return;
  JobMessage announcement = Message(kActionAnnounce.text(), job_id_, kStateRunning.text());
  announcement.reply_pipe = reply_pipe_;
  announcement.description = description_;
  announcement.progress = progress_;  // what the output said while the job waited
  announcement.wants_queue_notice = true;
  if (!pipe_.Send(FormatJobMessage(announcement))) return;
  phase_ = Phase::kAnnounced;
  // Only for a job the activator knows, and before its end is sent, since
  // only a click on its end reads the index.
  if (with_result && !WriteResultIndex(index_path_, result_path_))
    Warn("cannot write the result index " + index_path_ + "; Exibir Resultado will open nothing");
}

void Announcer::Progress(int percent) {
  MutexLock hold(lock_);
  if (phase_ == Phase::kWaiting) progress_ = percent;
  if (phase_ != Phase::kAnnounced || progress_ == percent) return;
  progress_ = percent;
  JobMessage update = Message(kActionUpdate.text(), job_id_, kStateRunning.text());
  update.progress = percent;
  pipe_.Send(FormatJobMessage(update));
}

bool Announcer::End(std::string_view state, const std::string& description) {
  MutexLock hold(lock_);
  const bool announced = phase_ == Phase::kAnnounced;
  phase_ = Phase::kEnded;
  if (announced) {
    JobMessage end = Message(kActionUpdate.text(), job_id_, state);
    end.description = description;
    // Once the end is taken, so is the announcement before it, and a queue
    // notice the activator had for the job is on the reply pipe.
    pipe_.Send(FormatJobMessage(end), /*wait_handled=*/true);
  }
  return announced;
}

}  // namespace activator
