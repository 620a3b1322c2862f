// The command line of activator-run, and the job id and description it gives
// a run.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
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
  std::string job_id;                      // empty: make one up
  double after_seconds = 0;                // announce only once the command ran this long
  double keep_days = kDefaultKeepDays;     // 0: keep results for ever
  std::optional<std::string> description;  // absent: the command line
  bool progress = false;                   // read progress from the output
  std::vector<std::string> command;        // the command and its arguments
  std::string error;                       // non-empty: the one line to print
};

// The environment's defaults for the options (the variables' raw values;
// empty when unset).
struct RunEnvironment {
  std::string after;      // ACTIVATOR_RUN_AFTER
  std::string keep_days;  // ACTIVATOR_RUN_KEEP_DAYS
};

// Reads `args` (the command line without the program's own name):
//   [--id ID] [--after SECONDS] [--keep-days DAYS] [--description TEXT] [--progress]
//   [--help] [--version] [--] COMMAND [ARGUMENTS...]
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

// `text` as a notification's description line, followed by `ending`: one
// line of well-formed UTF-8 (a control character becomes a space, a byte that
// is not UTF-8 or a noncharacter U+FFFD), at most kMaxDescriptionBytes. When
// it is longer, `text` is cut on a character's boundary and ends in "…";
// `ending` stays whole.
std::string JobDescription(std::string_view text, std::string_view ending = {});

// How a run ended and how long it took, for the end of its description:
// "ok after 4.2 s", "status 2 after 3 min 05 s", "signal 9 after 12 s".
// `result_cut`: the command succeeded but its result file was cut short.
std::string DescribeRunEnd(int status, int signal, bool result_cut, double seconds);

extern const char kRunUsage[];

}  // namespace activator
