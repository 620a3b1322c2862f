// The state file: the journal of saved_state.h on disk. Every change is
// appended as one record with one write to the file kept open, so a program
// killed at any moment leaves every change it made before; when the file has
// grown well past what is still live, or was deleted or replaced meanwhile,
// it is replaced by a snapshot (written beside it, flushed to the disk,
// renamed over it), so a crash, even a power cut, never leaves it torn. A
// power cut may lose the records appended since the last snapshot; what is
// left still reads whole up to the first damaged record.
//
// The journal keeps no copy of the registry: a snapshot is made of what the
// registry holds, handed over under the registry lock with the change that
// finds one due, plus what only the journal keeps (the reply pipes, recorded
// outside the registry lock, the jobs' descriptions, and the notification
// port's entries).
//
// The journal lock is taken after the registry lock and after the
// notification port's own lock, and nothing is called with it held but the
// file operations and LiveJobState::FillSnapshot: it is the last lock in
// every order but the registry's own, which that call's caller already holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/mutex.h"
#include "jobs/saved_state.h"
#include "platform/files.h"

namespace activator {

enum class SavedStateSource {
  kNone,     // no file: a first start
  kRead,     // read whole
  kDamaged,  // read up to a record cut short or damaged
  kRefused,  // unreadable, not a regular file, or not a state file: started empty
};

struct OpenedSavedState {
  SavedState state;  // ids taken but not shown already back at the front of the queue
  SavedStateSource source = SavedStateSource::kNone;
  std::size_t records = 0;
  // Where a file not read whole was kept, before a fresh one took its place;
  // empty when nothing was kept.
  std::string kept_aside;
};

// What the registry holds of the saved state: its jobs, queue, pending and
// on-screen ids, as views that stay valid while its lock is held. Called with
// the registry lock held.
class LiveJobState {
 public:
  virtual void FillSnapshot(StateSnapshot& snapshot) const = 0;

 protected:
  ~LiveJobState() = default;
};

class StateJournal {
 public:
  // The file is compacted when it has grown past this and past four times
  // the size of its last snapshot (at most half the size a start reads).
  static constexpr uint64_t kCompactAfterBytes = 256 * 1024;
  // A state file larger than this is not one of ours.
  static constexpr uint64_t kMaxFileBytes = 64u << 20;
  // After a failed write, a new snapshot is tried once per this many changes.
  static constexpr uint64_t kRetryAfterChanges = 256;

  StateJournal() = default;
  StateJournal(const StateJournal&) = delete;
  StateJournal& operator=(const StateJournal&) = delete;

  // Reads what the file at `path` holds, keeps a file not read whole aside
  // (at `path` + kKeptAsideSuffix, replacing an older one), writes what was
  // read back as a fresh snapshot and records every later change there.
  // Never fails: a file that cannot be read gives an empty state.
  OpenedSavedState Open(const std::string& path) EXCLUDES(mu_);

  // Records one change, already made where it belongs; does nothing before
  // Open. `live` is given by changes made under the registry lock: a
  // snapshot due is written then, from it. A change without it defers a due
  // snapshot to the next change with one.
  void Record(const SavedChange& change, const LiveJobState* live = nullptr) EXCLUDES(mu_);

  // Replaces the file by a snapshot of `live` now, for a change that leaves
  // out what the file still holds (jobs forgotten). Called with the registry
  // lock held; does nothing before Open.
  void WriteSnapshot(const LiveJobState& live) EXCLUDES(mu_);

  // Log lines about the file since the last call: a write that failed
  // ("ESTADO NAO GRAVADO", once until it works again), the file written
  // again after that, ids left out of a snapshot too large.
  std::vector<std::string> TakeReports() EXCLUDES(mu_);

  static constexpr char kKeptAsideSuffix[] = ".ilegivel";

 private:
  void ApplyLocked(const SavedChange& change) REQUIRES(mu_);
  void WriteSnapshotLocked(StateSnapshot snapshot) REQUIRES(mu_);
  void NoteHealthLocked(bool healthy) REQUIRES(mu_);

  Mutex mu_;
  std::string path_ GUARDED_BY(mu_);
  std::optional<PrivateFile> file_ GUARDED_BY(mu_);
  // What only the journal keeps for a snapshot: the reply pipes and
  // descriptions of jobs kept in the file or recorded since, and the port's
  // entries.
  struct KeptDetails {
    std::optional<std::string> reply_pipe;
    std::optional<std::string> description;
    uint64_t snapshot = 0;  // the last snapshot that held it
  };
  std::unordered_map<std::string, KeptDetails> kept_ GUARDED_BY(mu_);
  std::unordered_set<std::string> kept_since_snapshot_ GUARDED_BY(mu_);
  uint64_t snapshots_ GUARDED_BY(mu_) = 0;
  std::map<std::string, std::string> port_entries_ GUARDED_BY(mu_);
  uint64_t file_bytes_ GUARDED_BY(mu_) = 0;
  uint64_t snapshot_bytes_ GUARDED_BY(mu_) = 0;
  bool snapshot_due_ GUARDED_BY(mu_) = false;
  bool healthy_ GUARDED_BY(mu_) = true;
  uint64_t changes_since_failure_ GUARDED_BY(mu_) = 0;
  std::vector<std::string> reports_ GUARDED_BY(mu_);
};

// The process's one journal; nothing is recorded until start-up opens it.
StateJournal& TheStateJournal();

}  // namespace activator
