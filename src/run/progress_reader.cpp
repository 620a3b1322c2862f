#include "run/progress_reader.h"

#include <cctype>

namespace activator {

namespace {

// Of a line of output, only its end can hold the progress: its last this
// many bytes are read.
constexpr std::size_t kProgressLineTail = 64;

std::string_view LineTail(std::string_view line) {
  return line.size() > kProgressLineTail ? line.substr(line.size() - kProgressLineTail) : line;
}

// The percentage a line of output ends in ("40%", "40 %", "12.5%" as 12, and
// blanks after it), or none: a number that ends a word ("x2%") or lies
// outside 0..100 is not a progress.
std::optional<int> ProgressAtLineEnd(std::string_view line) {
  auto digit = [&](std::size_t at) { return line[at] >= '0' && line[at] <= '9'; };
  std::size_t end = line.find_last_not_of(" \t");
  if (end == std::string_view::npos || line[end] != '%') return std::nullopt;
  if (end > 0 && line[end - 1] == ' ') --end;
  std::size_t start = end;
  while (start > 0 && digit(start - 1)) --start;
  if (start == end) return std::nullopt;
  if (start >= 2 && (line[start - 1] == '.' || line[start - 1] == ',') && digit(start - 2)) {
    end = start - 1;  // the fraction is dropped
    start = end;
    while (start > 0 && digit(start - 1)) --start;
  }
  if (start > 0) {
    const unsigned char before = static_cast<unsigned char>(line[start - 1]);
    if (std::isalnum(before)) return std::nullopt;
  }
  if (end - start > 3) return std::nullopt;
  const int percent = std::stoi(std::string(line.substr(start, end - start)));
  if (percent > 100) return std::nullopt;
  return percent;
}

}  // namespace

std::optional<int> ProgressReader::Feed(std::string_view bytes) {
  const std::string_view text = text_.Feed(bytes, text_buffer_);
  std::optional<int> found;
  // The lines that ended here, newest first: the newest that ends in a
  // percentage is the one shown.
  std::size_t line_end = text.find_last_of("\r\n");
  for (std::size_t end = line_end; end != std::string_view::npos && !found;) {
    const std::size_t before =
        end == 0 ? std::string_view::npos : text.find_last_of("\r\n", end - 1);
    if (before == std::string_view::npos) {
      // The first one began before these bytes.
      line_.append(LineTail(text.substr(0, end)));
      found = ProgressAtLineEnd(LineTail(line_));
    } else {
      found = ProgressAtLineEnd(LineTail(text.substr(before + 1, end - before - 1)));
    }
    end = before;
  }
  if (line_end != std::string_view::npos) line_.clear();
  line_.append(text.substr(line_end == std::string_view::npos ? 0 : line_end + 1));
  if (line_.size() > kProgressLineTail) line_.erase(0, line_.size() - kProgressLineTail);
  if (std::optional<int> percent = ProgressAtLineEnd(line_)) found = percent;
  return found;
}

}  // namespace activator
