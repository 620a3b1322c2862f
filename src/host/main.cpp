// Entry of the activator. It takes no arguments for its work and reads no
// configuration: a start by hand and a start by the desktop run the same
// sequence. (The Linux port takes PATH and the session bus address from the
// environment; see the README's build constants.) --help and --version print
// and end, --unregister removes its registrations for an uninstall; the
// arguments Windows starts it with change nothing.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/build_constants.h"
#include "host/command_line.h"
#include "host/startup.h"
#include "platform/console.h"

namespace {

// The name the program was started as, without its folder.
std::string ProgramName(const char* argv0) {
  std::string name = argv0 != nullptr && *argv0 != '\0' ? argv0 : "activator";
  return name.substr(name.find_last_of("/\\") + 1);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace activator;
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const CommandLine line = ParseActivatorCommandLine(args);
  const std::string program = ProgramName(argc > 0 ? argv[0] : nullptr);
  if (line.action == CommandLineAction::kHelp || line.action == CommandLineAction::kVersion ||
      line.action == CommandLineAction::kWrong) {
    ReachStartersConsole();
  }
  switch (line.action) {
    case CommandLineAction::kHelp:
      std::fputs(ActivatorUsage(program).c_str(), stdout);
      return 0;
    case CommandLineAction::kVersion:
      std::printf("%s %s\n", program.c_str(), kVersion);
      return 0;
    case CommandLineAction::kUnregister:
      // The platform's threads may still run: the same plain end as below.
      std::_Exit(UnregisterActivator());
    case CommandLineAction::kWrong:
      std::fprintf(stderr, "%s: %s\n", program.c_str(), line.error.c_str());
      return kExitWrongCommandLine;
    case CommandLineAction::kRun:
      break;
  }
  const int exit_code = RunActivator();
  // Only a failed start gets here, possibly with worker threads already
  // running: end without destroying the process-wide objects under them.
  std::_Exit(exit_code);
}
