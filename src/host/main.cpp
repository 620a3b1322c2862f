// Entry of the activator. It reads no configuration: a start by hand, by the
// desktop and by a click run the same sequence. Its one argument of its own,
// "--unregister", removes its registrations for an uninstall. (The Linux port
// takes PATH and the session bus address from the environment; see the
// README's build constants.)
#include <cstdlib>
#include <cstring>

#include "host/startup.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], activator::kUnregisterArgument) == 0) {
    // The platform's threads may still run: the same plain end as below.
    std::_Exit(activator::UnregisterActivator());
  }
  const int exit_code = activator::RunActivator();
  // Only a failed start gets here, possibly with worker threads already
  // running: end without destroying the process-wide objects under them.
  std::_Exit(exit_code);
}
