// UTF-8 <-> UTF-16 through the system's own conversions (code page UTF-8, no
// flags: an ill-formed sequence becomes U+FFFD, never an error).
//
// One conversion call takes at most INT_MAX units, so longer texts go in
// pieces cut where no sequence is split: before a UTF-8 lead byte, or not
// between the two halves of a surrogate pair.
#include "platform/text_conversion.h"

#include <algorithm>

#include "platform/os/windows_support.h"

namespace activator {

namespace {

constexpr std::size_t kMaxPiece = static_cast<std::size_t>(INT_MAX);

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// Length of the next piece of `text` to convert on its own.
std::size_t Utf8PieceLength(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t cut = limit;
  // A sequence is at most four bytes: back off at most three continuations.
  for (int i = 0; i < 3 && cut > 1 && IsUtf8Continuation(text[cut]); ++i) --cut;
  return cut;
}

std::size_t Utf16PieceLength(std::u16string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  return IsHighSurrogate(text[limit - 1]) ? limit - 1 : limit;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  while (!text.empty()) {
    const std::size_t piece = Utf8PieceLength(text, kMaxPiece);
    const int length = static_cast<int>(piece);
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (needed > 0) {
      const std::size_t at = out.size();
      out.resize(at + static_cast<std::size_t>(needed));
      const int written = ::MultiByteToWideChar(
          CP_UTF8, 0, text.data(), length, reinterpret_cast<wchar_t*>(out.data() + at), needed);
      out.resize(at + static_cast<std::size_t>(std::max(written, 0)));
    }
    text.remove_prefix(piece);
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  // A piece of UTF-16 grows to at most three bytes a unit.
  while (!text.empty()) {
    const std::size_t piece = Utf16PieceLength(text, kMaxPiece / 3);
    const int length = static_cast<int>(piece);
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (needed > 0) {
      const std::size_t at = out.size();
      out.resize(at + static_cast<std::size_t>(needed));
      const int written = ::WideCharToMultiByte(CP_UTF8, 0, wide, length, out.data() + at, needed,
                                                nullptr, nullptr);
      out.resize(at + static_cast<std::size_t>(std::max(written, 0)));
    }
    text.remove_prefix(piece);
  }
  return out;
}

}  // namespace activator
