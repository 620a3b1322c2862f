// Shared by the end-to-end runs on a private bus: the program under test is a
// separate process built for this test program's lab (so the test reads its
// debug log and serves its reply sockets), talking to a scripted notification
// server over a private dbus-daemon.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/build_constants.h"
#include "dbus/private_bus.h"
#include "dbus/scripted_server.h"
#include "e2e/program_process.h"
#include "platform/pipes.h"
#include "support/log_capture.h"

namespace activator::testing {

// Generous: sanitizer builds start slowly and the monitor lists every 2 s.
// No test asserts on time.
constexpr int kE2eWaitMs = 20000;

// The calls that put a new notification on screen, not replacing one.
inline std::vector<NotifyCall> NewNotifications(const std::vector<NotifyCall>& calls) {
  std::vector<NotifyCall> shown;
  for (const NotifyCall& call : calls)
    if (call.replaces_id == 0) shown.push_back(call);
  return shown;
}

inline bool WaitUntil(const std::function<bool()>& done, int timeout_ms = kE2eWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Writes one job message as the worker does; the server's pipe may not be up
// yet right after start-up, so opening is retried (bounded).
inline bool SendJobMessage(const std::string& message) {
  return WaitUntil(
      [&] { return WriteMessageToPipe(kJobPipeName, message).status == PipeSendStatus::kSent; });
}

inline int CountLines(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// A private bus, the program on it, and (when asked for) the scripted server.
class BusRunTest : public ::testing::Test {
 protected:
  void StartBus() {
    bus_ = std::make_unique<PrivateBus>();
    ASSERT_TRUE(bus_->running()) << bus_->error();
  }

  void StartServer() {
    server_ = std::make_unique<ScriptedServer>(bus_->address());
    ASSERT_TRUE(server_->ok());
  }

  // Starts the program on the bus and waits until its job pipe server runs.
  // What an earlier run left in the state file is removed first.
  void StartProgram() {
    std::remove(kStateFilePath);
    StartProgramKeepingState();
  }

  void StartProgramKeepingState() {
    const int started = CountLines(log_.Lines(), "PYTHON PIPE SERVER START");
    const int ready = CountLines(log_.Lines(), "PYTHON PIPE READY");
    ASSERT_TRUE(
        program_.Start(DBUS_E2E_PROGRAM, {}, {{"DBUS_SESSION_BUS_ADDRESS", bus_->address()}}));
    ASSERT_TRUE(WaitUntil([&] {
      const std::vector<std::string> lines = log_.Lines();
      return CountLines(lines, "PYTHON PIPE SERVER START") > started &&
             CountLines(lines, "PYTHON PIPE READY") > ready;
    })) << ::testing::PrintToString(log_.Lines());
  }

  // SIGKILL, then started again as the session service would.
  void KillAndRestartProgram() {
    program_.Kill();
    StartProgramKeepingState();
  }

  void TearDown() override {
    program_.Kill();
    server_.reset();
    bus_.reset();
  }

  LogTail log_;  // the program's log: this test program's lab is its lab
  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<ScriptedServer> server_;
  ProgramProcess program_;
};

}  // namespace activator::testing
