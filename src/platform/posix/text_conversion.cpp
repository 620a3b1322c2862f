// UTF-8 <-> UTF-16 for ports without the Windows conversions. Bad input is
// replaced, never rejected: each maximal subpart of an ill-formed UTF-8
// sequence becomes one U+FFFD (the Unicode recommended practice the Windows
// calls follow), and so does each unpaired UTF-16 surrogate.
#include "platform/text_conversion.h"

namespace activator {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool InRange(unsigned char byte, unsigned char low, unsigned char high) {
  return byte >= low && byte <= high;
}

// The accepted range of the byte after `lead`; it excludes overlong forms,
// encoded surrogates and code points above U+10FFFF. Later continuation bytes
// are always 80..BF.
bool SecondByteFits(unsigned char lead, unsigned char second) {
  switch (lead) {
    case 0xE0:
      return InRange(second, 0xA0, 0xBF);
    case 0xED:
      return InRange(second, 0x80, 0x9F);
    case 0xF0:
      return InRange(second, 0x90, 0xBF);
    case 0xF4:
      return InRange(second, 0x80, 0x8F);
    default:
      return InRange(second, 0x80, 0xBF);
  }
}

// Total length of a sequence starting with `lead`; 0 when it cannot start one.
int SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (InRange(lead, 0xC2, 0xDF)) return 2;
  if (InRange(lead, 0xE0, 0xEF)) return 3;
  if (InRange(lead, 0xF0, 0xF4)) return 4;
  return 0;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  } else {
    out += static_cast<char16_t>(cp);
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    int length = SequenceLength(lead);
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    char32_t cp = length == 1   ? lead
                  : length == 2 ? (lead & 0x1F)
                  : length == 3 ? (lead & 0x0F)
                                : (lead & 0x07);
    // Take continuation bytes while they fit; a sequence cut short counts as
    // one replacement for the bytes taken, and the next byte starts afresh.
    int taken = 1;
    while (taken < length && i + taken < text.size()) {
      auto next = static_cast<unsigned char>(text[i + taken]);
      bool fits = taken == 1 ? SecondByteFits(lead, next) : InRange(next, 0x80, 0xBF);
      if (!fits) break;
      cp = (cp << 6) | (next & 0x3F);
      ++taken;
    }
    if (taken == length) {
      AppendUtf16(out, cp);
    } else {
      out += kReplacement;
    }
    i += static_cast<std::size_t>(taken);
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

}  // namespace activator
