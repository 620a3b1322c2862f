// Entry of the activator. It takes no arguments and reads no configuration: a
// start by hand and a start by the desktop run the same sequence. (The Linux
// port takes PATH and the session bus address from the environment; see the
// README's build constants.)
#include <cstdlib>

#include "host/startup.h"

int main(int /*argc*/, char** /*argv*/) {
  const int exit_code = activator::RunActivator();
  // Only a failed start gets here, possibly with worker threads already
  // running: end without destroying the process-wide objects under them.
  std::_Exit(exit_code);
}
