// The command line of activator-run, and the job id it gives a run.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace activator {

// The longest job id, in bytes: what a notification's tag holds on every
// system (64 characters on Windows).
inline constexpr std::size_t kMaxJobIdBytes = 64;
// Results of activator-run older than this many days go at the next run.
inline constexpr double kDefaultKeepDays = 28;

struct RunOptions {
  bool help = false;
  bool version = false;
  std::string job_id;                   // empty: make one up
  double after_seconds = 0;             // announce only once the command ran this long
  double keep_days = kDefaultKeepDays;  // 0: keep results for ever
  std::vector<std::string> command;     // the command and its arguments
  std::string error;                    // non-empty: the one line to print
};

// The environment's defaults for the options (the variables' raw values;
// empty when unset).
struct RunEnvironment {
  std::string after;      // ACTIVATOR_RUN_AFTER
  std::string keep_days;  // ACTIVATOR_RUN_KEEP_DAYS
};

// Reads `args` (the command line without the program's own name):
//   [--id ID] [--after SECONDS] [--keep-days DAYS] [--help] [--version] [--] COMMAND [ARGUMENTS...]
// (each option also as --name=VALUE). Everything from the first word that is
// not an option (or after "--") is the command, passed on untouched. An
// option on the command line wins over the environment's default.
RunOptions ParseRunOptions(const std::vector<std::string>& args, const RunEnvironment& env = {});

// A job id no other run on this machine has, without the user thinking about
// it: the command's name, the start time to the second (UTC) and the process
// id. Two runs alive at the same time never share a process id, and a process
// id is not handed out twice within one second. The name is shortened so the
// id stays within kMaxJobIdBytes.
std::string MakeJobId(const std::string& command, long long unix_seconds, long process_id);

// Why `job_id` cannot name a job (empty when it can): the job message format
// ends a value at '&', the id names a result file, must fit a notification's
// tag and be text the notification can carry.
std::string ProblemWithJobId(const std::string& job_id);

extern const char kRunUsage[];

}  // namespace activator
