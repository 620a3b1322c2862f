#include "support/test_lab.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "base/build_constants.h"

namespace activator::testing {

namespace {
#if defined(_WIN32)
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif
}  // namespace

std::string LabRoot() {
  // The debug log lives at <root>/Logs/activator_debug.txt.
  std::string log = kDebugLogPath;
  return log.substr(0, log.rfind(std::string(1, kSeparator) + "Logs" + kSeparator));
}

// In the system's own spelling, so that a path made here compares equal to
// one the program builds from its constants.
std::string LabPath(const std::string& relative) {
  std::string path = LabRoot() + kSeparator + relative;
  for (char& c : path) {
    if (c == '/') c = kSeparator;
  }
  return path;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string UniqueName(const std::string& stem) {
  static std::atomic<int> counter{0};
  return stem + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

}  // namespace activator::testing
