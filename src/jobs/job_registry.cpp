#include "jobs/job_registry.h"

#include <algorithm>

#include "jobs/job_protocol.h"
#include "jobs/state_journal.h"

namespace activator {

namespace {

// Constructed before main like any static object, but never destroyed:
// detached threads (the queue consumer waits on the queue condition) are
// still using it when the process exits, and destroying a condition variable
// that has waiters blocks for ever.
union ProcessJobRegistry {
  ProcessJobRegistry() : registry() {}
  ~ProcessJobRegistry() {}
  JobRegistry registry;
};
ProcessJobRegistry g_process_registry;

}  // namespace

JobRegistry& TheJobRegistry() { return g_process_registry.registry; }

void JobRegistry::KeepChangesIn(StateJournal* journal) { journal_.store(journal); }

void JobRegistry::Keep(SavedChangeKind kind, std::vector<std::string> fields) const {
  if (StateJournal* journal = journal_.load()) journal->Record({kind, std::move(fields)}, this);
}

void JobRegistry::SetStateLocked(const std::string& job_id, const std::string& job_state) {
  JobEntry& job = job_states_[job_id];
  job.state = job_state;
  job.stamp = next_stamp_++;
}

void JobRegistry::SortJobsByView(std::vector<SnapshotJob>& in_view,
                                 std::vector<SnapshotJob>& kept_out_of_view,
                                 std::vector<SnapshotJob>* beyond) const {
  // Flat arrays only: a snapshot of a long queue must not cost a node per job.
  std::vector<std::string_view> queued(job_queue_.begin(), job_queue_.end());
  std::sort(queued.begin(), queued.end());
  std::vector<SnapshotJob> finished, running;
  for (const auto& [id, job] : job_states_) {
    const SnapshotJob entry{id, &job.state, nullptr, job.stamp, true};
    if (std::binary_search(queued.begin(), queued.end(), std::string_view(id)) ||
        pending_.count(id) != 0 || on_screen_ids_.count(id) != 0) {
      in_view.push_back(entry);
    } else {
      (IsFinalJobState(job.state) ? finished : running).push_back(entry);
    }
  }
  // Of the rest, the most recent: a job out of view may still be sent a
  // state or announced again, most likely soon after its last change.
  for (auto [out_of_view, limit] : {std::pair{&finished, kKeptFinishedJobs},
                                    std::pair{&running, kKeptRunningJobs}}) {
    if (out_of_view->size() > limit) {
      const auto first_kept = out_of_view->end() - static_cast<std::ptrdiff_t>(limit);
      std::nth_element(out_of_view->begin(), first_kept, out_of_view->end(),
                       [](const SnapshotJob& a, const SnapshotJob& b) { return a.stamp < b.stamp; });
      if (beyond != nullptr) beyond->insert(beyond->end(), out_of_view->begin(), first_kept);
      out_of_view->erase(out_of_view->begin(), first_kept);
    }
    for (SnapshotJob& job : *out_of_view) {
      job.in_view = false;
      kept_out_of_view.push_back(job);
    }
  }
}

void JobRegistry::FillSnapshot(StateSnapshot& snapshot) const {
  snapshot.queue.assign(job_queue_.begin(), job_queue_.end());
  for (const auto& [id, show] : pending_) (show.shown ? snapshot.pending : snapshot.unshown).push_back(id);
  snapshot.on_screen.assign(on_screen_ids_.begin(), on_screen_ids_.end());
  // The registry keeps no more than the snapshot once a pass of
  // ForgetJobsOutOfView has run; until then the snapshot already leaves out
  // what the next pass forgets.
  SortJobsByView(snapshot.jobs, snapshot.jobs, nullptr);
}

std::vector<std::string> JobRegistry::ForgetJobsOutOfView() {
  std::vector<std::string> forgotten;
  std::size_t states_left = 0;
  {
    MutexLock lock(registry_lock_);
    if (job_states_.size() < forget_at_) return forgotten;
    std::vector<SnapshotJob> in_view, kept, beyond;
    SortJobsByView(in_view, kept, &beyond);
    forgotten.reserve(beyond.size());
    for (const SnapshotJob& job : beyond) forgotten.emplace_back(job.id);
    // The views die with their entries.
    in_view.clear();
    kept.clear();
    beyond.clear();
    for (const std::string& id : forgotten) job_states_.erase(id);
    states_left = job_states_.size();
    // Doubling: the passes cost a constant per job however many come.
    forget_at_ = std::max(kForgetPassAtJobs, 2 * states_left);
    // The state file forgets them too, or a restart would bring them back.
    if (!forgotten.empty())
      if (StateJournal* journal = journal_.load()) journal->WriteSnapshot(*this);
  }
  // Only the job pipe server, which calls this, records reply pipes, so
  // nothing comes between the two locks. A reply pipe of a job that never
  // had a state (an action that is neither an announce nor an update) goes
  // once it is as old as the jobs forgotten with it.
  std::vector<std::string> orphans;
  {
    MutexLock lock(reply_pipe_lock_);
    for (const std::string& id : forgotten) reply_pipes_.erase(id);
    if (reply_pipes_.size() > states_left + kKeptFinishedJobs)
      for (const auto& entry : reply_pipes_) orphans.push_back(entry.first);
  }
  if (orphans.empty()) return forgotten;
  {
    MutexLock lock(registry_lock_);
    std::vector<std::string> stateless;
    for (std::string& id : orphans)
      if (job_states_.count(id) == 0) stateless.push_back(std::move(id));
    orphans.swap(stateless);
  }
  {
    MutexLock lock(reply_pipe_lock_);
    for (const std::string& id : orphans) reply_pipes_.erase(id);
  }
  forgotten.insert(forgotten.end(), orphans.begin(), orphans.end());
  return forgotten;
}

void JobRegistry::Restore(const SavedState& saved) {
  {
    MutexLock lock(reply_pipe_lock_);
    for (const auto& [id, job] : saved.jobs)
      if (job.reply_pipe) reply_pipes_[id] = *job.reply_pipe;
  }
  {
    MutexLock lock(registry_lock_);
    for (const auto& [id, job] : saved.jobs) {
      if (!job.state) continue;
      job_states_[id] = JobEntry{*job.state, job.stamp};
      next_stamp_ = std::max(next_stamp_, job.stamp + 1);
    }
    for (const std::string& id : saved.queue) {
      // Every queued id has a state.
      job_states_.try_emplace(id, JobEntry{std::string(kStateRunning.text()), next_stamp_++});
      job_queue_.push_back(id);
    }
    for (const std::string& id : saved.pending) pending_[id] = PendingShow{0, true};
    // What the centre was last seen to hold is still there, as far as anyone
    // knows, until the monitor's first look: the queue must not fill the
    // screen past the display limit meanwhile.
    on_screen_ids_ = saved.on_screen;
    on_screen_count_ = saved.on_screen.size();
  }
  queue_condition_.notify_all();
}

void JobRegistry::RecordReplyPipe(const std::string& job_id, const std::string& pipe_name) {
  {
    MutexLock lock(reply_pipe_lock_);
    reply_pipes_[job_id] = pipe_name;
  }
  // Only the job pipe server records reply pipes, so their records keep the
  // order of the changes although the lock is already released. Without the
  // registry lock no snapshot can be made here: a due one waits for the next
  // change.
  if (StateJournal* journal = journal_.load())
    journal->Record({SavedChangeKind::kReplyPipe, {job_id, pipe_name}});
}

std::optional<std::string> JobRegistry::FindReplyPipe(const std::string& job_id) {
  MutexLock lock(reply_pipe_lock_);
  auto it = reply_pipes_.find(job_id);
  if (it == reply_pipes_.end()) return std::nullopt;
  return it->second;
}

void JobRegistry::AnnounceJob(const std::string& job_id) {
  {
    MutexLock lock(registry_lock_);
    JobEntry& job = job_states_.try_emplace(job_id, JobEntry{std::string(kStateRunning.text())})
                        .first->second;
    job.stamp = next_stamp_++;
    job_queue_.push_back(job_id);
    Keep(SavedChangeKind::kAnnounce, {job_id});
  }
  queue_condition_.notify_one();
}

void JobRegistry::SetJobState(const std::string& job_id, const std::string& job_state) {
  MutexLock lock(registry_lock_);
  SetStateLocked(job_id, job_state);
  Keep(SavedChangeKind::kState, {job_id, job_state});
}

bool JobRegistry::AdmitsNextJob() const {
  if (job_queue_.empty()) return false;
  const uint64_t pending = pending_.size();
  // Unsigned 64-bit throughout: the sum cannot wrap for any count the monitor
  // can report.
  return pending + on_screen_count_ < kDisplayLimit;
}

std::string JobRegistry::TakeNextJob() {
  MutexLock lock(registry_lock_);
  while (!AdmitsNextJob()) registry_lock_.Wait(queue_condition_);
  std::string job_id = job_queue_.front();
  // A fresh show of the id restarts its count of unseen passes.
  pending_[job_id] = PendingShow{};
  job_queue_.pop_front();
  Keep(SavedChangeKind::kTake, {job_id});
  return job_id;
}

void JobRegistry::ConfirmShown(const std::string& job_id) {
  MutexLock lock(registry_lock_);
  auto it = pending_.find(job_id);
  if (it == pending_.end() || it->second.shown) return;
  it->second.shown = true;
  Keep(SavedChangeKind::kShown, {job_id});
}

std::string JobRegistry::FindJobState(const std::string& job_id) {
  MutexLock lock(registry_lock_);
  auto it = job_states_.find(job_id);
  return it == job_states_.end() ? std::string() : it->second.state;
}

std::vector<std::string> JobRegistry::RefreshOnScreenView(uint64_t on_screen_count,
                                                          const std::set<std::string>& seen_tags) {
  std::vector<std::string> released;
  {
    MutexLock lock(registry_lock_);
    on_screen_count_ = on_screen_count;
    // Each change is made before it is kept: keeping it may write a
    // snapshot, which must already hold it.
    if (!view_kept_ || on_screen_ids_ != seen_tags) {
      view_kept_ = journal_.load() != nullptr;
      on_screen_ids_ = seen_tags;
      Keep(SavedChangeKind::kOnScreen, {seen_tags.begin(), seen_tags.end()});
    }
    std::vector<std::string> left;
    for (auto it = pending_.begin(); it != pending_.end();) {
      const bool seen = seen_tags.count(it->first) != 0;
      if (seen || ++it->second.unseen_passes >= kUnseenPassesBeforeRelease) {
        if (!seen) released.push_back(it->first);
        left.push_back(it->first);
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
    for (std::string& id : left) Keep(SavedChangeKind::kLeavePending, {std::move(id)});
  }
  queue_condition_.notify_all();
  return released;
}

bool JobRegistry::WithdrawPending(const std::string& job_id) {
  bool was_pending = false;
  {
    MutexLock lock(registry_lock_);
    was_pending = pending_.erase(job_id) != 0;
    if (was_pending) Keep(SavedChangeKind::kLeavePending, {job_id});
  }
  queue_condition_.notify_all();
  return was_pending;
}

void JobRegistry::PutBackFirst(const std::string& job_id) {
  {
    MutexLock lock(registry_lock_);
    pending_.erase(job_id);
    job_queue_.push_front(job_id);
    Keep(SavedChangeKind::kPutBackFirst, {job_id});
  }
  queue_condition_.notify_all();
}

void JobRegistry::QueueUnlessQueued(const std::string& job_id) {
  {
    MutexLock lock(registry_lock_);
    if (std::find(job_queue_.begin(), job_queue_.end(), job_id) != job_queue_.end()) return;
    job_queue_.push_back(job_id);
    Keep(SavedChangeKind::kQueueUnlessQueued, {job_id});
  }
  queue_condition_.notify_all();
}

bool JobRegistry::QueueUnlessInCentre(const std::string& job_id) {
  {
    MutexLock lock(registry_lock_);
    if (pending_.count(job_id) != 0 || on_screen_ids_.count(job_id) != 0) return false;
    if (std::find(job_queue_.begin(), job_queue_.end(), job_id) == job_queue_.end()) {
      job_queue_.push_back(job_id);
      Keep(SavedChangeKind::kQueueUnlessQueued, {job_id});
    }
  }
  queue_condition_.notify_all();
  return true;
}

bool JobRegistry::IsInCentre(const std::string& job_id) {
  MutexLock lock(registry_lock_);
  const auto pending = pending_.find(job_id);
  return (pending != pending_.end() && pending->second.shown) || on_screen_ids_.count(job_id) != 0;
}

uint64_t JobRegistry::WaitingBehindLimit() {
  MutexLock lock(registry_lock_);
  return AdmitsNextJob() ? 0 : job_queue_.size();
}

std::optional<uint64_t> JobRegistry::PlaceBehindLimit(const std::string& job_id) {
  MutexLock lock(registry_lock_);
  if (AdmitsNextJob()) return std::nullopt;
  // From the back: the job asking was most likely queued just now.
  const auto it = std::find(job_queue_.rbegin(), job_queue_.rend(), job_id);
  if (it == job_queue_.rend()) return std::nullopt;
  return static_cast<uint64_t>(job_queue_.rend() - it);
}

std::vector<std::string> JobRegistry::QueuedIds() {
  MutexLock lock(registry_lock_);
  return {job_queue_.begin(), job_queue_.end()};
}

std::set<std::string> JobRegistry::PendingIds() {
  MutexLock lock(registry_lock_);
  std::set<std::string> ids;
  for (const auto& entry : pending_) ids.insert(entry.first);
  return ids;
}

uint64_t JobRegistry::OnScreenCount() {
  MutexLock lock(registry_lock_);
  return on_screen_count_;
}

bool JobRegistry::HasJobState(const std::string& job_id) {
  MutexLock lock(registry_lock_);
  return job_states_.count(job_id) != 0;
}

void JobRegistry::ResetForTesting() {
  {
    MutexLock lock(reply_pipe_lock_);
    reply_pipes_.clear();
  }
  MutexLock lock(registry_lock_);
  job_states_.clear();
  forget_at_ = kForgetPassAtJobs;
  next_stamp_ = 1;
  job_queue_.clear();
  pending_.clear();
  on_screen_count_ = 0;
  on_screen_ids_.clear();
  view_kept_ = false;
}

}  // namespace activator
