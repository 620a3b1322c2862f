// Who runs this process, as a name for the things of the user's own that lie
// in a place every user of the machine shares (the Windows lab's state file,
// its lock, a second user's debug log).
#pragma once

#include <string>

namespace activator {

// The user's identity as the system spells it: the SID string on Windows
// ("S-1-5-21-..."), the effective uid in decimal on POSIX. It holds no
// character a file name or a kernel object's name may not. Empty when the
// system does not say.
std::string CurrentUserId();

// `name` made this user's own where a program names a thing of its own in a
// place every user of the machine shares: on Windows, whose lab and pipe names
// are the machine's, `name` + "-" + CurrentUserId(); on POSIX, whose lab (its
// pipe folder included) is the user's own already, `name` as it is. A user
// the system cannot name gets `name` as it is.
std::string NameForThisUser(const std::string& name);

}  // namespace activator
