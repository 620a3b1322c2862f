// UTF-8 <-> UTF-16, with the behaviour of the Windows conversions the program
// was first written against (code page UTF-8, no flags): an invalid sequence
// becomes U+FFFD, an empty text stays empty. Never throws on bad input.
#pragma once

#include <string>
#include <string_view>

namespace activator {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace activator
