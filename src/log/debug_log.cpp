#include "log/debug_log.h"

#include "base/build_constants.h"

namespace activator {

namespace {

void AppendEscaped(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out.push_back(kHex[byte >> 4]);
  out.push_back(kHex[byte & 0xF]);
}

// Escapes the control characters of `text` into `out`; an LF too unless
// `keep_line_feeds`.
void AppendWithControlsEscaped(std::string& out, std::string_view text, bool keep_line_feeds) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\n' && keep_line_feeds) {
      out.push_back('\n');
    } else if (byte < 0x20 || byte == 0x7F) {
      AppendEscaped(out, byte);
    } else if (byte == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // U+0080..U+009F: terminals that read UTF-8 take some of them (CSI,
      // OSC) as the start of a command.
      AppendEscaped(out, byte);
      AppendEscaped(out, static_cast<unsigned char>(text[++i]));
    } else {
      out.push_back(static_cast<char>(byte));
    }
  }
}

}  // namespace

std::string LogValue(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  AppendWithControlsEscaped(escaped, value, /*keep_line_feeds=*/false);
  return escaped;
}

void WriteLogLineTo(const char* path, std::string_view message,
                    const FileRollover& rollover) noexcept {
  try {
    // Fixed texts hold no control character but the LF of a message that
    // spans lines; values have theirs escaped by LogValue already. This
    // catches a value that was not, short of its LFs.
    std::string escaped;
    escaped.reserve(message.size());
    AppendWithControlsEscaped(escaped, message, /*keep_line_feeds=*/true);
    std::string line;
    line.reserve(escaped.size() + 8);
    for (char c : escaped) {
      if (c == '\n') line.push_back('\r');
      line.push_back(c);
    }
    line += "\r\n";
    AppendToFile(std::string(path), line, rollover);
  } catch (...) {
    // Out of memory while building the line: the line is lost, the caller
    // goes on.
  }
}

void WriteDebugLog(std::string_view message) noexcept {
  try {
    static const FileRollover* const kRollover =
        new FileRollover{kDebugLogLimit, kDebugLogPredecessorPath};  // lives as long as the process
    WriteLogLineTo(kDebugLogPath, message, *kRollover);
  } catch (...) {
    // Out of memory for the first line's bound: that line is lost.
  }
}

std::string FormatResultCode(int32_t hresult) { return std::to_string(hresult); }
std::string FormatErrorCode(uint32_t code) { return std::to_string(code); }
std::string FormatCount(uint64_t count) { return std::to_string(count); }

}  // namespace activator
