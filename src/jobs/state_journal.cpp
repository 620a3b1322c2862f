#include "jobs/state_journal.h"

#include <algorithm>
#include <utility>

namespace activator {

namespace {

// More reports than this between two looks mean the same trouble again and
// again: the newest are dropped.
constexpr std::size_t kMaxReports = 16;

}  // namespace

StateJournal& TheStateJournal() {
  static auto* journal = new StateJournal();  // lives as long as the process
  return *journal;
}

OpenedSavedState StateJournal::Open(const std::string& path) {
  OpenedSavedState opened;
  const FileReadResult read = ReadFileStart(path, kMaxFileBytes + 1);
  bool keep_aside = false;
  if (read.status == FileReadStatus::kRead && read.bytes.size() <= kMaxFileBytes) {
    DecodedSavedState decoded = DecodeSavedState(read.bytes);
    opened.records = decoded.records;
    keep_aside = !decoded.whole;
    if (decoded.records == 0 && !decoded.whole) {
      opened.source = SavedStateSource::kRefused;
    } else {
      opened.state = std::move(decoded.state);
      opened.source = decoded.whole ? SavedStateSource::kRead : SavedStateSource::kDamaged;
    }
  } else if (read.status == FileReadStatus::kRead) {
    opened.source = SavedStateSource::kRefused;
    keep_aside = true;
  } else if (read.status == FileReadStatus::kOtherUsers) {
    // Made by another user under this user's name: neither read nor kept
    // aside (it is not this user's to move); the snapshot below replaces it
    // with a file of this user's own where the system lets it.
    opened.source = SavedStateSource::kRefused;
    MutexLock lock(mu_);
    reports_.push_back("ESTADO DE OUTRO USUARIO=" + path);
  } else if (read.status != FileReadStatus::kUnreadable || FileExists(path)) {
    opened.source = SavedStateSource::kRefused;
  }
  // What could not be read may still be worth a look (or a repair by hand):
  // the fresh snapshot would otherwise overwrite it.
  if (keep_aside) {
    const std::string aside = path + kKeptAsideSuffix;
    if (RenameFile(path, aside)) opened.kept_aside = aside;
  }
  RequeueUnshown(opened.state);

  MutexLock lock(mu_);
  path_ = path;
  port_entries_ = opened.state.port_entries;
  for (const auto& [id, job] : opened.state.jobs) {
    if (!job.reply_pipe && !job.description) continue;
    KeptDetails& kept = kept_[id];
    kept.reply_pipe = job.reply_pipe;
    kept.description = job.description;
  }
  // The snapshot's pipes and descriptions come from the journal's own, just
  // made the same.
  StateSnapshot snapshot = SnapshotOf(opened.state);
  for (SnapshotJob& job : snapshot.jobs) job.reply_pipe = job.description = nullptr;
  WriteSnapshotLocked(std::move(snapshot));
  return opened;
}

void StateJournal::ApplyLocked(const SavedChange& change) {
  const std::vector<std::string>& f = change.fields;
  switch (change.kind) {
    case SavedChangeKind::kReplyPipe:
      if (f.size() != 2) return;
      kept_[f[0]].reply_pipe = f[1];
      kept_since_snapshot_.insert(f[0]);
      break;
    case SavedChangeKind::kDescription:
      if (f.size() != 2) return;
      kept_[f[0]].description = f[1];
      kept_since_snapshot_.insert(f[0]);
      break;
    case SavedChangeKind::kPortSet:
      if (f.size() == 2) port_entries_[f[0]] = f[1];
      break;
    case SavedChangeKind::kPortErase:
      if (f.size() == 1) port_entries_.erase(f[0]);
      break;
    case SavedChangeKind::kPortClear:
      port_entries_.clear();
      break;
    default:
      break;  // the registry's own
  }
}

void StateJournal::Record(const SavedChange& change, const LiveJobState* live) {
  MutexLock lock(mu_);
  if (path_.empty()) return;
  ApplyLocked(change);
  if (healthy_) {
    // Another size than the journal wrote means the file was deleted,
    // replaced or written by someone else: a record appended there would be
    // lost, or begin a file without its first bytes.
    const std::optional<uint64_t> size = file_ ? file_->SizeWhileNamed() : std::nullopt;
    if (size && *size == file_bytes_) {
      const std::string record = EncodeSavedChange(change);
      if (file_->Append(record) == 0) {
        file_bytes_ += record.size();
        const uint64_t limit = std::max<uint64_t>(
            kCompactAfterBytes, std::min<uint64_t>(4 * snapshot_bytes_, kMaxFileBytes / 2));
        if (file_bytes_ > limit) snapshot_due_ = true;
      } else {
        NoteHealthLocked(false);
        snapshot_due_ = true;
      }
    } else {
      snapshot_due_ = true;
    }
  } else if (++changes_since_failure_ % kRetryAfterChanges == 0) {
    // A record lost in between would leave the file wrong: only a whole new
    // snapshot puts it right again, tried now and then rather than at every
    // change while the folder is missing or the disk full.
    snapshot_due_ = true;
  }
  if (snapshot_due_ && live != nullptr) {
    StateSnapshot snapshot;
    live->FillSnapshot(snapshot);
    WriteSnapshotLocked(std::move(snapshot));
  }
}

void StateJournal::WriteSnapshot(const LiveJobState& live) {
  MutexLock lock(mu_);
  if (path_.empty()) return;
  StateSnapshot snapshot;
  live.FillSnapshot(snapshot);
  WriteSnapshotLocked(std::move(snapshot));
}

void StateJournal::WriteSnapshotLocked(StateSnapshot snapshot) {
  // The reply pipes and descriptions of jobs the snapshot keeps, and of those
  // recorded since the last one (their job may not have reached the registry
  // yet); the others are forgotten.
  const uint64_t number = ++snapshots_;
  const auto pointer = [](const std::optional<std::string>& text) {
    return text ? &*text : nullptr;
  };
  for (SnapshotJob& job : snapshot.jobs) {
    auto kept = kept_.find(std::string(job.id));
    if (kept == kept_.end()) continue;
    job.reply_pipe = pointer(kept->second.reply_pipe);
    job.description = pointer(kept->second.description);
    kept->second.snapshot = number;
  }
  for (auto it = kept_.begin(); it != kept_.end();) {
    if (it->second.snapshot == number) {
      ++it;
    } else if (kept_since_snapshot_.count(it->first) != 0) {
      snapshot.jobs.push_back({it->first, nullptr, pointer(it->second.reply_pipe), 0, false,
                               pointer(it->second.description)});
      it->second.snapshot = number;
      ++it;
    } else {
      it = kept_.erase(it);
    }
  }
  kept_since_snapshot_.clear();
  snapshot.port_entries.assign(port_entries_.begin(), port_entries_.end());
  if (const std::size_t left_out = FitSnapshot(snapshot); left_out != 0 &&
                                                          reports_.size() < kMaxReports) {
    reports_.push_back("ESTADO CHEIO FILA FORA DO ARQUIVO=" + std::to_string(left_out));
  }
  const std::string bytes = EncodeSnapshot(snapshot);
  // Closed first: on Windows an open handle may stand in the way of the
  // rename over it.
  file_.reset();
  bool written = ReplaceFileWhole(path_, bytes);
  if (written) {
    file_ = PrivateFile::OpenToAppend(path_, nullptr);
    written = file_.has_value();
  }
  NoteHealthLocked(written);
  snapshot_due_ = false;
  file_bytes_ = snapshot_bytes_ = bytes.size();
}

void StateJournal::NoteHealthLocked(bool healthy) {
  if (healthy != healthy_ && reports_.size() < kMaxReports)
    reports_.push_back(healthy ? "ESTADO GRAVADO NOVAMENTE" : "ESTADO NAO GRAVADO");
  if (!healthy) changes_since_failure_ = 0;
  healthy_ = healthy;
}

std::vector<std::string> StateJournal::TakeReports() {
  MutexLock lock(mu_);
  return std::exchange(reports_, {});
}

}  // namespace activator
