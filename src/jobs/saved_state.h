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
};

struct SavedState {
  std::map<std::string, SavedJob> jobs;
  std::deque<std::string> queue;
  std::set<std::string> pending;
  std::set<std::string> on_screen;
  std::map<std::string, std::string> port_entries;
  uint64_t next_stamp = 1;
};

// One change, as the registry and the notification port make them.
enum class SavedChangeKind : char {
  kAnnounce = 'A',           // id: state "executando" unless it has one; queued at the back
  kState = 'E',              // id, state
  kReplyPipe = 'P',          // id, pipe name
  kQueueBack = 'U',          // id: queued at the back
  kQueueUnlessQueued = 'Q',  // id: queued at the back unless it waits already
  kTake = 'T',               // id: leaves the front of the queue, becomes pending
  kPending = 'K',            // id: becomes pending
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

// Applies one change; one with the wrong number of fields changes nothing.
void ApplySavedChange(SavedState& state, const SavedChange& change);

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

// Reads a state file's bytes (magic, then records).
DecodedSavedState DecodeSavedState(std::string_view bytes);

// How many jobs out of view (neither queued, pending nor in the centre) are
// kept: a job in a final state can still be sent a new state or announced
// again, so the most recent are kept; one still running may run for long, so
// many more of those are kept. Beyond that the oldest go.
inline constexpr std::size_t kKeptFinishedJobs = 64;
inline constexpr std::size_t kKeptRunningJobs = 4096;

// Drops what is no longer live: jobs out of view beyond the numbers above.
void PruneSavedState(SavedState& state);

// A whole state file (magic, then records) that rebuilds `state` as it is.
std::string EncodeSavedStateFile(const SavedState& state);

// After a restart: the ids that were pending may not have been shown when the
// program ended, so they go to the front of the queue (sorted by id: the order
// they were taken in is not kept) to be shown again; showing replaces
// whatever is on screen under the same tag.
void RequeuePending(SavedState& state);

}  // namespace activator
