// The baselines of the intake benchmark: the job pipe served by the same pipe
// service as the program, one connection and one read at a time, and nothing
// else; with <lines> > 0, each message also appends that many lines to a log
// file the way the debug log does (one open, append and close each).
//
// Usage: pipe_baseline.exe <lines> <log path>     (runs until ended)
#include <chrono>
#include <cstdlib>
#include <string>

#include "base/build_constants.h"
#include "log/debug_log.h"
#include "platform/pipes.h"

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 0;
  const std::string log = argc > 2 ? argv[2] : "";
  for (;;) {
    activator::PipeErrorCode error = 0;
    std::optional<activator::PipeServerInstance> pipe =
        activator::PipeServerInstance::Create(activator::kJobPipeName, &error);
    if (!pipe) return 1;
    if (pipe->WaitForClient()) {
      // The program's own limit on a silent client, so both read alike.
      const activator::PipeReadResult read =
          pipe->ReadMessage(4096, std::chrono::seconds(5), std::chrono::milliseconds(50));
      if (read.status == activator::PipeReadStatus::kRead) {
        for (int i = 0; i < lines; ++i) activator::WriteLogLineTo(log.c_str(), read.bytes);
      }
    }
    pipe->DisconnectAndClose();
  }
}
