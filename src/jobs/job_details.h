// What a worker says about its jobs beyond their state: a line saying what
// the job is and how far it got. Only jobs whose messages gave either have an
// entry, so a job without them costs nothing here.
//
// Its lock is never held with the registry lock or the reply-pipe lock; it may
// be taken inside the display lock. Nothing is called out while it is held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "jobs/saved_state.h"
#include "jobs/state_journal.h"

namespace activator {

struct JobDetail {
  std::string description;      // empty: none
  std::optional<int> progress;  // 0 to 100; none until the worker gives one
};

class JobDetails {
 public:
  JobDetails() = default;
  JobDetails(const JobDetails&) = delete;
  JobDetails& operator=(const JobDetails&) = delete;

  // Keeps what a message gave; a field it did not give keeps its earlier
  // value. A changed progress is handed to the next TakeProgressChanges.
  // Only the job pipe server records, so the journal gets the descriptions
  // in the order they came.
  void Record(const std::string& job_id, const std::optional<std::string>& description,
              std::optional<int> progress) EXCLUDES(lock_);
  JobDetail Find(const std::string& job_id) EXCLUDES(lock_);
  // Waits at most `limit` for a progress change, then hands over (and
  // forgets) the ids whose progress changed since the last call.
  std::vector<std::string> TakeProgressChanges(std::chrono::milliseconds limit) EXCLUDES(lock_);

  // The registry forgot these jobs: their details go too.
  void Forget(const std::vector<std::string>& job_ids) EXCLUDES(lock_);

  // From now on every description is recorded in `journal`; the progress,
  // which the next message replaces anyway, is not.
  void KeepChangesIn(StateJournal* journal);
  // Takes over the descriptions a predecessor left. Nothing may be using the
  // details yet; nothing is recorded.
  void Restore(const SavedState& saved) EXCLUDES(lock_);

  void ResetForTesting() EXCLUDES(lock_);

 private:
  std::atomic<StateJournal*> journal_{nullptr};
  Mutex lock_;
  std::unordered_map<std::string, JobDetail> details_ GUARDED_BY(lock_);
  std::set<std::string> progress_changed_ GUARDED_BY(lock_);
  std::condition_variable changed_;
};

// The process's one set of details, constructed empty before main runs.
JobDetails& TheJobDetails();

}  // namespace activator
