#include "run/run_options.h"

#include <ctime>

#include "jobs/job_message.h"

namespace activator {

const char kRunUsage[] =
    "usage: activator-run [--id ID] [--] COMMAND [ARGUMENTS...]\n"
    "\n"
    "Runs COMMAND as a job of the notification activator: an in-progress\n"
    "notification while it runs, a concluded or error one when it ends. Its\n"
    "output goes to the terminal as usual and also into the job's result file,\n"
    "which the notification's \"Exibir Resultado\" button opens afterwards. A\n"
    "click on \"abortar\" ends the command and everything it started.\n"
    "\n"
    "  --id ID   the job's id (default: the command's name, the time and the\n"
    "            process id, unique on this machine)\n"
    "  --help    this text\n"
    "  --version the version\n"
    "\n"
    "The exit status is the command's own (128 + the signal's number when a\n"
    "signal ended it). Without a running activator the command runs all the\n"
    "same, with one warning.\n";

RunOptions ParseRunOptions(const std::vector<std::string>& args) {
  RunOptions options;
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
    if (arg == "--id" || arg.rfind("--id=", 0) == 0) {
      if (arg == "--id") {
        if (i + 1 == args.size()) {
          options.error = "--id needs a value";
          return options;
        }
        options.job_id = args[++i];
      } else {
        options.job_id = arg.substr(5);
      }
      id_given = true;
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
  std::string name = command.substr(command.find_last_of("/\\") + 1);
  std::string id;
  for (char c : name.substr(0, 40)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    id += plain ? c : '_';
  }
  if (id.empty()) id = "job";
  const std::time_t seconds = static_cast<std::time_t>(unix_seconds);
  char stamp[32] = "";
  if (const std::tm* utc = std::gmtime(&seconds))
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", utc);
  return id + "-" + stamp + "-" + std::to_string(process_id);
}

std::string ProblemWithJobId(const std::string& job_id) {
  if (job_id.empty()) return "the job id is empty";
  if (job_id.find('&') != std::string::npos) return "a job id cannot hold '&'";
  if (!IsWellFormedUtf8(job_id)) return "a job id must be UTF-8 text";
  for (char c : job_id) {
    if (static_cast<unsigned char>(c) < 0x20) return "a job id cannot hold control characters";
  }
  return std::string();
}

}  // namespace activator
