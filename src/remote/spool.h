// The server's spool: every job message a worker sent on the server, kept on
// disk until the desktop says it has handled it, so that neither a dropped
// link nor a restarted server side loses one. Two files in a folder of the
// user's own (0700; files 0600):
//
//   spool.dat    a header (magic, generation, first seq), then one record per
//                message, appended with one write each:
//                  u32 length | u32 crc32 of the body | body
//                  body: u64 seq | i64 time (ms since 1970) | message bytes
//                (big-endian). A record cut short by a crash, or damaged,
//                ends what is read; a torn last record is simply dropped,
//                damage before the end keeps the file aside for a look.
//   spool.mark   what the desktop released ("acked up to"), the next seq and
//                the losses not yet told, replaced whole (written beside it,
//                flushed, renamed). Written every so many acks and on Flush:
//                a mark that lags only means a few messages are sent again,
//                which the desktop tells apart by their seq (SeenSeqs).
//
// When the released records at the file's start outgrow the live ones (and a
// megabyte), the file is written again with the live records alone.
//
// A seq is never given twice by one generation: the next seq is kept in the
// header and the records, and the mark reserves a block of seqs before any is
// given (so a restart may skip some). A spool that must begin afresh (no file,
// or one that is not a spool) takes a new generation, which the desktop hears
// of in the Hello, so it forgets the seqs it saw of the old one.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"
#include "platform/files.h"

namespace activator::remote {

// How much the spool keeps of what the desktop has not released. A message
// goes only when both more than `keep_messages` newer ones are kept and it is
// older than `keep_ms`, or when the spool would outgrow `max_bytes` (which
// holds over 16,000 messages of the longest kind): an outage of a day, or of
// 10,000 messages, loses nothing.
struct SpoolLimits {
  std::size_t keep_messages = 10000;
  int64_t keep_ms = 24 * 60 * 60 * 1000;
  uint64_t max_bytes = 64u << 20;
};

struct SpooledMessage {
  uint64_t seq = 0;
  int64_t time_ms = 0;
  std::string message;
  bool operator==(const SpooledMessage&) const = default;
};

// Messages let go by the bounds and not yet told to the desktop: `count` of
// them, the first being `oldest_seq`.
struct SpoolLosses {
  uint64_t count = 0;
  uint64_t oldest_seq = 0;
};

// What a spool file holds, read as far as it reads whole.
struct DecodedSpool {
  enum class Ending {
    kWhole,     // every byte read
    kTornTail,  // the last record was cut short, or is only zero bytes
    kDamaged,   // a record before the end does not read
    kNotSpool,  // no header of ours: nothing read
  };
  Ending ending = DecodedSpool::Ending::kNotSpool;
  uint64_t generation = 0;
  uint64_t base_seq = 1;  // no record has a smaller seq
  std::vector<SpooledMessage> records;
  std::size_t good_bytes = 0;  // the prefix that read whole
};

inline constexpr std::size_t kSpoolHeaderBytes = 8 + 8 + 8 + 4;
// The body of one record at its longest; the message is a job message.
inline constexpr std::size_t kMaxSpoolMessageBytes = 4095;

DecodedSpool DecodeSpoolFile(std::string_view bytes);
std::string EncodeSpoolHeader(uint64_t generation, uint64_t base_seq);
std::string EncodeSpoolRecord(const SpooledMessage& record);

// Decides what the spool keeps and lets go, and writes it down. Safe from
// any thread: workers' messages come in on the job pipe's threads while the
// link sends and takes acks on its own.
class Spool {
 public:
  using Clock = std::function<int64_t()>;  // ms since 1970

  explicit Spool(SpoolLimits limits = {}, Clock clock = {});
  ~Spool();  // flushes the mark
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  enum class Opened {
    kFresh,    // no spool there: a new generation
    kRead,     // read whole (a torn last record dropped)
    kDamaged,  // read up to damage; the file kept aside
    kRefused,  // not a spool (kept aside), or the folder is not the user's own
               // (nothing written there: the spool lives in memory alone)
  };
  // Opens the spool in `folder`, which it makes (its parent must exist) or
  // checks to be the user's own and no one else's. Never fails: without a
  // folder it keeps what it can in memory, said in a report.
  Opened Open(const std::string& folder) EXCLUDES(mu_);

  // Keeps `message` (cut to kMaxSpoolMessageBytes) and returns its seq.
  uint64_t Append(std::string_view message) EXCLUDES(mu_);

  // The desktop has handled everything up to `seq`.
  void Ack(uint64_t seq) EXCLUDES(mu_);

  // Up to `max` kept messages with a seq above `after_seq`, oldest first.
  std::vector<SpooledMessage> After(uint64_t after_seq, std::size_t max) const EXCLUDES(mu_);

  // Waits until a message above `after_seq` is kept, or `timeout_ms` passed;
  // true when there is one.
  bool WaitForMessageAfter(uint64_t after_seq, int64_t timeout_ms) EXCLUDES(mu_);

  // The losses since the last call, for the desktop; nullopt when none.
  std::optional<SpoolLosses> TakeLosses() EXCLUDES(mu_);

  uint64_t generation() const EXCLUDES(mu_);
  uint64_t released() const EXCLUDES(mu_);  // everything up to it is gone
  std::size_t kept() const EXCLUDES(mu_);

  // Writes the mark now, if it changed.
  void Flush() EXCLUDES(mu_);

  // Log lines since the last call: losses ("SPOOL CHEIO DESCARTADAS=..."),
  // a file cut short or kept aside, writes that failed and work again.
  std::vector<std::string> TakeReports() EXCLUDES(mu_);

  static constexpr char kSpoolFile[] = "spool.dat";
  static constexpr char kMarkFile[] = "spool.mark";
  static constexpr char kKeptAsideSuffix[] = ".ilegivel";
  // The mark is written once this many messages were released since the last.
  static constexpr uint64_t kMarkEvery = 64;
  static constexpr uint64_t kCompactAfterBytes = 1u << 20;
  // Seqs reserved by one write of the mark.
  static constexpr uint64_t kSeqBlock = 1024;

 private:
  void ReleaseFrontLocked() REQUIRES(mu_);
  void ApplyLimitsLocked() REQUIRES(mu_);
  void RewriteLocked() REQUIRES(mu_);
  void WriteMarkLocked() REQUIRES(mu_);
  void NoteHealthLocked(bool healthy, const char* what) REQUIRES(mu_);
  void ReportLocked(std::string line) REQUIRES(mu_);
  uint64_t MaxFileBytes() const;

  const SpoolLimits limits_;
  const Clock clock_;
  mutable Mutex mu_;
  std::condition_variable appended_;
  std::string folder_ GUARDED_BY(mu_);  // empty: memory alone
  std::optional<PrivateFile> file_ GUARDED_BY(mu_);
  uint64_t file_bytes_ GUARDED_BY(mu_) = 0;
  uint64_t dead_bytes_ GUARDED_BY(mu_) = 0;  // released records still in the file
  bool healthy_ GUARDED_BY(mu_) = true;
  uint64_t appends_since_failure_ GUARDED_BY(mu_) = 0;

  uint64_t generation_ GUARDED_BY(mu_) = 0;
  uint64_t next_seq_ GUARDED_BY(mu_) = 1;
  uint64_t reserved_seq_ GUARDED_BY(mu_) = 1;  // the mark's next seq
  uint64_t released_ GUARDED_BY(mu_) = 0;
  uint64_t marked_released_ GUARDED_BY(mu_) = 0;
  bool mark_dirty_ GUARDED_BY(mu_) = false;
  std::deque<SpooledMessage> live_ GUARDED_BY(mu_);
  uint64_t live_bytes_ GUARDED_BY(mu_) = 0;  // their records' bytes
  SpoolLosses untold_ GUARDED_BY(mu_);
  SpoolLosses unreported_ GUARDED_BY(mu_);
  std::vector<std::string> reports_ GUARDED_BY(mu_);
};

// The desktop's side of the spool's promise: a message sent again after a
// restart (of either side, or of the link) is shown once. Per server it
// keeps the generation and the highest seq handled, for the newest
// `capacity` servers; the spool sends in order, so a seq at or below the
// highest was handled. Kept as a line of text for a file of the caller's.
class SeenSeqs {
 public:
  explicit SeenSeqs(std::size_t capacity = 64) : capacity_(capacity) {}
  // True, and noted, when `seq` of `server`'s spool `generation` is new.
  bool FirstTime(const std::string& server, uint64_t generation, uint64_t seq);
  // The highest seq handled of the server's generation, 0 when none.
  uint64_t Highest(const std::string& server, uint64_t generation) const;

  // One line per server; a later line for a server overrides an earlier one,
  // so the file may grow by EncodeOne appends between two whole writes.
  std::string Encode() const;
  static std::string EncodeOne(const std::string& server, uint64_t generation, uint64_t seq);
  // Replaces what is kept by what `text` holds; false (keeping nothing) when
  // it is not made of such lines (a last line cut short is left out).
  bool Decode(std::string_view text);

 private:
  struct Entry {
    uint64_t generation = 0;
    uint64_t highest = 0;
    uint64_t used = 0;
  };
  std::size_t capacity_;
  uint64_t uses_ = 0;
  std::map<std::string, Entry> servers_;
};

}  // namespace activator::remote
