// The job registry: what the activator's threads share about jobs. Which reply
// pipe belongs to which job, each job's state, the queue of job ids waiting for
// a notification, the ids handed to the notification centre but not yet seen
// there, and how many job notifications the centre holds.
//
// Two locks, each taken only inside the registry's own operations, none of
// which calls out while holding it:
//   registry lock   - job-state map, job queue, pending set, on-screen count.
//   reply-pipe lock - the reply-pipe map; never held with another lock.
// The display lock of the notifications (notify/display_lock.h) is taken
// before the registry lock. No registry lock is held while a line is logged.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "jobs/saved_state.h"
#include "jobs/state_journal.h"

namespace activator {

class JobRegistry : public LiveJobState {
 public:
  // Fewer than this many job notifications may be pending or on screen for
  // the consumer to take another job.
  static constexpr uint64_t kDisplayLimit = 20;
  // A pending id that this many successful monitor passes in a row did not see
  // in the notification centre is released: its notification left the centre
  // before any pass could see it, and would otherwise hold a place of the
  // display limit for ever.
  static constexpr unsigned kUnseenPassesBeforeRelease = 5;
  // The registry holds at least this many jobs before a pass of
  // ForgetJobsOutOfView looks for any to forget.
  static constexpr std::size_t kForgetPassAtJobs = 2 * (kKeptFinishedJobs + kKeptRunningJobs);

  JobRegistry() = default;
  JobRegistry(const JobRegistry&) = delete;
  JobRegistry& operator=(const JobRegistry&) = delete;

  // Reply-pipe map. The job pipe server records only non-empty names.
  void RecordReplyPipe(const std::string& job_id, const std::string& pipe_name)
      EXCLUDES(reply_pipe_lock_);
  std::optional<std::string> FindReplyPipe(const std::string& job_id) EXCLUDES(reply_pipe_lock_);

  // Gives the job the state "executando" unless it has one, queues its id and
  // wakes the consumer.
  void AnnounceJob(const std::string& job_id) EXCLUDES(registry_lock_);
  // Overwrites (or creates) the job's state; queues nothing, wakes nobody.
  void SetJobState(const std::string& job_id, const std::string& job_state)
      EXCLUDES(registry_lock_);
  // Waits until the queue holds an id and the display limit admits one more,
  // then moves the front id from the queue into the pending set. Only the
  // queue consumer calls it.
  std::string TakeNextJob() EXCLUDES(registry_lock_);
  // The show of a taken id went out. Until then a restarted program shows the
  // id again; after it, only the notification centre settles it.
  void ConfirmShown(const std::string& job_id) EXCLUDES(registry_lock_);
  // The job's state; the empty text when the job has none.
  std::string FindJobState(const std::string& job_id) EXCLUDES(registry_lock_);
  // What the monitor saw in one successful look at the notification centre:
  // the number of job notifications and their tags. Seen tags leave the
  // pending set; pending ids unseen for too long are released. Wakes the
  // consumer. Returns the ids released this way, for the caller to log.
  std::vector<std::string> RefreshOnScreenView(uint64_t on_screen_count,
                                               const std::set<std::string>& seen_tags)
      EXCLUDES(registry_lock_);
  // Removes the id from the pending set (showing its notification failed, or
  // the centre said it closed) and wakes the consumer. True when it was
  // pending.
  bool WithdrawPending(const std::string& job_id) EXCLUDES(registry_lock_);
  // The consumer took the id but no notification service was there to show
  // it: the id leaves the pending set and goes back to the front of the
  // queue, to be the first taken once the service is back.
  void PutBackFirst(const std::string& job_id) EXCLUDES(registry_lock_);
  // Queues the id at the back unless it already waits in the queue, and wakes
  // the consumer; a new state that could not be shown is shown from there.
  void QueueUnlessQueued(const std::string& job_id) EXCLUDES(registry_lock_);
  // For a state to show of a job whose notification is not in the centre
  // (not pending, not seen by the monitor's last look): queues the id unless
  // it waits there already, wakes the consumer and returns true, so the state
  // is shown under the display limit like any other. Returns false, changing
  // nothing, when the job's notification is in the centre.
  bool QueueUnlessInCentre(const std::string& job_id) EXCLUDES(registry_lock_);

  // Whether the job's notification is in the centre: pending with its show
  // gone out, or seen by the monitor's last look. A job taken for a show
  // that has not gone out yet is not.
  bool IsInCentre(const std::string& job_id) EXCLUDES(registry_lock_);
  // How many jobs wait in the queue because the display limit is reached;
  // 0 while the consumer may take the next one.
  uint64_t WaitingBehindLimit() EXCLUDES(registry_lock_);
  // The job's place in the queue (1: the next to be shown) while the display
  // limit keeps it waiting; nullopt when it is not queued or about to be taken.
  std::optional<uint64_t> PlaceBehindLimit(const std::string& job_id) EXCLUDES(registry_lock_);

  // A process that runs for months must not keep every job it ever saw. A job
  // out of view (neither queued, pending nor in the centre at the monitor's
  // last look) can no longer be clicked, and the most recent of those are
  // kept in case a state or an announce still comes: kKeptFinishedJobs of
  // the finished, kKeptRunningJobs of the running, as the state file keeps.
  // The older rest are forgotten with their reply pipes, and so are reply
  // pipes of ids that never had a state; the state file is rewritten without
  // them. A pass runs once the registry has doubled since the last one, so
  // most calls cost a comparison. Only the job pipe server calls it. Returns
  // the ids forgotten, for the caller to forget their details too.
  std::vector<std::string> ForgetJobsOutOfView() EXCLUDES(registry_lock_, reply_pipe_lock_);

  // From now on every change is recorded in `journal` (start-up's, once the
  // saved state is restored), under the registry lock for the job states,
  // queue, pending and on-screen ids, after the reply-pipe lock for the reply
  // pipes: the reply-pipe lock is never held with another lock.
  void KeepChangesIn(StateJournal* journal);
  // Takes over what a predecessor left: job states, reply pipes, queue,
  // pending ids, and the centre's jobs as last seen, counted on screen until
  // the monitor looks. Ids taken but never shown must already be back in the
  // queue. Nothing may be using the registry yet; nothing is recorded.
  void Restore(const SavedState& saved) EXCLUDES(registry_lock_, reply_pipe_lock_);

  // Named only so that the lock order can be written where the display lock
  // is declared; nobody outside the registry takes it.
  Mutex& registry_lock() RETURN_CAPABILITY(registry_lock_) { return registry_lock_; }

  // Observers for tests and diagnostics; each takes the registry lock.
  std::vector<std::string> QueuedIds() EXCLUDES(registry_lock_);
  std::set<std::string> PendingIds() EXCLUDES(registry_lock_);
  uint64_t OnScreenCount() EXCLUDES(registry_lock_);
  bool HasJobState(const std::string& job_id) EXCLUDES(registry_lock_);

  // Empties every container. Tests call it between cases; no thread may be
  // using the registry meanwhile.
  void ResetForTesting() EXCLUDES(registry_lock_, reply_pipe_lock_);

  // For the journal's snapshots: queued, pending and on-screen jobs, and the
  // most recent of the others (kKeptFinishedJobs, kKeptRunningJobs).
  void FillSnapshot(StateSnapshot& snapshot) const override REQUIRES(registry_lock_);

 private:
  struct JobEntry {
    std::string state;
    uint64_t stamp = 0;  // order of the job's last change
  };
  struct PendingShow {
    // Successful monitor passes since the id was taken that did not see it.
    unsigned unseen_passes = 0;
    bool shown = false;
  };

  bool AdmitsNextJob() const REQUIRES(registry_lock_);
  // Views of every job: those in view, and of the others the most recent
  // that are kept; with `beyond`, the rest there. Valid while the lock is
  // held and nothing changes.
  void SortJobsByView(std::vector<SnapshotJob>& in_view, std::vector<SnapshotJob>& kept_out_of_view,
                      std::vector<SnapshotJob>* beyond) const REQUIRES(registry_lock_);
  void SetStateLocked(const std::string& job_id, const std::string& job_state)
      REQUIRES(registry_lock_);
  // Records a change made under the registry lock; a snapshot due is made
  // from the registry there and then.
  void Keep(SavedChangeKind kind, std::vector<std::string> fields) const REQUIRES(registry_lock_);

  std::atomic<StateJournal*> journal_{nullptr};

  Mutex reply_pipe_lock_;
  std::unordered_map<std::string, std::string> reply_pipes_ GUARDED_BY(reply_pipe_lock_);

  Mutex registry_lock_;
  std::unordered_map<std::string, JobEntry> job_states_ GUARDED_BY(registry_lock_);
  uint64_t next_stamp_ GUARDED_BY(registry_lock_) = 1;
  std::size_t forget_at_ GUARDED_BY(registry_lock_) = kForgetPassAtJobs;
  std::deque<std::string> job_queue_ GUARDED_BY(registry_lock_);
  std::unordered_map<std::string, PendingShow> pending_ GUARDED_BY(registry_lock_);
  uint64_t on_screen_count_ GUARDED_BY(registry_lock_) = 0;
  // The tags the monitor's last look saw.
  std::set<std::string> on_screen_ids_ GUARDED_BY(registry_lock_);
  // Whether the monitor's view has been recorded since the journal was set:
  // the first is recorded even when it looks unchanged.
  bool view_kept_ GUARDED_BY(registry_lock_) = false;
  // Used with registry_lock_; the queue consumer is its only waiter.
  std::condition_variable queue_condition_;
};

// The process's one registry, constructed empty before main runs.
JobRegistry& TheJobRegistry();

}  // namespace activator
