// The command line of activator-run, and the job id it gives a run.
#pragma once

#include <string>
#include <vector>

namespace activator {

struct RunOptions {
  bool help = false;
  bool version = false;
  std::string job_id;                // empty: make one up
  std::vector<std::string> command;  // the command and its arguments
  std::string error;                 // non-empty: the one line to print
};

// Reads `args` (the command line without the program's own name):
//   [--id ID | --id=ID] [--help] [--version] [--] COMMAND [ARGUMENTS...]
// Everything from the first word that is not an option (or after "--") is the
// command, passed on untouched.
RunOptions ParseRunOptions(const std::vector<std::string>& args);

// A job id no other run on this machine has, without the user thinking about
// it: the command's name, the start time to the second (UTC) and the process
// id. Two runs alive at the same time never share a process id, and a process
// id is not handed out twice within one second.
std::string MakeJobId(const std::string& command, long long unix_seconds, long process_id);

// Why `job_id` cannot name a job (empty when it can): the job message format
// ends a value at '&', and the id must be text the notification can carry.
std::string ProblemWithJobId(const std::string& job_id);

extern const char kRunUsage[];

}  // namespace activator
