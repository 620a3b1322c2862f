#include "activation/result_index.h"

namespace activator {

ResultIndex ParseResultIndex(std::string_view start) {
  ResultIndex index;
  const std::size_t lf = start.find('\n');
  std::string_view line = start.substr(0, lf);
  if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
  // Without an LF the bytes given may be only the start of a longer line;
  // a line of the longest length or less always fits in them whole.
  if (line.size() > kMaxResultPathBytes) {
    index.line = ResultIndexLine::kTooLong;
  } else if (!line.empty()) {
    index.line = ResultIndexLine::kPath;
    index.path = line;
  }
  return index;
}

}  // namespace activator
