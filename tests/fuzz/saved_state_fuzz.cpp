// Any bytes as a state file: the decoder must neither read outside them nor
// stall, and what it rebuilds must write out as a file that reads back the
// same. The bytes are read twice: as they are, and as changes framed as
// records with right checksums, which random bytes would never have, so that
// what the records say is tried too.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include "jobs/saved_state.h"

namespace {

// Each line as a change: its first byte picks the kind, the rest are its
// fields, split at \x01 (any number of them, right for the kind or not).
std::string FramedLines(std::string_view bytes) {
  static constexpr std::string_view kKinds = "AEPNUQTSKWBVCDZ";
  std::string file(activator::kSavedStateMagic);
  while (!bytes.empty()) {
    const std::size_t end = std::min(bytes.find('\n'), bytes.size());
    std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(std::min(end + 1, bytes.size()));
    if (line.empty()) continue;
    activator::SavedChange change{
        static_cast<activator::SavedChangeKind>(kKinds[static_cast<unsigned char>(line[0]) % kKinds.size()]),
        {}};
    line.remove_prefix(1);
    while (!line.empty()) {
      const std::size_t cut = std::min(line.find('\x01'), line.size());
      change.fields.emplace_back(line.substr(0, cut));
      line.remove_prefix(std::min(cut + 1, line.size()));
    }
    file += activator::EncodeSavedChange(change);
  }
  return file;
}

void Check(std::string_view bytes) {
  using namespace activator;
  DecodedSavedState decoded = DecodeSavedState(bytes);
  RequeueUnshown(decoded.state);
  StateSnapshot snapshot = SnapshotOf(decoded.state);
  const std::string file = EncodeSnapshot(snapshot);
  const DecodedSavedState again = DecodeSavedState(file);
  if (!again.whole || again.state.queue != decoded.state.queue ||
      again.state.jobs.size() != decoded.state.jobs.size())
    std::abort();
  // However small the budget, what is written fits it, or has given up its
  // whole queue (what else is in view is never dropped).
  StateSnapshot fitted = SnapshotOf(decoded.state);
  FitSnapshot(fitted, file.size() / 2);
  const std::string small = EncodeSnapshot(fitted);
  if (small.size() > file.size() / 2 && !fitted.jobs.empty() && !fitted.queue.empty()) std::abort();
  if (!DecodeSavedState(small).whole) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Check(bytes);
  Check(FramedLines(bytes));
  return 0;
}
