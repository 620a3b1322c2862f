// Terminal output as text for an editor: what a result file and the progress
// reader see of the command's output.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace activator {

// Leaves out colour, cursor and title sequences and makes CR LF LF. Fed in
// pieces as they come; a sequence or a CR LF may be split between two.
class PlainTextFilter {
 public:
  // The text of `bytes`: `bytes` themselves when they need no change (most
  // output), else `scratch`, filled with it. This sees every byte of the
  // command's output, so plain text is passed over in runs, never copied
  // without need.
  std::string_view Feed(std::string_view bytes, std::string& scratch);
  // What was held back: a CR at the very end.
  std::string Finish();

 private:
  // kControl: after ESC [; kString: after ESC ], P, X, ^ or _, until BEL or
  // ESC \.
  enum class State { kText, kEscape, kControl, kString, kStringEscape };

  void Step(unsigned char c, std::string& text);

  State state_ = State::kText;
  bool carriage_return_ = false;
  std::size_t string_bytes_ = 0;
};

}  // namespace activator
