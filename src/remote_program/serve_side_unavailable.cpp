// activator-remote --serve where no server side is built (Windows): servers
// run Linux, and this program is the desktop's end of the link there.
#include <cstdio>

#include "remote_program/serve_side.h"

namespace activator::remote {

int RunServeSide() {
  std::fputs(
      "activator-remote --serve: the server side runs on Linux; on this system "
      "activator-remote is the desktop's end of the link only\n",
      stderr);
  return 1;
}

}  // namespace activator::remote
