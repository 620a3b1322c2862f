#include "jobs/state_journal.h"

#include <algorithm>

#include "platform/files.h"

namespace activator {

namespace {

// A state file larger than this is not one of ours.
constexpr std::size_t kMaxStateFileBytes = 64u << 20;

}  // namespace

StateJournal& TheStateJournal() {
  static auto* journal = new StateJournal();  // lives as long as the process
  return *journal;
}

OpenedSavedState StateJournal::Open(const std::string& path) {
  OpenedSavedState opened;
  const FileReadResult read = ReadFileStart(path, kMaxStateFileBytes + 1);
  if (read.status == FileReadStatus::kRead && read.bytes.size() <= kMaxStateFileBytes) {
    DecodedSavedState decoded = DecodeSavedState(read.bytes);
    opened.records = decoded.records;
    if (decoded.records == 0 && !decoded.whole) {
      opened.source = SavedStateSource::kRefused;
    } else {
      opened.state = std::move(decoded.state);
      opened.source = decoded.whole ? SavedStateSource::kRead : SavedStateSource::kDamaged;
    }
  } else if (read.status != FileReadStatus::kUnreadable || FileExists(path)) {
    opened.source = SavedStateSource::kRefused;
  }
  RequeuePending(opened.state);
  MutexLock lock(mu_);
  path_ = path;
  model_ = opened.state;
  CompactLocked();
  return opened;
}

void StateJournal::Record(const SavedChange& change) {
  MutexLock lock(mu_);
  if (path_.empty()) return;
  ApplySavedChange(model_, change);
  if (!healthy_) {
    // A record lost in between would leave the file wrong: only a whole new
    // snapshot puts it right again, tried now and then rather than at every
    // change while the folder is missing or the disk full.
    if (++changes_since_failure_ % kRetryAfterChanges == 0) CompactLocked();
    return;
  }
  const std::string record = EncodeSavedChange(change);
  if (!AppendToFile(path_, record)) {
    CompactLocked();
    return;
  }
  file_bytes_ += record.size();
  if (file_bytes_ > std::max<uint64_t>(kCompactAfterBytes, 4 * snapshot_bytes_)) CompactLocked();
}

void StateJournal::CompactLocked() {
  PruneSavedState(model_);
  const std::string snapshot = EncodeSavedStateFile(model_);
  healthy_ = ReplaceFileWhole(path_, snapshot);
  changes_since_failure_ = 0;
  file_bytes_ = snapshot_bytes_ = snapshot.size();
}

SavedState StateJournal::Current() {
  MutexLock lock(mu_);
  return model_;
}

bool StateJournal::Healthy() {
  MutexLock lock(mu_);
  return healthy_;
}

}  // namespace activator
