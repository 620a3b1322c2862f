#include "remote/spool.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <utility>

#include "base/crc32.h"

namespace activator::remote {

namespace {

constexpr std::string_view kSpoolMagic = "ACTSPL1\n";
constexpr std::string_view kMarkMagic = "ACTMRK1\n";
constexpr std::size_t kRecordHead = 8;             // length, crc
constexpr std::size_t kRecordFixedBody = 8 + 8;    // seq, time
constexpr std::size_t kMarkBytes = 8 + 5 * 8 + 4;  // magic, five u64, crc
// More reports than this between two looks mean the same trouble again and
// again: the newest are dropped.
constexpr std::size_t kMaxReports = 16;
// After a failed write the whole file is tried again once per this many
// appends, rather than at each one while the disk is full.
constexpr uint64_t kRetryAfterAppends = 256;

void PutU32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}
void PutU64(std::string& out, uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}
uint64_t GetBE(std::string_view bytes, std::size_t at, std::size_t width) {
  uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

std::size_t RecordBytes(const SpooledMessage& m) {
  return kRecordHead + kRecordFixedBody + m.message.size();
}

bool AllZero(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '\0'; });
}

struct Mark {
  uint64_t generation = 0;
  uint64_t released = 0;
  uint64_t next_seq = 1;
  uint64_t untold_count = 0;
  uint64_t untold_oldest = 0;
};

std::string EncodeMark(const Mark& m) {
  std::string out(kMarkMagic);
  for (uint64_t v : {m.generation, m.released, m.next_seq, m.untold_count, m.untold_oldest})
    PutU64(out, v);
  PutU32(out, Crc32(out));
  return out;
}

std::optional<Mark> DecodeMark(std::string_view bytes) {
  if (bytes.size() != kMarkBytes || bytes.substr(0, kMarkMagic.size()) != kMarkMagic ||
      GetBE(bytes, kMarkBytes - 4, 4) != Crc32(bytes.substr(0, kMarkBytes - 4)))
    return std::nullopt;
  const auto at = [&](int i) { return GetBE(bytes, kMarkMagic.size() + 8 * i, 8); };
  Mark m{at(0), at(1), at(2), at(3), at(4)};
  if (m.released >= m.next_seq) return std::nullopt;
  return m;
}

int64_t SystemNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A generation no earlier spool of this folder had: the time of its birth,
// in nanoseconds, never 0 (the desktop's "none").
uint64_t NewGeneration() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  return std::max<uint64_t>(1, static_cast<uint64_t>(ns));
}

}  // namespace

std::string EncodeSpoolHeader(uint64_t generation, uint64_t base_seq) {
  std::string out(kSpoolMagic);
  PutU64(out, generation);
  PutU64(out, base_seq);
  PutU32(out, Crc32(out));
  return out;
}

std::string EncodeSpoolRecord(const SpooledMessage& record) {
  std::string body;
  const std::string_view message =
      std::string_view(record.message).substr(0, kMaxSpoolMessageBytes);
  body.reserve(kRecordFixedBody + message.size());
  PutU64(body, record.seq);
  PutU64(body, static_cast<uint64_t>(record.time_ms));
  body.append(message);
  std::string out;
  out.reserve(kRecordHead + body.size());
  PutU32(out, static_cast<uint32_t>(body.size()));
  PutU32(out, Crc32(body));
  out += body;
  return out;
}

DecodedSpool DecodeSpoolFile(std::string_view bytes) {
  DecodedSpool decoded;
  if (bytes.size() < kSpoolHeaderBytes || bytes.substr(0, kSpoolMagic.size()) != kSpoolMagic ||
      GetBE(bytes, kSpoolHeaderBytes - 4, 4) != Crc32(bytes.substr(0, kSpoolHeaderBytes - 4))) {
    return decoded;
  }
  decoded.generation = GetBE(bytes, 8, 8);
  decoded.base_seq = GetBE(bytes, 16, 8);
  if (decoded.generation == 0 || decoded.base_seq == 0) return decoded;
  std::size_t at = kSpoolHeaderBytes;
  uint64_t next = decoded.base_seq;
  decoded.ending = DecodedSpool::Ending::kWhole;
  while (at < bytes.size()) {
    const std::string_view rest = bytes.substr(at);
    // A crash may leave the file longer than what reached it, the rest
    // zeros: as torn as a record cut short.
    if (AllZero(rest)) {
      decoded.ending = DecodedSpool::Ending::kTornTail;
      break;
    }
    if (rest.size() < kRecordHead) {
      decoded.ending = DecodedSpool::Ending::kTornTail;
      break;
    }
    const uint64_t length = GetBE(rest, 0, 4);
    if (length < kRecordFixedBody || length > kRecordFixedBody + kMaxSpoolMessageBytes) {
      decoded.ending = DecodedSpool::Ending::kDamaged;
      break;
    }
    if (rest.size() < kRecordHead + length) {
      decoded.ending = DecodedSpool::Ending::kTornTail;
      break;
    }
    const std::string_view body = rest.substr(kRecordHead, length);
    const uint64_t seq = GetBE(body, 0, 8);
    if (GetBE(rest, 4, 4) != Crc32(body) || seq < next || seq == UINT64_MAX) {
      // The last record, damaged, is as likely torn as anything.
      decoded.ending = rest.size() == kRecordHead + length ? DecodedSpool::Ending::kTornTail
                                                           : DecodedSpool::Ending::kDamaged;
      break;
    }
    decoded.records.push_back(
        {seq, static_cast<int64_t>(GetBE(body, 8, 8)), std::string(body.substr(kRecordFixedBody))});
    next = seq + 1;
    at += kRecordHead + length;
  }
  decoded.good_bytes = at;
  return decoded;
}

Spool::Spool(SpoolLimits limits, Clock clock)
    : limits_(limits), clock_(clock ? std::move(clock) : Clock(SystemNowMs)) {
  MutexLock lock(mu_);
  generation_ = NewGeneration();
}

Spool::~Spool() { Flush(); }

uint64_t Spool::MaxFileBytes() const {
  // The live records, as much again released before a rewrite, and room.
  return 2 * limits_.max_bytes + 2 * kCompactAfterBytes;
}

Spool::Opened Spool::Open(const std::string& folder) {
  MutexLock lock(mu_);
  int error = 0;
  if (!MakeOwnerOnlyFolder(folder, &error)) {
    ReportLocked("SPOOL PASTA RECUSADA=" + folder + " ERRO=" + DescribeFileError(error) +
                 " (mantido so na memoria)");
    return Opened::kRefused;
  }
  const std::string path = folder + "/" + kSpoolFile;
  const std::string mark_path = folder + "/" + kMarkFile;
  const FileReadResult read = ReadFileStart(path, MaxFileBytes() + 1);
  const FileReadResult mark_read = ReadFileStart(mark_path, kMarkBytes + 1);
  const std::optional<Mark> mark =
      mark_read.status == FileReadStatus::kRead ? DecodeMark(mark_read.bytes) : std::nullopt;

  Opened opened = Opened::kRead;
  DecodedSpool decoded;
  bool rewrite = false;
  if (read.status == FileReadStatus::kRead && read.bytes.size() <= MaxFileBytes()) {
    decoded = DecodeSpoolFile(read.bytes);
  } else if (read.status == FileReadStatus::kUnreadable && !FileExists(path)) {
    opened = Opened::kFresh;
  }
  if (opened == Opened::kRead && decoded.ending == DecodedSpool::Ending::kNotSpool) {
    opened = Opened::kRefused;
  } else if (decoded.ending == DecodedSpool::Ending::kDamaged) {
    opened = Opened::kDamaged;
  }
  if (opened == Opened::kRefused || opened == Opened::kDamaged) {
    // What could not be read may still be worth a look (or a repair by
    // hand); the rewrite would otherwise overwrite it.
    const std::string aside = path + kKeptAsideSuffix;
    const bool kept = RenameFile(path, aside);
    ReportLocked(std::string(opened == Opened::kRefused ? "SPOOL ILEGIVEL" : "SPOOL DANIFICADO") +
                 " REGISTROS LIDOS=" + std::to_string(decoded.records.size()) +
                 (kept ? " GUARDADO EM=" + aside : std::string(" NAO GUARDADO")));
    rewrite = true;
  } else if (decoded.ending == DecodedSpool::Ending::kTornTail) {
    ReportLocked("SPOOL CORTADO NO FIM BYTES=" +
                 std::to_string(read.bytes.size() - decoded.good_bytes));
    rewrite = true;
  }

  folder_ = folder;
  live_.clear();
  live_bytes_ = dead_bytes_ = 0;
  untold_ = {};
  if (opened == Opened::kRead || opened == Opened::kDamaged) {
    generation_ = decoded.generation;
    next_seq_ = decoded.base_seq;
    released_ = decoded.base_seq - 1;
    if (!decoded.records.empty()) next_seq_ = decoded.records.back().seq + 1;
  } else if (mark) {
    // The records are gone but the mark says where their seqs were: going on
    // from there keeps the desktop's record of what it saw.
    generation_ = opened == Opened::kFresh ? mark->generation : NewGeneration();
    next_seq_ = opened == Opened::kFresh ? mark->next_seq : 1;
    released_ = next_seq_ - 1;
  } else {
    generation_ = NewGeneration();
    next_seq_ = 1;
    released_ = 0;
  }
  if (mark && mark->generation == generation_) {
    next_seq_ = std::max(next_seq_, mark->next_seq);
    released_ = std::max(released_, std::min(mark->released, next_seq_ - 1));
    untold_ = {mark->untold_count, mark->untold_oldest};
  }
  for (SpooledMessage& record : decoded.records) {
    const uint64_t bytes = RecordBytes(record);
    if (record.seq <= released_) {
      dead_bytes_ += bytes;
    } else {
      live_bytes_ += bytes;
      live_.push_back(std::move(record));
    }
  }
  marked_released_ = released_;
  reserved_seq_ = next_seq_;
  file_bytes_ = decoded.good_bytes;
  ApplyLimitsLocked();
  if (rewrite || opened == Opened::kFresh ||
      dead_bytes_ > std::max(kCompactAfterBytes, live_bytes_)) {
    RewriteLocked();
  } else {
    int open_error = 0;
    file_ = PrivateFile::OpenToAppend(path, &open_error);
    if (!file_) RewriteLocked();
  }
  mark_dirty_ = true;
  WriteMarkLocked();
  return opened;
}

uint64_t Spool::Append(std::string_view message) {
  MutexLock lock(mu_);
  if (next_seq_ >= reserved_seq_) {
    // Seqs are handed out from a block the mark reserves first: after a
    // crash that lost the newest records (a power cut), no seq the desktop
    // may have seen is given to another message.
    reserved_seq_ = next_seq_ + kSeqBlock;
    mark_dirty_ = true;
    WriteMarkLocked();
  }
  SpooledMessage record{next_seq_++, clock_(),
                        std::string(message.substr(0, kMaxSpoolMessageBytes))};
  const std::string bytes = EncodeSpoolRecord(record);
  if (!folder_.empty()) {
    if (healthy_) {
      // Another size than the spool wrote means the file was deleted,
      // replaced or written by someone else: a record appended there would
      // be lost, or follow bytes it cannot be read after.
      const std::optional<uint64_t> size = file_ ? file_->SizeWhileNamed() : std::nullopt;
      if (size && *size == file_bytes_ && file_->Append(bytes) == 0) {
        file_bytes_ += bytes.size();
      } else {
        // Written whole below, this record with the others.
        file_.reset();
        appends_since_failure_ = kRetryAfterAppends - 1;
      }
    }
  }
  live_bytes_ += bytes.size();
  live_.push_back(std::move(record));
  const uint64_t seq = live_.back().seq;
  ApplyLimitsLocked();
  if (!folder_.empty() && !file_) {
    if (++appends_since_failure_ >= kRetryAfterAppends) {
      appends_since_failure_ = 0;
      RewriteLocked();
    }
  } else if (dead_bytes_ > std::max(kCompactAfterBytes, live_bytes_)) {
    // A flood with no desktop to ack it: what the bounds let go must leave
    // the file too.
    RewriteLocked();
  }
  appended_.notify_all();
  return seq;
}

void Spool::ReleaseFrontLocked() {
  const uint64_t bytes = RecordBytes(live_.front());
  live_bytes_ -= bytes;
  dead_bytes_ += bytes;
  released_ = std::max(released_, live_.front().seq);
  live_.pop_front();
  mark_dirty_ = true;
}

void Spool::ApplyLimitsLocked() {
  const int64_t now = clock_();
  while (!live_.empty()) {
    const SpooledMessage& oldest = live_.front();
    const bool over_count_and_age =
        live_.size() > limits_.keep_messages && now - oldest.time_ms > limits_.keep_ms;
    if (!over_count_and_age && live_bytes_ <= limits_.max_bytes) break;
    for (SpoolLosses* losses : {&untold_, &unreported_}) {
      if (losses->count++ == 0) losses->oldest_seq = oldest.seq;
    }
    ReleaseFrontLocked();
  }
}

void Spool::Ack(uint64_t seq) {
  MutexLock lock(mu_);
  // Nothing beyond what was given can be released; a desktop that says so
  // is confused, not a reason to lose later messages.
  seq = std::min(seq, next_seq_ - 1);
  while (!live_.empty() && live_.front().seq <= seq) ReleaseFrontLocked();
  if (seq > released_) {
    released_ = seq;
    mark_dirty_ = true;
  }
  if (folder_.empty()) return;
  if (dead_bytes_ > std::max(kCompactAfterBytes, live_bytes_)) {
    RewriteLocked();
  } else if (released_ - marked_released_ >= kMarkEvery) {
    WriteMarkLocked();
  }
}

std::vector<SpooledMessage> Spool::After(uint64_t after_seq, std::size_t max) const {
  MutexLock lock(mu_);
  auto it = std::upper_bound(live_.begin(), live_.end(), after_seq,
                             [](uint64_t seq, const SpooledMessage& m) { return seq < m.seq; });
  std::vector<SpooledMessage> out;
  for (; it != live_.end() && out.size() < max; ++it) out.push_back(*it);
  return out;
}

bool Spool::WaitForMessageAfter(uint64_t after_seq, int64_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  MutexLock lock(mu_);
  while (live_.empty() || live_.back().seq <= after_seq) {
    if (!mu_.WaitUntil(appended_, deadline) && std::chrono::steady_clock::now() >= deadline)
      return !live_.empty() && live_.back().seq > after_seq;
  }
  return true;
}

std::optional<SpoolLosses> Spool::TakeLosses() {
  MutexLock lock(mu_);
  if (untold_.count == 0) return std::nullopt;
  mark_dirty_ = true;
  return std::exchange(untold_, {});
}

uint64_t Spool::generation() const {
  MutexLock lock(mu_);
  return generation_;
}

uint64_t Spool::released() const {
  MutexLock lock(mu_);
  return released_;
}

std::size_t Spool::kept() const {
  MutexLock lock(mu_);
  return live_.size();
}

void Spool::Flush() {
  MutexLock lock(mu_);
  WriteMarkLocked();
}

void Spool::RewriteLocked() {
  if (folder_.empty()) return;
  const std::string path = folder_ + "/" + kSpoolFile;
  std::string bytes = EncodeSpoolHeader(generation_, live_.empty() ? next_seq_ : live_.front().seq);
  bytes.reserve(bytes.size() + live_bytes_);
  for (const SpooledMessage& record : live_) bytes += EncodeSpoolRecord(record);
  // Closed first: on Windows an open handle may stand in the way of the
  // rename over it.
  file_.reset();
  bool written = ReplaceFileWhole(path, bytes);
  if (written) {
    file_ = PrivateFile::OpenToAppend(path, nullptr);
    written = file_.has_value();
  }
  NoteHealthLocked(written, "SPOOL NAO GRAVADO");
  if (written) {
    file_bytes_ = bytes.size();
    dead_bytes_ = 0;
    // The mark must not say less than the file now holds: the released
    // records are gone from it.
    mark_dirty_ = true;
    WriteMarkLocked();
  }
}

void Spool::WriteMarkLocked() {
  if (folder_.empty() || !mark_dirty_) return;
  const std::string bytes = EncodeMark({generation_, released_, std::max(next_seq_, reserved_seq_),
                                        untold_.count, untold_.oldest_seq});
  if (ReplaceFileWhole(folder_ + "/" + kMarkFile, bytes)) {
    marked_released_ = released_;
    mark_dirty_ = false;
  }
}

void Spool::NoteHealthLocked(bool healthy, const char* what) {
  if (healthy != healthy_) ReportLocked(healthy ? "SPOOL GRAVADO NOVAMENTE" : what);
  healthy_ = healthy;
}

void Spool::ReportLocked(std::string line) {
  if (reports_.size() < kMaxReports) reports_.push_back(std::move(line));
}

std::vector<std::string> Spool::TakeReports() {
  MutexLock lock(mu_);
  if (unreported_.count != 0) {
    // One line for a whole flood, not one per message lost.
    std::string line = "SPOOL CHEIO DESCARTADAS=" + std::to_string(unreported_.count) +
                       " PRIMEIRA=" + std::to_string(unreported_.oldest_seq);
    unreported_ = {};
    ReportLocked(std::move(line));
  }
  return std::exchange(reports_, {});
}

bool SeenSeqs::FirstTime(const std::string& server, uint64_t generation, uint64_t seq) {
  auto it = servers_.find(server);
  if (it == servers_.end()) {
    if (servers_.size() >= capacity_ && !servers_.empty()) {
      servers_.erase(std::min_element(
          servers_.begin(), servers_.end(),
          [](const auto& a, const auto& b) { return a.second.used < b.second.used; }));
    }
    it = servers_.emplace(server, Entry{}).first;
  }
  Entry& entry = it->second;
  entry.used = ++uses_;
  if (entry.generation != generation) entry = {generation, 0, uses_};
  if (seq <= entry.highest) return false;
  entry.highest = seq;
  return true;
}

uint64_t SeenSeqs::Highest(const std::string& server, uint64_t generation) const {
  const auto it = servers_.find(server);
  return it != servers_.end() && it->second.generation == generation ? it->second.highest : 0;
}

// "<server> <generation> <highest>\n" per server, newest use last; a server
// label holds no blank or line end (remote_ids.h).
std::string SeenSeqs::EncodeOne(const std::string& server, uint64_t generation, uint64_t seq) {
  return server + " " + std::to_string(generation) + " " + std::to_string(seq) + "\n";
}

std::string SeenSeqs::Encode() const {
  std::vector<std::pair<uint64_t, const std::string*>> order;
  for (const auto& [server, entry] : servers_) order.emplace_back(entry.used, &server);
  std::sort(order.begin(), order.end());
  std::string out;
  for (const auto& [used, server] : order) {
    const Entry& entry = servers_.at(*server);
    out += EncodeOne(*server, entry.generation, entry.highest);
  }
  return out;
}

bool SeenSeqs::Decode(std::string_view text) {
  servers_.clear();
  uses_ = 0;
  const auto parse = [](std::string_view digits, uint64_t& v) {
    const auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    return ec == std::errc() && p == digits.data() + digits.size() && !digits.empty();
  };
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    // A last line cut short is an append the end of a process cut off: what
    // came before it stands.
    if (end == std::string_view::npos) break;
    const std::string_view line = text.substr(0, end);
    const std::size_t a = line.find(' ');
    const std::size_t b = a == std::string_view::npos ? a : line.find(' ', a + 1);
    Entry entry;
    if (b == std::string_view::npos || a == 0 ||
        !parse(line.substr(a + 1, b - a - 1), entry.generation) ||
        !parse(line.substr(b + 1), entry.highest)) {
      servers_.clear();
      return false;
    }
    text.remove_prefix(end + 1);
    entry.used = ++uses_;
    servers_[std::string(line.substr(0, a))] = entry;
  }
  while (servers_.size() > capacity_) {
    servers_.erase(std::min_element(
        servers_.begin(), servers_.end(),
        [](const auto& x, const auto& y) { return x.second.used < y.second.used; }));
  }
  return true;
}

}  // namespace activator::remote
