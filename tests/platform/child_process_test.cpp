// The child process service against the system's own shell: status and
// output as the command gave them, and a stop that ends the whole tree.
#include "platform/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "support/platform_guard.h"

namespace activator {
namespace {

struct Ran {
  int status = -1;
  std::string out;
  std::string err;
};

// A shell line as the platform's shell reads it.
std::vector<std::string> Shell(const std::string& line) {
  if (testing::kWindowsPort) return {"cmd", "/c", line};
  return {"sh", "-c", line};
}

Ran RunToEnd(const std::vector<std::string>& argv) {
  ChildStartFailure failure;
  std::optional<ChildProcess> child = ChildProcess::Start(argv, &failure);
  if (!child) return Ran{failure.status, "", failure.message};
  Ran ran;
  child->PumpOutput([&](OutputStream stream, std::string_view bytes) {
    (stream == OutputStream::kStandardOutput ? ran.out : ran.err).append(bytes);
    return true;
  });
  ran.status = child->Wait();
  return ran;
}

TEST(ChildProcess, StatusAndBothStreamsComeBackAsTheCommandGaveThem) {
  const Ran ran = RunToEnd(Shell("echo out&& echo err 1>&2&& exit 3"));
  EXPECT_EQ(ran.status, 3);
  EXPECT_EQ(ran.out.substr(0, 3), "out");
  EXPECT_EQ(ran.err.substr(0, 3), "err");
  EXPECT_EQ(RunToEnd({"no-such-command-here"}).status, 127);
}

TEST(ChildProcess, ForceStopEndsTheCommandAndWhatItStarted) {
  ChildStartFailure failure;
  // The command's child holds the output pipe open: the pump ends only when
  // both are gone.
  std::optional<ChildProcess> child = ChildProcess::Start(
      testing::kWindowsPort ? Shell("ping -n 60 127.0.0.1 & ping -n 60 127.0.0.1")
                            : Shell("sleep 60 & sleep 60"),
      &failure);
  ASSERT_TRUE(child) << failure.message;
  auto ended = std::async(std::launch::async, [&] {
    child->PumpOutput([](OutputStream, std::string_view) { return true; });
    return child->Wait();
  });
  child->ForceStop();
  ASSERT_EQ(ended.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_NE(ended.get(), 0);
}

}  // namespace
}  // namespace activator
