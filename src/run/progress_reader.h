// Progress read out of the command's output: the percentage its lines end in.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "run/plain_text_filter.h"

namespace activator {

// Reads one stream of the command's output as a terminal shows it, for lines
// that end in a percentage ("40%", "40 %", "12.5%" as 12, blanks after it; a
// number glued to a word, "x2%", is none): a line ends at LF or at CR (a bar
// redrawn in place), and colour and cursor sequences are left out. Only a
// copy is read; the output itself goes on unchanged.
class ProgressReader {
 public:
  // The last progress `bytes` show, if any. The line still being written
  // counts too: a bar redrawn after a CR is complete long before the next CR
  // comes.
  std::optional<int> Feed(std::string_view bytes);

 private:
  PlainTextFilter text_;
  std::string text_buffer_;  // of one Feed, kept for its room
  std::string line_;         // the end of the line being written
};

}  // namespace activator
