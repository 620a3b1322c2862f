// Reads what the code under test wrote to the debug log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace activator::testing {

// Remembers where the debug log ends when constructed; Lines() gives the lines
// appended since then, without their CR LF ends.
class LogTail {
 public:
  LogTail();
  std::vector<std::string> Lines() const;
  // The raw bytes appended since construction.
  std::string Bytes() const;
  // Waits (polling, up to `timeout_ms`) until a line equal to `line` appears.
  bool WaitForLine(const std::string& line, int timeout_ms = 10000) const;
  // Waits until at least `count` lines were appended.
  bool WaitForLineCount(std::size_t count, int timeout_ms = 10000) const;

 private:
  std::uint64_t start_;
};

// Succeeds when `expected` appear in `lines` in this order, possibly with
// other lines between them; the failure message shows the whole log.
::testing::AssertionResult InOrder(const std::vector<std::string>& lines,
                                   const std::vector<std::string>& expected);

// Every line of a CR LF log text; a missing final CR LF keeps the last line.
std::vector<std::string> SplitLogLines(const std::string& bytes);

}  // namespace activator::testing
