#include "remote_program/remote_options.h"

#include <string_view>

namespace activator::remote {

namespace {

constexpr std::string_view kValueOptions = "piJoFl";
constexpr std::string_view kFlagOptions = "46Cqv";

// One word for a POSIX shell, which is what sshd runs the command with.
std::string ShellWord(const std::string& word) {
  bool plain = !word.empty();
  for (const char c : word) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '/' || c == '.' || c == '_' || c == '-' || c == '~' || c == '+';
    if (!safe) plain = false;
  }
  // A leading '~' is left for the shell to expand: "~/.local/bin/..." is what
  // a home install is called.
  if (plain) return word;
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

}  // namespace

RemoteOptions ParseRemoteOptions(const std::vector<std::string>& args) {
  RemoteOptions options;
  auto fail = [&](std::string error) {
    if (options.error.empty()) options.error = std::move(error);
    return options;
  };
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_ended && arg == "--") {
      options_ended = true;
      continue;
    }
    if (options_ended || arg.empty() || arg[0] != '-') {
      if (!options.destination.empty()) return fail("one server only: " + arg + " (try --help)");
      if (arg.empty()) return fail("the server's name is empty");
      options.destination = arg;
      continue;
    }
    if (arg == "--help") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--serve") {
      options.serve = true;
    } else if (arg == "--server-program" || arg.rfind("--server-program=", 0) == 0) {
      if (arg.size() > 16) {
        options.server_program = arg.substr(17);
      } else if (i + 1 < args.size()) {
        options.server_program = args[++i];
      } else {
        return fail("--server-program needs a value");
      }
      if (options.server_program.empty()) return fail("--server-program: the path is empty");
    } else if (arg.size() >= 2 && arg[1] != '-' &&
               kValueOptions.find(arg[1]) != std::string_view::npos) {
      options.ssh_options.push_back(arg.substr(0, 2));
      if (arg.size() > 2) {
        options.ssh_options.push_back(arg.substr(2));
      } else if (i + 1 < args.size()) {
        options.ssh_options.push_back(args[++i]);
      } else {
        return fail(arg + " needs a value");
      }
    } else if (arg.size() == 2 && kFlagOptions.find(arg[1]) != std::string_view::npos) {
      options.ssh_options.push_back(arg);
    } else {
      return fail("unknown option " + arg + " (try --help)");
    }
  }
  if (options.help || options.version) return options;
  if (options.serve) {
    if (!options.destination.empty() || !options.ssh_options.empty())
      return fail("--serve takes nothing else: it is started by the link on the server");
    return options;
  }
  if (options.destination.empty()) return fail("no server given (try --help)");
  return options;
}

std::vector<std::string> SshCommandLine(const RemoteOptions& options,
                                        const std::string& ssh_program) {
  std::vector<std::string> argv = {ssh_program, "-T", "-e", "none"};
  argv.insert(argv.end(), options.ssh_options.begin(), options.ssh_options.end());
  // A link whose network went away without a word is noticed within a
  // minute, and linked again. After the user's options: ssh keeps the first
  // value it is given, so theirs win.
  argv.insert(argv.end(), {"-o", "ServerAliveInterval=15", "-o", "ServerAliveCountMax=3"});
  argv.push_back("--");
  argv.push_back(options.destination);
  argv.push_back(ShellWord(options.server_program) + " --serve");
  return argv;
}

const char kRemoteUsage[] =
    "usage: activator-remote [ssh options] [--server-program PATH] [user@]host\n"
    "\n"
    "Shows the jobs of a server reached over ssh on this desktop's activator, and\n"
    "sends their clicks back: abortar reaches the worker on the server, and Exibir\n"
    "Resultado opens a copy of the result here once that worker is gone. Runs until\n"
    "interrupted, and links again by itself when the link drops.\n"
    "\n"
    "  -p PORT -i KEY -J JUMP -o OPTION -F CONFIG -l USER, -4 -6 -C -q -v\n"
    "                          passed to ssh unchanged\n"
    "  --server-program PATH   activator-remote on the server (default: found along\n"
    "                          the PATH of a non-interactive ssh session)\n"
    "  --serve                 the server side; started by the link, never by hand\n"
    "  --help                  this text\n"
    "  --version               the version\n"
    "\n"
    "ACTIVATOR_SSH names the ssh program (default: ssh).\n";

}  // namespace activator::remote
