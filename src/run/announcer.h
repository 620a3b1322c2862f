// What the activator hears of one run's job.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/mutex.h"
#include "run/job_pipe_link.h"

namespace activator {

// From whichever thread: the announcement (once the command has run long
// enough), its progress and the final state, in that order, and the rest only
// after an announcement.
class Announcer {
 public:
  // `progress`: whether the job has a progress bar, from 0 % on.
  Announcer(std::string job_id, std::string reply_pipe, bool reused_id, std::string index_path,
            std::string result_path, std::string description, bool progress);

  // `with_result`: a result file is kept, so its index is written for the
  // activator once the job is known to it.
  void Announce(bool with_result) EXCLUDES(lock_);

  // The command's output reached `percent`. Sent only while the job runs, and
  // only when it changed; before the announcement it is kept for it.
  void Progress(int percent) EXCLUDES(lock_);

  // True when the job was announced, and so its final state sent, with
  // `description` saying how it ended.
  bool End(std::string_view state, const std::string& description) EXCLUDES(lock_);

 private:
  enum class Phase { kWaiting, kSilent, kAnnounced, kEnded };
  const std::string job_id_;
  const std::string reply_pipe_;
  const bool reused_id_;
  const std::string index_path_;
  const std::string result_path_;
  const std::string description_;
  Mutex lock_;
  Phase phase_ GUARDED_BY(lock_) = Phase::kWaiting;
  JobPipeLink pipe_ GUARDED_BY(lock_);
  // The last value sent (or to be announced); none without a progress bar.
  std::optional<int> progress_ GUARDED_BY(lock_);
};

}  // namespace activator
