// POSIX: nothing to write; see the header.
#include "platform/system_log.h"

namespace activator {

void ReportToSystemLog(uint32_t, const std::string&) noexcept {}

}  // namespace activator
