// activator-run: any command as a job of the notification activator.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/build_constants.h"
#include "platform/child_process.h"
#include "run/run_options.h"
#include "run/wrapped_job.h"

int main(int argc, char** argv) {
  using namespace activator;
  std::vector<std::string> args = CommandLineArguments(argc, argv);
  if (!args.empty()) args.erase(args.begin());
  auto variable = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value != nullptr ? value : "");
  };
  const RunOptions options = ParseRunOptions(
      args, RunEnvironment{variable("ACTIVATOR_RUN_AFTER"), variable("ACTIVATOR_RUN_KEEP_DAYS")});
  if (options.help) {
    std::fputs(kRunUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("activator-run %s\n", kVersion);
    return 0;
  }
  if (!options.error.empty()) {
    std::fprintf(stderr, "activator-run: %s\n", options.error.c_str());
    return 2;
  }
  PrepareLabFolders();
  int ending_signal = 0;
  const int status = RunWrappedJob(options, &ending_signal);
  // The reply pipe's thread may still wait for a click; nothing of it needs
  // an orderly end.
  ExitAsCommandEnded(status, ending_signal);
}
