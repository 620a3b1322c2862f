#include "log/debug_log.h"

#include <atomic>

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

bool WriteLogLineTo(const char* path, std::string_view message,
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
    return AppendToFile(std::string(path), line, rollover);
  } catch (...) {
    // Out of memory while building the line: the line is lost, the caller
    // goes on.
    return false;
  }
}

namespace {

// Set for good once this process's lines go to kUserDebugLogPath.
std::atomic<bool> g_user_log{false};

// The shared log's folder is there, so the file in it refused this user: it
// is another user's (on Windows each user's files in Logs are theirs alone).
// A missing folder is the log turned off, for this user too.
bool SharedLogFolderExists() {
  const std::string path = kDebugLogPath;
  const std::size_t end = path.find_last_of("\\/");
  return end != std::string::npos && FileExists(path.substr(0, end));
}

}  // namespace

void WriteDebugLog(std::string_view message) noexcept {
  try {
    // Live as long as the process.
    static const FileRollover* const kRollover =
        new FileRollover{kDebugLogLimit, kDebugLogPredecessorPath};
    static const FileRollover* const kUserRollover =
        new FileRollover{kDebugLogLimit, kUserDebugLogPredecessorPath};
    if (!g_user_log.load(std::memory_order_relaxed)) {
      if (WriteLogLineTo(kDebugLogPath, message, *kRollover)) return;
      // Null only before the constants' own start-up (a line logged then).
      if (kUserDebugLogPath == nullptr || kUserDebugLogPath[0] == '\0' || !SharedLogFolderExists())
        return;
    }
    // The first line there says why the shared file is not used: another
    // user's, whether this user may open it or not.
    static std::atomic<bool> noted{false};
    if (!noted.exchange(true, std::memory_order_relaxed))
      WriteLogLineTo(kUserDebugLogPath,
                     "LOG COMPARTILHADO DE OUTRO USUARIO=" + LogValue(kDebugLogPath),
                     *kUserRollover);
    if (WriteLogLineTo(kUserDebugLogPath, message, *kUserRollover))
      g_user_log.store(true, std::memory_order_relaxed);
  } catch (...) {
    // Out of memory for the first line's bound: that line is lost.
  }
}

std::string FormatResultCode(int32_t hresult) { return std::to_string(hresult); }
std::string FormatErrorCode(uint32_t code) { return std::to_string(code); }
std::string FormatCount(uint64_t count) { return std::to_string(count); }

}  // namespace activator
