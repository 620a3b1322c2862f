// activator-remote: a server's jobs on this desktop's activator, over ssh.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/build_constants.h"
#include "platform/child_process.h"
#include "remote_program/desktop_side.h"
#include "remote_program/remote_options.h"
#include "remote_program/serve_side.h"

int main(int argc, char** argv) {
  using namespace activator;
  using namespace activator::remote;
  std::vector<std::string> args = CommandLineArguments(argc, argv);
  if (!args.empty()) args.erase(args.begin());
  const RemoteOptions options = ParseRemoteOptions(args);
  if (options.help) {
    std::fputs(kRemoteUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("activator-remote %s\n", kVersion);
    return 0;
  }
  if (!options.error.empty()) {
    std::fprintf(stderr, "activator-remote: %s\n", options.error.c_str());
    return 2;
  }
  const char* ssh = std::getenv("ACTIVATOR_SSH");
  const int status = options.serve
                         ? RunServeSide()
                         : RunDesktopSide(options, ssh != nullptr && ssh[0] != '\0' ? ssh : "ssh");
  // The pipes' threads may be in the middle of a client; nothing of theirs
  // needs an orderly end, and what must last is on disk already.
  std::fflush(nullptr);
  std::_Exit(status);
}
