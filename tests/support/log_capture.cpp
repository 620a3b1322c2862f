#include "support/log_capture.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/build_constants.h"

namespace activator::testing {

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

LogTail::LogTail() : start_(ReadAll(kDebugLogPath).size()) {}

std::string LogTail::Bytes() const {
  std::string all = ReadAll(kDebugLogPath);
  if (all.size() >= start_) return all.substr(start_);
  // Shorter than at the start: the log rolled over meanwhile, and what came
  // before the new file's first line is the predecessor's end.
  const std::string before = ReadAll(kDebugLogPredecessorPath);
  return (before.size() >= start_ ? before.substr(start_) : std::string()) + all;
}

std::vector<std::string> LogTail::Lines() const { return SplitLogLines(Bytes()); }

bool LogTail::WaitForLine(const std::string& line, int timeout_ms) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    for (const auto& l : Lines())
      if (l == line) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool LogTail::WaitForLineCount(std::size_t count, int timeout_ms) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Lines().size() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

::testing::AssertionResult InOrder(const std::vector<std::string>& lines,
                                   const std::vector<std::string>& expected) {
  auto at = lines.begin();
  for (const auto& line : expected) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end()) {
      std::string all;
      for (const auto& l : lines) all += "\n  " + l;
      return ::testing::AssertionFailure() << "missing in order: " << line << "; log:" << all;
    }
    ++at;
  }
  return ::testing::AssertionSuccess();
}

std::vector<std::string> SplitLogLines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t end = bytes.find("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(bytes.substr(pos));
      break;
    }
    lines.push_back(bytes.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

}  // namespace activator::testing
