// The state file: the journal of saved_state.h on disk. Every change is
// appended as one record with one write, so a program killed at any moment
// leaves every change it made before; when the file has grown well past what
// is still live, it is replaced by a snapshot (written beside it, flushed to
// the disk, renamed over it), so a crash, even a power cut, never leaves it
// torn. A power cut may lose the records appended since the last snapshot;
// what is left still reads whole up to the first damaged record.
//
// The journal lock is taken after the registry lock and after the
// notification port's own lock, and nothing is called with it held but the
// file operations: it is the last lock in every order.
#pragma once

#include <cstdint>
#include <string>

#include "base/mutex.h"
#include "jobs/saved_state.h"

namespace activator {

enum class SavedStateSource {
  kNone,     // no file: a first start
  kRead,     // read whole
  kDamaged,  // read up to a record cut short or damaged
  kRefused,  // unreadable, not a regular file, or not a state file: started empty
};

struct OpenedSavedState {
  SavedState state;  // pending ids already back at the front of the queue
  SavedStateSource source = SavedStateSource::kNone;
  std::size_t records = 0;
};

class StateJournal {
 public:
  // The file is compacted when it has grown past this and past four times
  // the size of its last snapshot.
  static constexpr uint64_t kCompactAfterBytes = 256 * 1024;
  // After a failed write, a new snapshot is tried once per this many changes.
  static constexpr uint64_t kRetryAfterChanges = 256;

  StateJournal() = default;
  StateJournal(const StateJournal&) = delete;
  StateJournal& operator=(const StateJournal&) = delete;

  // Reads what the file at `path` holds, writes it back as a fresh snapshot
  // and records every later change there. Never fails: a file that cannot be
  // read gives an empty state.
  OpenedSavedState Open(const std::string& path) EXCLUDES(mu_);

  // Records one change; does nothing before Open. Cheap: one append of a
  // short record, and now and then a snapshot.
  void Record(const SavedChange& change) EXCLUDES(mu_);

  // The state as recorded so far (tests and diagnostics).
  SavedState Current() EXCLUDES(mu_);
  // False once a write has failed, until a snapshot succeeds again.
  bool Healthy() EXCLUDES(mu_);

 private:
  void CompactLocked() REQUIRES(mu_);

  Mutex mu_;
  std::string path_ GUARDED_BY(mu_);
  SavedState model_ GUARDED_BY(mu_);
  uint64_t file_bytes_ GUARDED_BY(mu_) = 0;
  uint64_t snapshot_bytes_ GUARDED_BY(mu_) = 0;
  bool healthy_ GUARDED_BY(mu_) = true;
  uint64_t changes_since_failure_ GUARDED_BY(mu_) = 0;
};

// The process's one journal; nothing is recorded until start-up opens it.
StateJournal& TheStateJournal();

}  // namespace activator
