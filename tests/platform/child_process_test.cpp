// The child process service against the system's own shell: status and
// output as the command gave them, and a stop that ends the whole tree.
#include "platform/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>

#include "support/platform_guard.h"

#if defined(_WIN32)
#include "platform/windows/console_control.h"
#endif

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

#if defined(_WIN32)

constexpr auto kPatience = std::chrono::seconds(30);

std::optional<ChildProcess> StartLong() {
  ChildStartFailure failure;
  std::optional<ChildProcess> child =
      ChildProcess::Start(Shell("ping -n 60 127.0.0.1 & ping -n 60 127.0.0.1"), &failure);
  EXPECT_TRUE(child) << failure.message;
  return child;
}

// The command inherits its standard handles and nothing else: an inheritable
// pipe of ours that the command held would stay open, after we closed our end,
// for as long as the command ran.
TEST(ChildProcess, CommandInheritsNoOtherHandleOfOurs) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(::CreatePipe(&read_end, &write_end, &inheritable, 0));
  UniqueHandle reader(read_end);
  std::optional<ChildProcess> child = StartLong();
  ASSERT_TRUE(child);
  ::CloseHandle(write_end);
  auto closed = std::async(std::launch::async, [&] {
    char byte = 0;
    DWORD got = 0;
    return !::ReadFile(reader.get(), &byte, 1, &got, nullptr);
  });
  const bool ended = closed.wait_for(kPatience) == std::future_status::ready;
  child->ForceStop();  // releases a read held by the command's copy
  child->PumpOutput([](OutputStream, std::string_view) { return true; });
  child->Wait();
  EXPECT_TRUE(ended) << "the command held our pipe open";
}

// A closed console ends this process as soon as its handler returns, whatever
// it returns: by then the command and what it started must have been ended.
TEST(ChildProcess, ClosedConsoleEndsTheCommandBeforeTheHandlerReturns) {
  std::optional<ChildProcess> child = StartLong();
  ASSERT_TRUE(child);
  child->ForwardInterrupts();
  auto ended = std::async(std::launch::async, [&] {
    child->PumpOutput([](OutputStream, std::string_view) { return true; });
    return child->Wait();
  });
  EXPECT_TRUE(ForwardConsoleControl(CTRL_CLOSE_EVENT));
  const bool stopped = ended.wait_for(kPatience) == std::future_status::ready;
  child->ForceStop();
  EXPECT_TRUE(stopped);
  ended.wait();
}

#endif

}  // namespace
}  // namespace activator
