// Any bytes as the link from a server, and as a spool file found on disk.
//
// The link: fed whole and fed in two pieces, the reader must hand out the
// same frames and end with the same error, and every frame it hands out must
// encode to bytes that read back the same.
//
// The spool: what the decoder keeps must be increasing seqs that, written
// out again, read back whole. The bytes are also tried as records with right
// checksums, which random bytes would never have; and now and then the spool
// itself opens them, which must keep what the decoder read and go on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "remote/link_frames.h"
#include "remote/spool.h"

namespace {

using namespace activator::remote;

void CheckLink(std::string_view bytes) {
  if (bytes.empty()) return;
  const std::size_t cut = static_cast<unsigned char>(bytes[0]) * bytes.size() / 256;
  FrameReader whole, split;
  std::vector<Frame> from_whole, from_split;
  const FrameError error = whole.Feed(bytes, from_whole);
  split.Feed(bytes.substr(0, cut), from_split);
  if (split.Feed(bytes.substr(cut), from_split) != error || from_split != from_whole) std::abort();
  for (const Frame& frame : from_whole) {
    FrameReader again;
    std::vector<Frame> read;
    if (again.Feed(EncodeFrame(frame), read) != FrameError::kNone || read.size() != 1 ||
        read[0] != frame)
      std::abort();
  }
}

// Each line a record: its first eight bytes (padded) give the seq's step
// from the last, the rest is the message.
std::string FramedRecords(std::string_view bytes) {
  std::string file = EncodeSpoolHeader(1, 1);
  uint64_t seq = 1;
  while (!bytes.empty()) {
    const std::size_t end = std::min(bytes.find('\n'), bytes.size());
    const std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(std::min(end + 1, bytes.size()));
    seq += line.empty() ? 0 : static_cast<unsigned char>(line[0]) % 3;
    file += EncodeSpoolRecord(
        {seq, 0, std::string(line.substr(std::min<std::size_t>(1, line.size())))});
    ++seq;
  }
  return file;
}

void CheckSpoolBytes(std::string_view bytes, bool open) {
  const DecodedSpool decoded = DecodeSpoolFile(bytes);
  if (decoded.good_bytes > bytes.size()) std::abort();
  std::string file =
      EncodeSpoolHeader(decoded.generation == 0 ? 1 : decoded.generation, decoded.base_seq);
  uint64_t last = 0;
  for (const SpooledMessage& record : decoded.records) {
    if (record.seq <= last && last != 0) std::abort();
    last = record.seq;
    file += EncodeSpoolRecord(record);
  }
  const DecodedSpool again = DecodeSpoolFile(file);
  if (again.ending != DecodedSpool::Ending::kWhole || again.records != decoded.records)
    std::abort();
  if (!open) return;
  // The real thing, on a file of these bytes: a damaged file is kept aside
  // and a fresh one begun, never a crash.
  const std::string folder = "remote_link_fuzz_spool";
  static const bool made = activator::MakeOwnerOnlyFolder(folder, nullptr);
  if (!made) std::abort();
  activator::ReplaceFileWhole(folder + "/" + Spool::kSpoolFile, bytes);
  Spool spool;
  spool.Open(folder);
  const std::size_t kept = spool.kept();
  if (decoded.ending != DecodedSpool::Ending::kNotSpool && kept > decoded.records.size())
    std::abort();
  const uint64_t seq = spool.Append("x");
  const std::vector<SpooledMessage> after = spool.After(0, kept + 1);
  if (after.size() != kept + 1 || after.back().seq != seq) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckLink(bytes);
  // Opening writes files, flushed to the disk: one input in 128, or the run
  // would be the disk's.
  const bool open = size > 0 && data[0] % 128 == 0;
  CheckSpoolBytes(bytes, false);
  CheckSpoolBytes(FramedRecords(bytes), open);
  return 0;
}
