#include "run/plain_text_filter.h"

#include <algorithm>
#include <cstring>

namespace activator {

namespace {

// A terminal's string sequence (a window title) longer than this is taken
// for text that merely held an ESC ], and the text after it is kept again.
constexpr std::size_t kLongestTerminalString = 4096;

}  // namespace

std::string_view PlainTextFilter::Feed(std::string_view bytes, std::string& scratch) {
  // Where the next ESC and CR stand, each looked up again only once passed.
  std::size_t next_escape = 0, next_return = 0;
  auto next = [&](char c, std::size_t from) {
    const void* at = std::memchr(bytes.data() + from, c, bytes.size() - from);
    return at == nullptr ? bytes.size()
                         : static_cast<std::size_t>(static_cast<const char*>(at) - bytes.data());
  };
  if (state_ == State::kText && !carriage_return_) {
    next_escape = next('\x1b', 0);
    next_return = next('\r', 0);
    if (next_escape == bytes.size() && next_return == bytes.size()) return bytes;
  }
  std::string& text = scratch;
  text.clear();
  for (std::size_t i = 0; i < bytes.size();) {
    if (state_ == State::kText && !carriage_return_) {
      if (next_escape <= i) next_escape = next('\x1b', i);
      if (next_return <= i) next_return = next('\r', i);
      const std::size_t plain_end = std::min(next_escape, next_return);
      text.append(bytes.data() + i, plain_end - i);
      i = plain_end;
      if (i == bytes.size()) break;
    }
    Step(static_cast<unsigned char>(bytes[i++]), text);
  }
  return text;
}

std::string PlainTextFilter::Finish() {
  std::string text = state_ == State::kText && carriage_return_ ? "\r" : "";
  carriage_return_ = false;
  state_ = State::kText;
  return text;
}

void PlainTextFilter::Step(unsigned char c, std::string& text) {
  switch (state_) {
    case State::kText:
      if (carriage_return_) {
        carriage_return_ = false;
        if (c != '\n') text += '\r';
      }
      if (c == 0x1b)
        state_ = State::kEscape;
      else if (c == '\r')
        carriage_return_ = true;
      else
        text += static_cast<char>(c);
      return;
    case State::kEscape:
      if (c == '[') {
        state_ = State::kControl;
      } else if (c == ']' || c == 'P' || c == 'X' || c == '^' || c == '_') {
        state_ = State::kString;
        string_bytes_ = 0;
      } else if (c < 0x20) {
        state_ = State::kText;  // not a sequence after all
        Step(c, text);
      } else if (c > 0x2f) {
        state_ = State::kText;  // its final byte; 0x20-0x2f come before one
      }
      return;
    case State::kControl:
      if (c >= 0x40 && c <= 0x7e) {
        state_ = State::kText;
      } else if (c < 0x20 || c > 0x7e) {
        state_ = State::kText;
        Step(c, text);
      }
      return;
    case State::kString:
    case State::kStringEscape:
      if (c == 0x07 || (state_ == State::kStringEscape && c == '\\') ||
          ++string_bytes_ > kLongestTerminalString)
        state_ = State::kText;
      else
        state_ = c == 0x1b ? State::kStringEscape : State::kString;
      return;
  }
}

}  // namespace activator
