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
  if (StateJournal* journal = journal_.load()) journal->Record({kind, std::move(fields)});
}

void JobRegistry::Restore(const SavedState& saved) {
  {
    MutexLock lock(reply_pipe_lock_);
    for (const auto& [id, job] : saved.jobs)
      if (job.reply_pipe) reply_pipes_[id] = *job.reply_pipe;
  }
  {
    MutexLock lock(registry_lock_);
    for (const auto& [id, job] : saved.jobs)
      if (job.state) job_states_[id] = *job.state;
    for (const std::string& id : saved.queue) {
      // Every queued id has a state.
      job_states_.try_emplace(id, kStateRunning.text());
      job_queue_.push_back(id);
    }
    for (const std::string& id : saved.pending) pending_[id] = 0;
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
  // order of the changes although the lock is already released.
  Keep(SavedChangeKind::kReplyPipe, {job_id, pipe_name});
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
    job_states_.try_emplace(job_id, kStateRunning.text());
    job_queue_.push_back(job_id);
    Keep(SavedChangeKind::kAnnounce, {job_id});
  }
  queue_condition_.notify_one();
}

void JobRegistry::SetJobState(const std::string& job_id, const std::string& job_state) {
  MutexLock lock(registry_lock_);
  job_states_[job_id] = job_state;
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
  pending_[job_id] = 0;
  job_queue_.pop_front();
  Keep(SavedChangeKind::kTake, {job_id});
  return job_id;
}

std::string JobRegistry::FindJobState(const std::string& job_id) {
  MutexLock lock(registry_lock_);
  auto it = job_states_.find(job_id);
  return it == job_states_.end() ? std::string() : it->second;
}

std::vector<std::string> JobRegistry::RefreshOnScreenView(uint64_t on_screen_count,
                                                          const std::set<std::string>& seen_tags) {
  std::vector<std::string> released;
  {
    MutexLock lock(registry_lock_);
    on_screen_count_ = on_screen_count;
    if (!view_kept_ || on_screen_ids_ != seen_tags) {
      view_kept_ = journal_.load() != nullptr;
      Keep(SavedChangeKind::kOnScreen, {seen_tags.begin(), seen_tags.end()});
    }
    on_screen_ids_ = seen_tags;
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (seen_tags.count(it->first) != 0) {
        Keep(SavedChangeKind::kLeavePending, {it->first});
        it = pending_.erase(it);
      } else if (++it->second >= kUnseenPassesBeforeRelease) {
        released.push_back(it->first);
        Keep(SavedChangeKind::kLeavePending, {it->first});
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
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
    if (std::find(job_queue_.begin(), job_queue_.end(), job_id) == job_queue_.end())
      job_queue_.push_back(job_id);
  }
  queue_condition_.notify_all();
  return true;
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
  job_queue_.clear();
  pending_.clear();
  on_screen_count_ = 0;
  on_screen_ids_.clear();
  view_kept_ = false;
}

}  // namespace activator
