#include "jobs/saved_state.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "jobs/job_protocol.h"

namespace activator {

namespace {

// The common CRC-32 (reflected, polynomial 0xEDB88320).
uint32_t Crc32(std::string_view bytes) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

constexpr std::size_t kExpectedFields(SavedChangeKind kind) {
  switch (kind) {
    case SavedChangeKind::kState:
    case SavedChangeKind::kReplyPipe:
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
  return std::string_view("AEPUQTKWBVCDZ").find(letter) != std::string_view::npos;
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

bool IsFinal(const SavedJob& job) {
  return job.state && (*job.state == kStateConcluded.text() || *job.state == kStateError.text());
}

void Touch(SavedState& state, const std::string& id) { state.jobs[id].stamp = state.next_stamp++; }

}  // namespace

void ApplySavedChange(SavedState& state, const SavedChange& change) {
  const std::size_t expected = kExpectedFields(change.kind);
  if (expected != SIZE_MAX && change.fields.size() != expected) return;
  const std::vector<std::string>& f = change.fields;
  switch (change.kind) {
    case SavedChangeKind::kAnnounce: {
      SavedJob& job = state.jobs[f[0]];
      if (!job.state) job.state = std::string(kStateRunning.text());
      Touch(state, f[0]);
      state.queue.push_back(f[0]);
      break;
    }
    case SavedChangeKind::kState:
      state.jobs[f[0]].state = f[1];
      Touch(state, f[0]);
      break;
    case SavedChangeKind::kReplyPipe:
      state.jobs[f[0]].reply_pipe = f[1];
      Touch(state, f[0]);
      break;
    case SavedChangeKind::kQueueBack:
      state.queue.push_back(f[0]);
      break;
    case SavedChangeKind::kQueueUnlessQueued:
      if (std::find(state.queue.begin(), state.queue.end(), f[0]) == state.queue.end())
        state.queue.push_back(f[0]);
      break;
    case SavedChangeKind::kTake: {
      auto it = std::find(state.queue.begin(), state.queue.end(), f[0]);
      if (it != state.queue.end()) state.queue.erase(it);
      state.pending.insert(f[0]);
      break;
    }
    case SavedChangeKind::kPending:
      state.pending.insert(f[0]);
      break;
    case SavedChangeKind::kLeavePending:
      state.pending.erase(f[0]);
      break;
    case SavedChangeKind::kPutBackFirst:
      state.pending.erase(f[0]);
      state.queue.push_front(f[0]);
      break;
    case SavedChangeKind::kOnScreen:
      state.on_screen = std::set<std::string>(f.begin(), f.end());
      break;
    case SavedChangeKind::kPortSet:
      state.port_entries[f[0]] = f[1];
      break;
    case SavedChangeKind::kPortErase:
      state.port_entries.erase(f[0]);
      break;
    case SavedChangeKind::kPortClear:
      state.port_entries.clear();
      break;
  }
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
  std::size_t at = kSavedStateMagic.size();
  while (at < bytes.size()) {
    std::size_t cursor = at;
    const std::optional<std::size_t> length = ReadNumber(bytes, cursor, ' ');
    // The checksum (8 hex digits and a blank), the payload and the line end.
    if (!length || bytes.size() - cursor < 9 || *length > bytes.size() - cursor - 9 - 1) {
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
    ApplySavedChange(decoded.state, *change);
    ++decoded.records;
    at = cursor + 9 + *length + 1;
  }
  return decoded;
}

void PruneSavedState(SavedState& state) {
  const std::set<std::string> queued(state.queue.begin(), state.queue.end());
  std::vector<std::pair<uint64_t, std::string>> finished, running;
  for (const auto& [id, job] : state.jobs) {
    if (queued.count(id) || state.pending.count(id) || state.on_screen.count(id)) continue;
    (IsFinal(job) ? finished : running).emplace_back(job.stamp, id);
  }
  auto drop_oldest = [&](std::vector<std::pair<uint64_t, std::string>>& out_of_view,
                         std::size_t kept) {
    if (out_of_view.size() <= kept) return;
    std::sort(out_of_view.begin(), out_of_view.end());
    for (std::size_t i = 0; i + kept < out_of_view.size(); ++i)
      state.jobs.erase(out_of_view[i].second);
  };
  drop_oldest(finished, kKeptFinishedJobs);
  drop_oldest(running, kKeptRunningJobs);
}

std::string EncodeSavedStateFile(const SavedState& state) {
  std::string file(kSavedStateMagic);
  // Oldest change first, so the rebuilt stamps keep their order.
  std::vector<std::pair<uint64_t, const std::string*>> by_age;
  by_age.reserve(state.jobs.size());
  for (const auto& [id, job] : state.jobs) by_age.emplace_back(job.stamp, &id);
  std::sort(by_age.begin(), by_age.end());
  for (const auto& [stamp, id] : by_age) {
    const SavedJob& job = state.jobs.at(*id);
    if (job.state) file += EncodeSavedChange({SavedChangeKind::kState, {*id, *job.state}});
    if (job.reply_pipe)
      file += EncodeSavedChange({SavedChangeKind::kReplyPipe, {*id, *job.reply_pipe}});
  }
  for (const std::string& id : state.queue)
    file += EncodeSavedChange({SavedChangeKind::kQueueBack, {id}});
  for (const std::string& id : state.pending)
    file += EncodeSavedChange({SavedChangeKind::kPending, {id}});
  file += EncodeSavedChange(
      {SavedChangeKind::kOnScreen, {state.on_screen.begin(), state.on_screen.end()}});
  for (const auto& [key, value] : state.port_entries)
    file += EncodeSavedChange({SavedChangeKind::kPortSet, {key, value}});
  return file;
}

void RequeuePending(SavedState& state) {
  // Before everything still queued: they were taken before it.
  for (auto it = state.pending.rbegin(); it != state.pending.rend(); ++it) {
    if (std::find(state.queue.begin(), state.queue.end(), *it) == state.queue.end())
      state.queue.push_front(*it);
  }
  state.pending.clear();
}

}  // namespace activator
