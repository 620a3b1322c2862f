// The activator's command line. The program takes no arguments for its work:
// a start by hand and a start by the desktop run the same sequence. Besides
// --help and --version it accepts, and ignores, the arguments Windows starts
// it with: COM's "-Embedding" (or "/Embedding") when a client asks for the
// class object, and "----AppNotificationActivated:" (and anything after it in
// the same word) when a click on a notification starts the program.
#pragma once

#include <string>
#include <vector>

namespace activator {

enum class CommandLineAction {
  kRun,      // no argument, or only those Windows passes
  kHelp,     // print kActivatorUsage, exit 0
  kVersion,  // print the version, exit 0
  kUnregister,  // remove the platform's registrations of the program, exit
  kWrong,    // print `error` on one line of standard error, exit 2
};

struct CommandLine {
  CommandLineAction action = CommandLineAction::kRun;
  std::string error;
};

// Exit status of a wrong command line.
inline constexpr int kExitWrongCommandLine = 2;

// Reads `args`, the command line without the program's own name.
CommandLine ParseActivatorCommandLine(const std::vector<std::string>& args);

// The --help text for `program` (the name it was started as), naming the
// build's fixed paths.
std::string ActivatorUsage(const std::string& program);

}  // namespace activator
