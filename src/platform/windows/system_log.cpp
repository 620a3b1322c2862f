// Windows: ReportEventW under a source nobody registers. The system then
// writes the entry to the Application log, and Event Viewer shows its text
// after a note that the source's message file is missing (the Windows App
// SDK's bootstrap reports its own failures so, under "Windows App Runtime").
#include "platform/system_log.h"

#include <string>

#include "platform/os/windows_support.h"

namespace activator {

void ReportToSystemLog(uint32_t event_id, const std::string& text) noexcept {
  try {
    std::wstring wide = WidenUtf8(text);
    // The viewer shows line ends as the system's own.
    std::wstring lines;
    for (wchar_t c : wide) {
      if (c == L'\n') lines += L'\r';
      lines += c;
    }
    const std::wstring source(kSystemLogSource, kSystemLogSource + sizeof kSystemLogSource - 1);
    HANDLE log = ::RegisterEventSourceW(nullptr, source.c_str());
    if (log == nullptr) return;
    const wchar_t* strings[] = {lines.c_str()};
    ::ReportEventW(log, EVENTLOG_ERROR_TYPE, 0, event_id, nullptr, 1, 0, strings, nullptr);
    ::DeregisterEventSource(log);
  } catch (...) {
    // Out of memory: the debug log has it all the same.
  }
}

}  // namespace activator
