// The command line a started program's C runtime reads back into the
// arguments it was given: shared by the port's ways of starting programs.
#pragma once

#include <string>
#include <vector>

#include "platform/os/windows_support.h"

namespace activator {

// One argument as the C runtime's command-line parser reads it back:
// backslashes are literal except before a quote.
inline void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      line.append(backslashes * 2 + 1, L'\\');
    else
      line.append(backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

// The command line of `argv` (UTF-8), every argument quoted as above.
inline std::wstring CommandLineOf(const std::vector<std::string>& argv) {
  std::wstring line;
  for (const std::string& arg : argv) {
    if (!line.empty()) line += L' ';
    AppendQuoted(line, WidenUtf8(arg));
  }
  return line;
}

}  // namespace activator
