// The debug log: the activator's only diagnostic output. Every subsystem
// reports its steps by appending one line to one fixed file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace activator {

// Appends `message` as one line (CR LF ended, every LF inside it written as
// CR LF) to the debug log file. The file is opened and closed for every line,
// so no logged line is lost when the process is killed. When the file cannot
// be opened (for instance its folder is missing) the line is dropped silently.
// Safe from any thread, at any moment; never throws.
void WriteDebugLog(std::string_view message) noexcept;

// The same for a log file of the caller's choosing; WriteDebugLog uses it with
// the build's debug log path.
void WriteLogLineTo(const char* path, std::string_view message) noexcept;

// Formatting of values in log lines: result codes (HRESULT) in signed decimal
// so failures read negative, error codes and counts in unsigned decimal.
std::string FormatResultCode(int32_t hresult);
std::string FormatErrorCode(uint32_t code);
std::string FormatCount(uint64_t count);

}  // namespace activator
