#include "host/command_line.h"

#include "base/build_constants.h"
#include "host/startup.h"

namespace activator {

namespace {

bool IsWindowsActivationArgument(const std::string& arg) {
  return arg == "-Embedding" || arg == "/Embedding" ||
         arg.rfind("----AppNotificationActivated:", 0) == 0;
}

}  // namespace

CommandLine ParseActivatorCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  for (const std::string& arg : args) {
    if (IsWindowsActivationArgument(arg)) continue;
    if (arg == "--help" || arg == "-h") return {CommandLineAction::kHelp, {}};
    if (arg == "--version") return {CommandLineAction::kVersion, {}};
    if (arg == kUnregisterArgument && args.size() == 1) return {CommandLineAction::kUnregister, {}};
    return {CommandLineAction::kWrong,
            "unknown argument '" + arg + "': the activator takes none (try --help)"};
  }
  return line;
}

std::string ActivatorUsage(const std::string& program) {
  std::string usage = "usage: " + program + " [--help | --version | --unregister]\n";
  usage +=
      "\n"
      "The notification activator: reads job messages from the job pipe and\n"
      "shows one desktop notification per job; a click on a notification's\n"
      "button goes back to the job's worker. It runs until it is ended, takes\n"
      "no arguments and reads no configuration: what it uses was fixed when it\n"
      "was built.\n\n";
  usage += "  job pipe     " + std::string(kJobPipeName) + "\n";
  if (*kPipeDirectory != '\0')
    usage += "               (a socket in " + std::string(kPipeDirectory) + ")\n";
  usage += "  debug log    " + std::string(kDebugLogPath) + " (while its folder exists)\n";
  usage += "  results      " + std::string(kResultsPrefix) + "<job id>.path\n";
  usage += "  text editor  " + std::string(kTextEditor) + "\n";
  usage +=
      "\n"
      "  --help       this text\n"
      "  --version    the version\n"
      "  --unregister remove the notification platform's registration of the\n"
      "               program and end (the uninstall step on Windows)\n";
  return usage;
}

}  // namespace activator
