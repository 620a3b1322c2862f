#include "log/debug_log.h"

#include "base/build_constants.h"
#include "platform/files.h"

namespace activator {

void WriteLogLineTo(const char* path, std::string_view message) noexcept {
  try {
    std::string line;
    line.reserve(message.size() + 8);
    for (char c : message) {
      if (c == '\n') line.push_back('\r');
      line.push_back(c);
    }
    line += "\r\n";
    AppendToFile(std::string(path), line);
  } catch (...) {
    // Out of memory while building the line: the line is lost, the caller
    // goes on.
  }
}

void WriteDebugLog(std::string_view message) noexcept { WriteLogLineTo(kDebugLogPath, message); }

std::string FormatResultCode(int32_t hresult) { return std::to_string(hresult); }
std::string FormatErrorCode(uint32_t code) { return std::to_string(code); }
std::string FormatCount(uint64_t count) { return std::to_string(count); }

}  // namespace activator
