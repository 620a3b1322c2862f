#include "run/run_options.h"

#include <cstdlib>
#include <ctime>

#include "jobs/job_message.h"

namespace activator {

const char kRunUsage[] =
    "usage: activator-run [OPTIONS] [--] COMMAND [ARGUMENTS...]\n"
    "\n"
    "Runs COMMAND as a job of the notification activator: an in-progress\n"
    "notification while it runs, a concluded or error one when it ends. Its\n"
    "output goes to the terminal as usual and also into the job's result file,\n"
    "which the notification's \"Exibir Resultado\" button opens afterwards. A\n"
    "click on \"abortar\" ends the command and everything it started.\n"
    "\n"
    "  --id ID            the job's id: at most 64 bytes, no '/', '\\', '&' or\n"
    "                     control characters (default: the command's name, the\n"
    "                     time and the process id); a reused id starts afresh\n"
    "                       activator-run --id nightly-backup -- ./backup.sh\n"
    "  --after SECONDS    show the job only once the command has run this long;\n"
    "                     a shorter run shows nothing (default: $ACTIVATOR_RUN_AFTER, or 0)\n"
    "                       activator-run --after 10 -- make\n"
    "  --keep-days DAYS   remove results of activator-run older than this (0: never;\n"
    "                     default: $ACTIVATOR_RUN_KEEP_DAYS, or 28)\n"
    "                       activator-run --keep-days 7 -- ./report.sh\n"
    "  --help             this text\n"
    "                       activator-run --help\n"
    "  --version          the version\n"
    "                       activator-run --version\n"
    "\n"
    "The exit status is the command's own (128 + the signal's number when a\n"
    "signal ended it; 2 for a wrong command line). Without a running activator\n"
    "the command runs all the same, with one warning.\n";

namespace {

// A non-negative number ("10", "0.5") of `unit`, or a one-line complaint
// about it.
bool ReadNumber(const std::string& text, const std::string& what, const char* unit, double* value,
                std::string* error) {
  char* end = nullptr;
  const double number = text.empty() ? -1 : std::strtod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != '\0' || !(number >= 0) || number > 1e9) {
    *error = what + ": \"" + text + "\" is not a number of " + unit;
    return false;
  }
  *value = number;
  return true;
}

}  // namespace

RunOptions ParseRunOptions(const std::vector<std::string>& args, const RunEnvironment& env) {
  RunOptions options;
  if (!env.after.empty() && !ReadNumber(env.after, "ACTIVATOR_RUN_AFTER", "seconds",
                                        &options.after_seconds, &options.error))
    return options;
  if (!env.keep_days.empty() && !ReadNumber(env.keep_days, "ACTIVATOR_RUN_KEEP_DAYS", "days",
                                            &options.keep_days, &options.error))
    return options;

  std::size_t i = 0;
  bool id_given = false;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    }
    if (arg == "--version") {
      options.version = true;
      return options;
    }
    // The options that take a value, as "--name VALUE" or "--name=VALUE".
    std::string value;
    std::string name;
    for (const char* known : {"--id", "--after", "--keep-days"}) {
      const std::string option = known;
      if (arg == option) {
        if (i + 1 == args.size()) {
          options.error = option + " needs a value";
          return options;
        }
        name = option;
        value = args[++i];
      } else if (arg.rfind(option + "=", 0) == 0) {
        name = option;
        value = arg.substr(option.size() + 1);
      }
      if (!name.empty()) break;
    }
    if (name == "--id") {
      options.job_id = value;
      id_given = true;
      continue;
    }
    if (name == "--after") {
      if (!ReadNumber(value, name, "seconds", &options.after_seconds, &options.error))
        return options;
      continue;
    }
    if (name == "--keep-days") {
      if (!ReadNumber(value, name, "days", &options.keep_days, &options.error)) return options;
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      options.error = "unknown option " + arg + " (try --help)";
      return options;
    }
    break;
  }
  options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  if (options.command.empty()) {
    options.error = "no command given (try --help)";
  } else if (id_given) {
    if (const std::string problem = ProblemWithJobId(options.job_id); !problem.empty())
      options.error = "--id: " + problem;
  }
  return options;
}

std::string MakeJobId(const std::string& command, long long unix_seconds, long process_id) {
  const std::time_t seconds = static_cast<std::time_t>(unix_seconds);
  char stamp[32] = "";
  if (const std::tm* utc = std::gmtime(&seconds))
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", utc);
  const std::string suffix = std::string("-") + stamp + "-" + std::to_string(process_id);
  const std::size_t room = suffix.size() < kMaxJobIdBytes ? kMaxJobIdBytes - suffix.size() : 1;

  std::string name = command.substr(command.find_last_of("/\\") + 1);
  std::string id;
  for (char c : name.substr(0, std::min<std::size_t>(40, room))) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    id += plain ? c : '_';
  }
  if (id.empty()) id = "job";
  return id + suffix;
}

std::string ProblemWithJobId(const std::string& job_id) {
  if (job_id.empty()) return "the job id is empty";
  if (job_id.size() > kMaxJobIdBytes)
    return "a job id holds at most " + std::to_string(kMaxJobIdBytes) + " bytes, this one " +
           std::to_string(job_id.size());
  if (job_id.find('&') != std::string::npos) return "a job id cannot hold '&'";
  if (job_id.find_first_of("/\\") != std::string::npos)
    return "a job id names a file and cannot hold '/' or '\\'";
  if (!IsWellFormedUtf8(job_id)) return "a job id must be UTF-8 text";
  for (char c : job_id) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return "a job id cannot hold control characters";
  }
  return std::string();
}

}  // namespace activator
