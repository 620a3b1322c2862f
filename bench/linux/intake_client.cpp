// The worker's side of the Linux intake benchmark: writes <count> job
// messages to the job pipe, one connection each, as fast as the server's
// backlog takes them, and prints the rate. The same client for the program
// and both baselines.
//
// A Unix socket queues connections the server has not accepted yet, so a
// client that only wrote would time its own writes, not the server. The last
// message is therefore sent with the socket's write side shut and its reply
// awaited: the server closes that connection only once it has handled it,
// and it serves connections in order, so every message before it has been
// handled too. A first message, not timed, goes the same way and shows that
// the server is up.
//
// In <message>, "{}" stands for the message's number (0, 1, ...), so that
// every message can name a job of its own.
//
// Usage: intake_client <count> <message>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "base/build_constants.h"
#include "platform/posix/pipe_names.h"
#include "platform/socket_test_client.h"

namespace {

using activator::UniqueFd;

std::string JobPipePath() { return activator::SocketPathForPipe(activator::kJobPipeName); }

// Connects, waiting up to 10 s for a server that is not listening yet. A full
// backlog needs no retry: a blocking connect waits for room.
UniqueFd Connect(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    UniqueFd fd = activator::testing::ConnectToSocket(path);
    if (fd || std::chrono::steady_clock::now() > deadline) return fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string Numbered(const std::string& message, int number) {
  const std::size_t at = message.find("{}");
  if (at == std::string::npos) return message;
  return message.substr(0, at) + std::to_string(number) + message.substr(at + 2);
}

bool Send(const std::string& path, const std::string& message) {
  UniqueFd fd = Connect(path);
  return fd && activator::testing::SendAll(fd.get(), message);
}

// Sends and waits until the server has closed the connection.
bool SendAndWaitForTheServer(const std::string& path, const std::string& message) {
  UniqueFd fd = Connect(path);
  if (!fd || !activator::testing::SendAll(fd.get(), message) || ::shutdown(fd.get(), SHUT_WR) != 0)
    return false;
  char byte;
  ssize_t count;
  do {
    count = ::recv(fd.get(), &byte, 1, 0);
  } while (count < 0 && errno == EINTR);
  return count == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::atoi(argv[1]) < 1) {
    std::fprintf(stderr, "usage: intake_client <count> <message>\n");
    return 2;
  }
  const int count = std::atoi(argv[1]);
  const std::string message = argv[2];
  const std::string path = JobPipePath();
  if (!SendAndWaitForTheServer(path, Numbered(message, count))) {
    std::fprintf(stderr, "intake_client: no server at %s\n", path.c_str());
    return 1;
  }
  const auto began = std::chrono::steady_clock::now();
  for (int i = 0; i + 1 < count; ++i) {
    if (!Send(path, Numbered(message, i))) return 1;
  }
  if (!SendAndWaitForTheServer(path, Numbered(message, count - 1))) return 1;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("%d messages in %.3f s: %.0f messages/s\n", count, seconds, count / seconds);
  return 0;
}
