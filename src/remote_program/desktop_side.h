// activator-remote on the desktop: one server's jobs, taken over ssh from
// its server side and handed to the desktop's activator as if a local
// worker had sent them, and their clicks sent back.
#pragma once

#include <string>

#include "remote_program/remote_options.h"

namespace activator::remote {

// Links to `options.destination` through `ssh_program` until an end is
// requested (SIGINT, SIGTERM), linking again after each drop with a growing
// pause. Returns the exit status.
int RunDesktopSide(const RemoteOptions& options, const std::string& ssh_program);

// The description line of a server's job on the desktop: the server's name,
// then the worker's own description, within the activator's bound.
std::string RemoteDescription(const std::string& host, const std::string& description);

// The server as its jobs' notifications name it: the destination without
// its user, printable ASCII only, at most 64 bytes.
std::string DisplayHost(const std::string& destination);

}  // namespace activator::remote
