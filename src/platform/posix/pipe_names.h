// How the POSIX port names pipes: "\\.\pipe\NAME" is the Unix domain socket
// <pipe directory>/NAME; any other name is a socket path as it stands.
#pragma once

#include <string>

namespace activator {

std::string SocketPathForPipe(const std::string& pipe_name);

}  // namespace activator
