// The worker's side of the intake benchmark: writes <count> job messages to
// the job pipe, one connection each, as fast as the server takes them, and
// prints the rate. The same client for the program and both baselines.
//
// Usage: intake_client.exe <count> <message>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/build_constants.h"
#include "platform/os/windows_support.h"

namespace {

// One message on one connection; waits while the server has no free instance
// (between two connections it makes a new one).
bool SendOne(const std::string& message) {
  for (;;) {
    activator::UniqueHandle pipe(::CreateFileA(activator::kJobPipeName, GENERIC_WRITE, 0, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    if (pipe) {
      DWORD written = 0;
      return ::WriteFile(pipe.get(), message.data(), static_cast<DWORD>(message.size()), &written,
                         nullptr) &&
             written == message.size();
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_PIPE_BUSY) {
      ::WaitNamedPipeA(activator::kJobPipeName, 1000);
    } else if (error == ERROR_FILE_NOT_FOUND) {
      ::Sleep(0);
    } else {
      return false;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: intake_client.exe <count> <message>\n");
    return 2;
  }
  const int count = std::atoi(argv[1]);
  const std::string message = argv[2];
  // The server is up once a first message goes through; it is not timed.
  if (!SendOne(message)) return 1;
  const auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    if (!SendOne(message)) return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("%d messages in %.3f s: %.0f messages/s\n", count, seconds, count / seconds);
  return 0;
}
