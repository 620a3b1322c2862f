#include "jobs/saved_state.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <tuple>
#include <unordered_map>

#include "base/crc32.h"
#include "jobs/job_protocol.h"

namespace activator {

namespace {

constexpr std::size_t kExpectedFields(SavedChangeKind kind) {
  switch (kind) {
    case SavedChangeKind::kState:
    case SavedChangeKind::kReplyPipe:
    case SavedChangeKind::kDescription:
    case SavedChangeKind::kPortSet:
      return 2;
    case SavedChangeKind::kPortClear:
      return 0;
    case SavedChangeKind::kOnScreen:
      return SIZE_MAX;  // any number
    default:
      return 1;
  }
}

bool IsKnownKind(char letter) {
  return std::string_view("AEPNUQTSKWBVCDZ").find(letter) != std::string_view::npos;
}

// Reads an unsigned decimal number up to `end_char` at `at`; advances past it.
std::optional<std::size_t> ReadNumber(std::string_view bytes, std::size_t& at, char end_char) {
  const std::size_t end = bytes.find(end_char, at);
  if (end == std::string_view::npos || end == at || end - at > 12) return std::nullopt;
  std::size_t value = 0;
  const auto [ptr, error] = std::from_chars(bytes.data() + at, bytes.data() + end, value);
  if (error != std::errc() || ptr != bytes.data() + end) return std::nullopt;
  at = end + 1;
  return value;
}

std::optional<SavedChange> DecodePayload(std::string_view payload) {
  if (payload.empty() || !IsKnownKind(payload[0])) return std::nullopt;
  SavedChange change{static_cast<SavedChangeKind>(payload[0]), {}};
  std::size_t at = 1;
  while (at < payload.size()) {
    const std::optional<std::size_t> length = ReadNumber(payload, at, ':');
    if (!length || *length > payload.size() - at) return std::nullopt;
    change.fields.emplace_back(payload.substr(at, *length));
    at += *length;
  }
  return change;
}

// The queue as it is rebuilt from records. A take may name any queued id,
// not only the first, so the ids are kept in numbered slots with an index
// from id to its slots: a taken slot is emptied in place rather than searched
// for and erased, which would make a long journal quadratic.
class RebuiltQueue {
 public:
  void PushBack(const std::string& id) {
    slots_.emplace_back(id);
    slots_of_[id].push_back(first_ + static_cast<int64_t>(slots_.size()) - 1);
  }
  void PushFront(const std::string& id) {
    slots_.emplace_front(id);
    --first_;
    std::vector<int64_t>& at = slots_of_[id];
    at.insert(at.begin(), first_);
  }
  bool Contains(const std::string& id) const { return slots_of_.count(id) != 0; }
  // Takes the first slot holding `id`, if any.
  void Remove(const std::string& id) {
    auto it = slots_of_.find(id);
    if (it == slots_of_.end()) return;
    slots_[static_cast<std::size_t>(it->second.front() - first_)].reset();
    it->second.erase(it->second.begin());
    if (it->second.empty()) slots_of_.erase(it);
    while (!slots_.empty() && !slots_.front()) {
      slots_.pop_front();
      ++first_;
    }
  }
  std::deque<std::string> Finish() {
    std::deque<std::string> queue;
    for (std::optional<std::string>& slot : slots_)
      if (slot) queue.push_back(std::move(*slot));
    return queue;
  }

 private:
  std::deque<std::optional<std::string>> slots_;
  int64_t first_ = 0;  // the number of slots_.front()
  std::unordered_map<std::string, std::vector<int64_t>> slots_of_;
};

class StateRebuilder {
 public:
  void Apply(const SavedChange& change) {
    const std::size_t expected = kExpectedFields(change.kind);
    if (expected != SIZE_MAX && change.fields.size() != expected) return;
    const std::vector<std::string>& f = change.fields;
    switch (change.kind) {
      case SavedChangeKind::kAnnounce: {
        SavedJob& job = Touch(f[0]);
        if (!job.state) job.state = std::string(kStateRunning.text());
        queue_.PushBack(f[0]);
        break;
      }
      case SavedChangeKind::kState:
        Touch(f[0]).state = f[1];
        break;
      case SavedChangeKind::kReplyPipe:
        Touch(f[0]).reply_pipe = f[1];
        break;
      case SavedChangeKind::kDescription:
        Touch(f[0]).description = f[1];
        break;
      case SavedChangeKind::kQueueBack:
        queue_.PushBack(f[0]);
        break;
      case SavedChangeKind::kQueueUnlessQueued:
        if (!queue_.Contains(f[0])) queue_.PushBack(f[0]);
        break;
      case SavedChangeKind::kTake:
        queue_.Remove(f[0]);
        state_.pending.erase(f[0]);
        state_.unshown.insert(f[0]);
        break;
      case SavedChangeKind::kShown:
        if (state_.unshown.erase(f[0]) != 0) state_.pending.insert(f[0]);
        break;
      case SavedChangeKind::kPending:
        state_.unshown.erase(f[0]);
        state_.pending.insert(f[0]);
        break;
      case SavedChangeKind::kLeavePending:
        state_.pending.erase(f[0]);
        state_.unshown.erase(f[0]);
        break;
      case SavedChangeKind::kPutBackFirst:
        state_.pending.erase(f[0]);
        state_.unshown.erase(f[0]);
        queue_.PushFront(f[0]);
        break;
      case SavedChangeKind::kOnScreen:
        state_.on_screen = std::set<std::string>(f.begin(), f.end());
        break;
      case SavedChangeKind::kPortSet:
        state_.port_entries[f[0]] = f[1];
        break;
      case SavedChangeKind::kPortErase:
        state_.port_entries.erase(f[0]);
        break;
      case SavedChangeKind::kPortClear:
        state_.port_entries.clear();
        break;
    }
  }

  SavedState Finish() {
    state_.queue = queue_.Finish();
    return std::move(state_);
  }

 private:
  SavedJob& Touch(const std::string& id) {
    SavedJob& job = state_.jobs[id];
    job.stamp = next_stamp_++;
    return job;
  }

  SavedState state_;
  RebuiltQueue queue_;
  uint64_t next_stamp_ = 1;
};

std::size_t Digits(std::size_t n) {
  std::size_t digits = 1;
  while (n >= 10) {
    n /= 10;
    ++digits;
  }
  return digits;
}

// What one record of fields of these sizes takes in the file.
std::size_t RecordBytes(std::initializer_list<std::size_t> field_sizes) {
  std::size_t payload = 1;
  for (std::size_t size : field_sizes) payload += Digits(size) + 1 + size;
  return Digits(payload) + 1 + 8 + 1 + payload + 1;
}

std::size_t JobBytes(const SnapshotJob& job) {
  std::size_t bytes = 0;
  if (job.state) bytes += RecordBytes({job.id.size(), job.state->size()});
  if (job.reply_pipe) bytes += RecordBytes({job.id.size(), job.reply_pipe->size()});
  if (job.description) bytes += RecordBytes({job.id.size(), job.description->size()});
  return bytes;
}

std::size_t IdsBytes(const std::vector<std::string_view>& ids) {
  std::size_t bytes = 0;
  for (std::string_view id : ids) bytes += RecordBytes({id.size()});
  return bytes;
}

void AppendRecord(std::string& file, SavedChangeKind kind, std::initializer_list<std::string_view> fields) {
  SavedChange change{kind, {}};
  change.fields.reserve(fields.size());
  for (std::string_view field : fields) change.fields.emplace_back(field);
  file += EncodeSavedChange(change);
}

}  // namespace

bool IsFinalJobState(std::string_view state) {
  return state == kStateConcluded.text() || state == kStateError.text();
}

std::string EncodeSavedChange(const SavedChange& change) {
  std::string payload(1, static_cast<char>(change.kind));
  for (const std::string& field : change.fields) {
    payload += std::to_string(field.size());
    payload += ':';
    payload += field;
  }
  char crc[9];
  static constexpr char kHex[] = "0123456789abcdef";
  const uint32_t sum = Crc32(payload);
  for (int i = 0; i < 8; ++i) crc[i] = kHex[(sum >> (28 - 4 * i)) & 0xF];
  crc[8] = '\0';
  std::string record = std::to_string(payload.size());
  record.reserve(record.size() + payload.size() + 12);
  record += ' ';
  record += crc;
  record += ' ';
  record += payload;
  record += '\n';
  return record;
}

DecodedSavedState DecodeSavedState(std::string_view bytes) {
  DecodedSavedState decoded;
  if (bytes.substr(0, kSavedStateMagic.size()) != kSavedStateMagic) {
    decoded.whole = bytes.empty();
    return decoded;
  }
  StateRebuilder rebuilder;
  std::size_t at = kSavedStateMagic.size();
  // After the length: the checksum (8 hex digits), a blank, the payload and
  // the line end.
  constexpr std::size_t kFraming = 8 + 1 + 1;
  while (at < bytes.size()) {
    std::size_t cursor = at;
    const std::optional<std::size_t> length = ReadNumber(bytes, cursor, ' ');
    if (!length || bytes.size() - cursor < kFraming || *length > bytes.size() - cursor - kFraming) {
      decoded.whole = false;
      break;
    }
    uint32_t sum = 0;
    const auto [ptr, error] =
        std::from_chars(bytes.data() + cursor, bytes.data() + cursor + 8, sum, 16);
    const std::string_view payload = bytes.substr(cursor + 9, *length);
    if (error != std::errc() || ptr != bytes.data() + cursor + 8 || bytes[cursor + 8] != ' ' ||
        bytes[cursor + 9 + *length] != '\n' || Crc32(payload) != sum) {
      decoded.whole = false;
      break;
    }
    const std::optional<SavedChange> change = DecodePayload(payload);
    if (!change) {
      decoded.whole = false;
      break;
    }
    rebuilder.Apply(*change);
    ++decoded.records;
    at = cursor + 9 + *length + 1;
  }
  decoded.state = rebuilder.Finish();
  return decoded;
}

StateSnapshot SnapshotOf(const SavedState& state) {
  StateSnapshot snapshot;
  const std::set<std::string_view> queued(state.queue.begin(), state.queue.end());
  snapshot.jobs.reserve(state.jobs.size());
  for (const auto& [id, job] : state.jobs) {
    const bool in_view = queued.count(id) || state.pending.count(id) || state.unshown.count(id) ||
                         state.on_screen.count(id);
    snapshot.jobs.push_back({id, job.state ? &*job.state : nullptr,
                             job.reply_pipe ? &*job.reply_pipe : nullptr, job.stamp, in_view,
                             job.description ? &*job.description : nullptr});
  }
  snapshot.queue.assign(state.queue.begin(), state.queue.end());
  snapshot.pending.assign(state.pending.begin(), state.pending.end());
  snapshot.unshown.assign(state.unshown.begin(), state.unshown.end());
  snapshot.on_screen.assign(state.on_screen.begin(), state.on_screen.end());
  snapshot.port_entries.assign(state.port_entries.begin(), state.port_entries.end());
  return snapshot;
}

std::size_t FitSnapshot(StateSnapshot& snapshot, std::size_t budget) {
  std::size_t total = kSavedStateMagic.size() + IdsBytes(snapshot.queue) +
                      IdsBytes(snapshot.pending) + IdsBytes(snapshot.unshown);
  for (const SnapshotJob& job : snapshot.jobs) total += JobBytes(job);
  std::size_t on_screen_payload = 1;
  for (std::string_view id : snapshot.on_screen) on_screen_payload += Digits(id.size()) + 1 + id.size();
  total += Digits(on_screen_payload) + 1 + 8 + 1 + on_screen_payload + 1;
  for (const auto& [key, value] : snapshot.port_entries)
    total += RecordBytes({key.size(), value.size()});
  if (total <= budget) return 0;

  // Out of view, oldest first, and then what is in view, which the queue's
  // back may still have to give up.
  std::sort(snapshot.jobs.begin(), snapshot.jobs.end(),
            [](const SnapshotJob& a, const SnapshotJob& b) {
              return std::tie(a.in_view, a.stamp) < std::tie(b.in_view, b.stamp);
            });
  std::size_t dropped = 0;
  while (dropped < snapshot.jobs.size() && !snapshot.jobs[dropped].in_view && total > budget)
    total -= JobBytes(snapshot.jobs[dropped++]);
  snapshot.jobs.erase(snapshot.jobs.begin(),
                      snapshot.jobs.begin() + static_cast<std::ptrdiff_t>(dropped));
  if (total <= budget) return 0;

  // Rare: the queue alone is too long. Its jobs go with it unless they are in
  // view some other way.
  std::map<std::string_view, std::size_t> other_views;
  for (std::string_view id : snapshot.queue) ++other_views[id];
  for (const auto* ids : {&snapshot.pending, &snapshot.unshown, &snapshot.on_screen})
    for (std::string_view id : *ids) ++other_views[id];
  std::map<std::string_view, std::size_t> job_at;
  for (std::size_t i = 0; i < snapshot.jobs.size(); ++i) job_at[snapshot.jobs[i].id] = i;
  std::vector<bool> left(snapshot.jobs.size(), false);
  std::size_t left_out = 0;
  while (total > budget && !snapshot.queue.empty()) {
    const std::string_view id = snapshot.queue.back();
    snapshot.queue.pop_back();
    ++left_out;
    total -= RecordBytes({id.size()});
    if (--other_views[id] != 0) continue;
    auto at = job_at.find(id);
    if (at != job_at.end() && !left[at->second]) {
      left[at->second] = true;
      total -= JobBytes(snapshot.jobs[at->second]);
    }
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < snapshot.jobs.size(); ++i)
    if (!left[i]) snapshot.jobs[kept++] = snapshot.jobs[i];
  snapshot.jobs.resize(kept);
  return left_out;
}

std::string EncodeSnapshot(StateSnapshot& snapshot) {
  // Oldest change first, so the rebuilt stamps keep their order.
  std::sort(snapshot.jobs.begin(), snapshot.jobs.end(),
            [](const SnapshotJob& a, const SnapshotJob& b) { return a.stamp < b.stamp; });
  std::string file(kSavedStateMagic);
  for (const SnapshotJob& job : snapshot.jobs) {
    if (job.state) AppendRecord(file, SavedChangeKind::kState, {job.id, *job.state});
    if (job.reply_pipe) AppendRecord(file, SavedChangeKind::kReplyPipe, {job.id, *job.reply_pipe});
    if (job.description)
      AppendRecord(file, SavedChangeKind::kDescription, {job.id, *job.description});
  }
  for (std::string_view id : snapshot.queue) AppendRecord(file, SavedChangeKind::kQueueBack, {id});
  for (std::string_view id : snapshot.pending) AppendRecord(file, SavedChangeKind::kPending, {id});
  for (std::string_view id : snapshot.unshown) AppendRecord(file, SavedChangeKind::kTake, {id});
  SavedChange on_screen{SavedChangeKind::kOnScreen, {}};
  for (std::string_view id : snapshot.on_screen) on_screen.fields.emplace_back(id);
  file += EncodeSavedChange(on_screen);
  for (const auto& [key, value] : snapshot.port_entries)
    AppendRecord(file, SavedChangeKind::kPortSet, {key, value});
  return file;
}

void RequeueUnshown(SavedState& state) {
  // Before everything still queued: they were taken before it.
  const std::set<std::string> queued(state.queue.begin(), state.queue.end());
  for (auto it = state.unshown.rbegin(); it != state.unshown.rend(); ++it) {
    if (queued.count(*it) == 0) state.queue.push_front(*it);
  }
  state.unshown.clear();
}

}  // namespace activator
