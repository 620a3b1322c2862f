// What a restarted program needs to go on where its predecessor stopped: the
// jobs' states and reply pipes, the queue, the ids taken but not yet seen in
// the notification centre, the jobs the centre was last seen to hold, and the
// notification port's own entries (on Linux, the server's ids of the
// notifications shown).
//
// It is kept as a journal of changes: one framed record per change, appended
// as it happens, and now and then the whole journal replaced by a snapshot of
// what is still live (written beside it and renamed over it). Each record
// carries its length and a checksum, so a record cut short or damaged ends
// the reading there and everything before it still counts.
//
// Everything here is pure: the file is the caller's (state_journal.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace activator {

struct SavedJob {
  std::optional<std::string> state;
  std::optional<std::string> reply_pipe;
  // Order of the job's last change, for choosing which of the jobs no longer
  // in view to keep.
  uint64_t stamp = 0;
  std::optional<std::string> description = {};  // what the worker said the job is
};

struct SavedState {
  std::map<std::string, SavedJob> jobs;
  std::deque<std::string> queue;
  // Taken and shown, not yet seen in the centre.
  std::set<std::string> pending;
  // Taken, but the show was not known to have gone out when the file was
  // last written.
  std::set<std::string> unshown;
  std::set<std::string> on_screen;
  std::map<std::string, std::string> port_entries;
};

// One change, as the registry and the notification port make them.
enum class SavedChangeKind : char {
  kAnnounce = 'A',           // id: state "executando" unless it has one; queued at the back
  kState = 'E',              // id, state
  kReplyPipe = 'P',          // id, pipe name
  kDescription = 'N',        // id, description
  kQueueBack = 'U',          // id: queued at the back
  kQueueUnlessQueued = 'Q',  // id: queued at the back unless it waits already
  kTake = 'T',               // id: leaves the front of the queue, taken for a show
  kShown = 'S',              // id: the show of a taken id went out; it is pending
  kPending = 'K',            // id: shown and pending
  kLeavePending = 'W',       // id: seen, withdrawn or released
  kPutBackFirst = 'B',       // id: leaves the pending ids for the front of the queue
  kOnScreen = 'V',           // ids the centre was seen to hold (all of them)
  kPortSet = 'C',            // key, value
  kPortErase = 'D',          // key
  kPortClear = 'Z',          // -
};

struct SavedChange {
  SavedChangeKind kind;
  std::vector<std::string> fields;
};

// The first bytes of every state file.
inline constexpr std::string_view kSavedStateMagic = "ZORVELL ESTADO 1\n";

// One change as one framed record: "<length> <crc32 in 8 hex digits> <payload>\n",
// the payload being the kind's letter and each field as "<length>:<bytes>".
std::string EncodeSavedChange(const SavedChange& change);

struct DecodedSavedState {
  SavedState state;
  std::size_t records = 0;
  // False when the bytes do not begin as a state file, or a record was cut
  // short or damaged: the state then holds what came before it.
  bool whole = true;
};

// Reads a state file's bytes (magic, then records), in time and memory
// linear in their size whatever they hold. A record with the wrong number of
// fields for its kind changes nothing.
DecodedSavedState DecodeSavedState(std::string_view bytes);

// How many jobs out of view (neither queued, pending nor in the centre) are
// kept: a job in a final state can still be sent a new state or announced
// again, so the most recent are kept; one still running may run for long, so
// many more of those are kept. Beyond that the oldest go.
inline constexpr std::size_t kKeptFinishedJobs = 64;
inline constexpr std::size_t kKeptRunningJobs = 4096;

// True for a state after which a job changes no more on its own.
bool IsFinalJobState(std::string_view state);

// A snapshot to write, as views of what its owner holds (the registry's
// jobs under its lock, or a state read back): nothing is copied per job, so
// a snapshot of a long queue costs a few flat arrays, not a second registry.
struct SnapshotJob {
  std::string_view id;
  const std::string* state = nullptr;       // none when null
  const std::string* reply_pipe = nullptr;  // none when null
  uint64_t stamp = 0;
  // Queued, pending or on screen: never dropped to make the snapshot fit.
  bool in_view = false;
  const std::string* description = nullptr;  // none when null
};

struct StateSnapshot {
  std::vector<SnapshotJob> jobs;  // any order
  std::vector<std::string_view> queue;
  std::vector<std::string_view> pending;
  std::vector<std::string_view> unshown;
  std::vector<std::string_view> on_screen;
  std::vector<std::pair<std::string_view, std::string_view>> port_entries;
};

// Views of `state`, which must outlive them.
StateSnapshot SnapshotOf(const SavedState& state);

// The most a snapshot may hold. The file is compacted well before it is four
// times this, so it never reaches the size a start refuses to read.
inline constexpr std::size_t kMaxSnapshotBytes = 16u << 20;

// Makes `snapshot` fit in `budget` bytes: jobs out of view go first, oldest
// first; then, only when what is in view does not fit alone, ids from the
// back of the queue. Returns how many queued ids were left out.
std::size_t FitSnapshot(StateSnapshot& snapshot, std::size_t budget = kMaxSnapshotBytes);

// A whole state file (magic, then records) that rebuilds what `snapshot`
// views. Its jobs are put in the order of their stamps.
std::string EncodeSnapshot(StateSnapshot& snapshot);

// After a restart: an id taken for a show that was not known to go out goes
// back to the front of the queue, to be shown again (a show replaces whatever
// the centre holds under the same tag). Pending ids stay pending: their
// notifications went out, and the monitor's looks settle them as usual, so
// one the user closed is never shown again.
void RequeueUnshown(SavedState& state);

}  // namespace activator
