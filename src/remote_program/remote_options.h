// The command line of activator-remote.
#pragma once

#include <string>
#include <vector>

namespace activator::remote {

struct RemoteOptions {
  bool help = false;
  bool version = false;
  bool serve = false;                               // the server side, started by the link
  std::vector<std::string> ssh_options;             // passed to ssh as they came
  std::string destination;                          // [user@]host, as the user typed it
  std::string server_program = "activator-remote";  // run on the server over ssh
  std::string error;                                // non-empty: the one line to print
};

// Reads `args` (the command line without the program's own name):
//   [ssh options] [--server-program PATH] [user@]host
//   --serve | --help | --version
// ssh's options that take a value (-p -i -J -o -F -l) keep it, glued
// ("-p2222") or as the next word; its flags -4 -6 -C -q -v pass alone (not -A: the server is
// trusted less than the desktop). Everything else that starts with '-' is refused: ssh would take
// it as something this program does not expect (a command, a forwarding).
RemoteOptions ParseRemoteOptions(const std::vector<std::string>& args);

// The ssh command line of one link: `ssh_program`, no terminal and no escape
// character (the link carries raw bytes), the user's options, keep-alives,
// then the
// destination and the server side's command, quoted for the server's shell.
std::vector<std::string> SshCommandLine(const RemoteOptions& options,
                                        const std::string& ssh_program);

extern const char kRemoteUsage[];

}  // namespace activator::remote
