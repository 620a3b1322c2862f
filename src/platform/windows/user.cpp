// Windows: the SID of the process token's user.
#include "platform/user.h"

#include "platform/windows/user_sid.h"

namespace activator {

std::string CurrentUserId() {
  // A SID string is ASCII.
  const std::wstring sid = ProcessUserSidText();
  return std::string(sid.begin(), sid.end());
}

std::string NameForThisUser(const std::string& name) {
  const std::string user = CurrentUserId();
  return user.empty() ? name : name + "-" + user;
}

}  // namespace activator
