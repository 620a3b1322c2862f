// The baselines of the Linux intake benchmark: the job pipe served the way
// the program serves it - one instance kept for every client, one connection
// and one read at a time, with the program's size, time and pause limits -
// and nothing else; with <lines> > 0, each message also appends that many
// lines to <log path> the way the debug log does (one open, append and close
// each, with the debug log's rollover).
//
// Usage: pipe_baseline <lines> <log path>     (runs until ended)
#include <cstdlib>
#include <optional>
#include <string>

#include "base/build_constants.h"
#include "intake/job_pipe_server.h"
#include "jobs/job_message.h"
#include "log/debug_log.h"
#include "platform/files.h"
#include "platform/pipes.h"

int main(int argc, char** argv) {
  using namespace activator;
  const int lines = argc > 1 ? std::atoi(argv[1]) : 0;
  const std::string log = argc > 2 ? argv[2] : "";
  const FileRollover rollover{kDebugLogLimit, log + ".1"};
  std::optional<PipeServerInstance> pipe;
  for (;;) {
    if (!pipe) {
      PipeErrorCode error = 0;
      pipe = PipeServerInstance::Create(kJobPipeName, &error);
      if (!pipe) return 1;
    }
    if (!pipe->WaitForClient()) {
      pipe.reset();
      continue;
    }
    const PipeReadResult read =
        pipe->ReadMessage(kMaxJobMessageBytes, kJobMessageWait, kJobMessagePause);
    if (read.status == PipeReadStatus::kRead) {
      for (int i = 0; i < lines; ++i) WriteLogLineTo(log.c_str(), read.bytes, rollover);
    }
    pipe->Disconnect();
  }
}
