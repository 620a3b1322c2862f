#include "run/run_options.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

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
    "  --description TEXT the line under the notification's title (default: the\n"
    "                     command line); at its end it also says how the command\n"
    "                     ended and how long it took\n"
    "                       activator-run --description 'nightly backup' -- ./backup.sh\n"
    "  --progress         a progress bar, moved by each line of the command's output\n"
    "                     that ends in a percentage (\"12%\", \"40 %\", \"12.5%\")\n"
    "                       activator-run --progress -- curl -# -O https://example.org/big.iso\n"
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
    if (arg == "--progress") {
      options.progress = true;
      continue;
    }
    // The options that take a value, as "--name VALUE" or "--name=VALUE".
    std::string value;
    std::string name;
    for (const char* known : {"--id", "--after", "--keep-days", "--description"}) {
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
    if (name == "--description") {
      options.description = value;
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

namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";            // U+2026
constexpr std::string_view kFirstStrongIsolate = "\xE2\x81\xA8";  // U+2068
constexpr std::string_view kPopIsolate = "\xE2\x81\xA9";          // U+2069

// The code point at `at` of well-formed UTF-8, and its length.
std::pair<char32_t, std::size_t> CodePointAt(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  if (byte(0) < 0x80) return {byte(0), 1};
  if (byte(0) < 0xE0) return {(byte(0) & 0x1Fu) << 6 | (byte(1) & 0x3Fu), 2};
  if (byte(0) < 0xF0)
    return {(byte(0) & 0x0Fu) << 12 | (byte(1) & 0x3Fu) << 6 | (byte(2) & 0x3Fu), 3};
  return {(byte(0) & 0x07u) << 18 | (byte(1) & 0x3Fu) << 12 | (byte(2) & 0x3Fu) << 6 |
              (byte(3) & 0x3Fu),
          4};
}

// Text that can turn what follows it around: a bidirectional control, or a
// letter of a right-to-left script.
bool NeedsIsolating(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto [c, length] = CodePointAt(text, i);
    i += length;
    if (c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
        (c >= 0x2066 && c <= 0x2069) || (c >= 0x0590 && c <= 0x08FF) ||
        (c >= 0xFB1D && c <= 0xFDFF) || (c >= 0xFE70 && c <= 0xFEFF) ||
        (c >= 0x10800 && c <= 0x10FFF) || (c >= 0x1E800 && c <= 0x1EFFF))
      return true;
  }
  return false;
}

// `text` in an isolate of its own, followed by `ending`: whatever direction
// the user's text sets, the ending reads as written. A pop the text has no
// isolate of its own for would end ours early, so it goes; one the text
// opens and leaves open (or that a cut left open) is closed before ours.
std::string Isolated(std::string_view text, std::string_view ending) {
  std::string body;
  for (std::size_t i = 0, depth = 0; i < text.size();) {
    const auto [c, length] = CodePointAt(text, i);
    if (c >= 0x2066 && c <= 0x2068) ++depth;
    if (c != 0x2069 || depth > 0) body.append(text.substr(i, length));
    if (c == 0x2069 && depth > 0) --depth;
    i += length;
  }
  auto open_in = [&body](std::size_t end) {
    std::size_t depth = 0;
    for (std::size_t i = 0; i < end;) {
      const auto [c, length] = CodePointAt(body, i);
      if (c >= 0x2066 && c <= 0x2068) ++depth;
      if (c == 0x2069) --depth;
      i += length;
    }
    return depth;
  };
  auto join = [&](std::size_t end, std::string_view cut_mark) {
    std::string all(kFirstStrongIsolate);
    all.append(body, 0, end);
    for (std::size_t n = open_in(end); n > 0; --n) all += kPopIsolate;
    all += cut_mark;
    all += kPopIsolate;
    return all + std::string(ending);
  };
  std::string whole = join(body.size(), "");
  if (whole.size() <= kMaxDescriptionBytes) return whole;
  // Cut on a character's boundary, each cut costing the pops it needs.
  for (std::size_t end = body.empty() ? 0 : std::min(body.size() - 1, kMaxDescriptionBytes);;
       --end) {
    while (end > 0 && (static_cast<unsigned char>(body[end]) & 0xC0) == 0x80) --end;
    std::string cut = join(end, kEllipsis);
    if (cut.size() <= kMaxDescriptionBytes || end == 0) return cut;
  }
}

}  // namespace

std::string JobDescription(std::string_view text, std::string_view ending) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
  // One character at a time: a character the notification could not carry
  // would make the activator drop the whole description.
  auto one_line = [](std::string_view in) {
    std::string out;
    for (std::size_t i = 0; i < in.size();) {
      const auto lead = static_cast<unsigned char>(in[i]);
      const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
      const std::string_view character = in.substr(i, length);
      if (length > 1 && !IsWellFormedUtf8(character)) {
        out += kReplacement;
        ++i;
        continue;
      }
      if (length > 1 && HasNoncharacter(character)) {
        out += kReplacement;
        i += length;
        continue;
      }
      const bool control = lead < 0x20 || lead == 0x7F ||
                           (lead == 0xC2 && static_cast<unsigned char>(character[1]) <= 0x9F);
      out += control ? std::string_view(" ") : character;
      i += length;
    }
    return out;
  };
  std::string head = one_line(text);
  const std::string tail = one_line(ending);
  if (NeedsIsolating(head)) return Isolated(head, tail);
  if (head.size() + tail.size() <= kMaxDescriptionBytes) return head + tail;
  const std::size_t room = kMaxDescriptionBytes > tail.size() + kEllipsis.size()
                               ? kMaxDescriptionBytes - tail.size() - kEllipsis.size()
                               : 0;
  std::size_t cut = std::min(room, head.size());
  while (cut > 0 && (static_cast<unsigned char>(head[cut]) & 0xC0) == 0x80) --cut;
  head.resize(cut);
  return head + std::string(kEllipsis) + tail;
}

std::string DescribeRunEnd(int status, int signal, bool result_cut, double seconds) {
  std::string how = signal != 0   ? "signal " + std::to_string(signal)
                    : status != 0 ? "status " + std::to_string(status)
                    : result_cut  ? "status 0 (result cut)"
                                  : "ok";
  char took[48];
  const long long whole = static_cast<long long>(seconds);
  if (seconds < 10)
    std::snprintf(took, sizeof took, "%.1f s", seconds);
  else if (whole < 60)
    std::snprintf(took, sizeof took, "%lld s", whole);
  else if (whole < 3600)
    std::snprintf(took, sizeof took, "%lld min %02lld s", whole / 60, whole % 60);
  else
    std::snprintf(took, sizeof took, "%lld h %02lld min", whole / 3600, whole % 3600 / 60);
  return how + " after " + took;
}

}  // namespace activator
