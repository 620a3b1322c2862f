// The result index file's content: its first line names the job's result.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace activator {

// The longest result path an index may name. A Windows path reaches 32767
// UTF-16 units and none takes more than three bytes in UTF-8, so no real path
// is longer; a longer line is not a path but a broken or hostile index (a link
// to an endless device, a huge sparse file).
inline constexpr std::size_t kMaxResultPathBytes = 32767 * 3;
// How much of an index file is ever read: the longest path and its line end.
inline constexpr std::size_t kResultIndexReadBytes = kMaxResultPathBytes + 2;

enum class ResultIndexLine {
  kPath,     // `path` holds the first line
  kEmpty,    // the first line is empty: there is no result to open
  kTooLong,  // the first line is longer than kMaxResultPathBytes
};

struct ResultIndex {
  ResultIndexLine line = ResultIndexLine::kEmpty;
  std::string path;
};

// Takes the first line of an index from `start`, the first (at most
// kResultIndexReadBytes) bytes of the file: everything up to the first LF, or
// all of it when there is none. A CR just before that LF is dropped: workers
// on Windows end lines with CR LF, and a path ending in CR names no file. Every
// other byte is kept as it is.
ResultIndex ParseResultIndex(std::string_view start);

}  // namespace activator
