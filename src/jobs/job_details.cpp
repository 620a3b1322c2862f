#include "jobs/job_details.h"

namespace activator {

JobDetails& TheJobDetails() {
  // Never destroyed: the updater thread waits on it until the process exits.
  static JobDetails* details = new JobDetails();
  return *details;
}

void JobDetails::Record(const std::string& job_id, const std::optional<std::string>& description,
                        std::optional<int> progress) {
  if (!description && !progress) return;
  bool wake = false;
  {
    MutexLock lock(lock_);
    JobDetail& detail = details_[job_id];
    if (description) detail.description = *description;
    if (progress && detail.progress != progress) {
      detail.progress = progress;
      wake = progress_changed_.insert(job_id).second;
    }
  }
  if (wake) changed_.notify_all();
  if (StateJournal* journal = journal_.load(); journal != nullptr && description)
    journal->Record({SavedChangeKind::kDescription, {job_id, *description}});
}

void JobDetails::Forget(const std::vector<std::string>& job_ids) {
  MutexLock lock(lock_);
  for (const std::string& id : job_ids) {
    details_.erase(id);
    progress_changed_.erase(id);
  }
}

void JobDetails::KeepChangesIn(StateJournal* journal) { journal_.store(journal); }

void JobDetails::Restore(const SavedState& saved) {
  MutexLock lock(lock_);
  for (const auto& [id, job] : saved.jobs)
    if (job.description && !job.description->empty()) details_[id].description = *job.description;
}

JobDetail JobDetails::Find(const std::string& job_id) {
  MutexLock lock(lock_);
  auto it = details_.find(job_id);
  return it == details_.end() ? JobDetail{} : it->second;
}

std::vector<std::string> JobDetails::TakeProgressChanges(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  MutexLock lock(lock_);
  while (progress_changed_.empty()) {
    if (!lock_.WaitUntil(changed_, deadline) && std::chrono::steady_clock::now() >= deadline) break;
  }
  std::vector<std::string> changed(progress_changed_.begin(), progress_changed_.end());
  progress_changed_.clear();
  return changed;
}

void JobDetails::ResetForTesting() {
  MutexLock lock(lock_);
  details_.clear();
  progress_changed_.clear();
}

}  // namespace activator
