// The debug log: the activator's only diagnostic output. Every subsystem
// reports its steps by appending one line to one fixed file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace activator {

// Appends `message` as one line (CR LF ended, every LF inside it written as
// CR LF) to the debug log file. The file is opened and closed for every line,
// so no logged line is lost when the process is killed. When the file cannot
// be opened (for instance its folder is missing) or is not a regular file,
// the line is dropped silently. Once the file holds kDebugLogLimit bytes it
// becomes its predecessor (kDebugLogPredecessorPath) and a new one is begun,
// always between two lines. Safe from any thread, at any moment; never throws.
// Where the log file is another user's (Windows, whose lab every user
// shares), this user's lines go to kUserDebugLogPath beside it instead, for
// the rest of the process's life, so no two users' lines meet in one file.
//
// The line is written as given except for control characters other than LF,
// which only a value from outside can bring: see LogValue.
void WriteDebugLog(std::string_view message) noexcept;

// The same for a log file of the caller's choosing, bounded as `rollover`
// says; WriteDebugLog uses it with the build's debug log path and bound.
// False when the line could not be written.
bool WriteLogLineTo(const char* path, std::string_view message,
                    const FileRollover& rollover = {}) noexcept;

// A value from outside (a job id, a state, a pipe name, a message, a path, a
// text of the notification platform) as it goes into a log line: every
// control character - C0, DEL, and C1 in its UTF-8 form - is written as \xHH,
// one per byte (an LF as \x0A), so no value can begin a line of its own or
// reach a terminal that shows the log as a command. Every other byte stays as
// it is, so ordinary values read exactly as they came.
std::string LogValue(std::string_view value);

// Formatting of values in log lines: result codes (HRESULT) in signed decimal
// so failures read negative, error codes and counts in unsigned decimal.
std::string FormatResultCode(int32_t hresult);
std::string FormatErrorCode(uint32_t code);
std::string FormatCount(uint64_t count);

}  // namespace activator
