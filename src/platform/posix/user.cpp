// POSIX: the effective uid.
#include "platform/user.h"

#include <unistd.h>

namespace activator {

std::string CurrentUserId() { return std::to_string(::geteuid()); }

std::string NameForThisUser(const std::string& name) { return name; }

}  // namespace activator
