// Where a user of the platform looks for why a program did not start, when
// the program has no window and its start was the session's: on Windows the
// Application event log (Event Viewer, Windows Logs > Application, source
// ZorvellActivator); on POSIX nothing, as the program's starter keeps its
// standard error (the session's journal) and the debug log says the rest.
#pragma once

#include <cstdint>
#include <string>

namespace activator {

// The source the entries are written under.
inline constexpr char kSystemLogSource[] = "ZorvellActivator";

// Writes one error entry, numbered `event_id`, holding `text` (UTF-8, lines
// apart with \n). Nothing is reported back: a program that cannot write it
// has nowhere else to say so.
void ReportToSystemLog(uint32_t event_id, const std::string& text) noexcept;

}  // namespace activator
