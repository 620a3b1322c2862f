// How much memory the program keeps over a long life: it runs against a
// notification server that closes every notification as soon as it is shown
// (as a user who dismisses each one would), while jobs are announced and
// concluded one after another. The resident set is read at each tenth of the
// run; a program that forgets finished jobs levels off, one that keeps them
// grows with every job.
//
// Usage: memory_run PROGRAM JOBS   (prints one line per tenth, then a summary)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "dbus/private_bus.h"
#include "dbus/scripted_server.h"
#include "e2e/program_process.h"
#include "platform/pipes.h"
#include "base/build_constants.h"

namespace {

using activator::testing::PrivateBus;
using activator::testing::ProgramProcess;
using activator::testing::ScriptedServer;

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

bool Send(const std::string& message) {
  // The program serves one client at a time: a busy pipe is tried again.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const activator::PipeSendResult sent = activator::WriteMessageToPipe(activator::kJobPipeName, message);
    if (sent.status == activator::PipeSendStatus::kSent) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

bool WaitForConcluded(ScriptedServer& server, const std::string& id) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const activator::testing::NotifyCall& call : server.Calls()) {
      const std::string tail = "\n" + id;
      if (call.body.find("Processo Concluido") != std::string::npos && call.body.size() >= tail.size() &&
          call.body.compare(call.body.size() - tail.size(), tail.size(), tail) == 0) {
        server.ResetCalls();
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: memory_run PROGRAM JOBS\n");
    return 2;
  }
  const long jobs = std::strtol(argv[2], nullptr, 10);
  PrivateBus bus;
  if (!bus.running()) {
    std::fprintf(stderr, "memory_run: %s\n", bus.error().c_str());
    return 1;
  }
  // From an empty state, as every run must do the same work.
  ::unlink(activator::kStateFilePath);
  ScriptedServer server(bus.address());
  server.CloseRightAfterReply(true);
  ProgramProcess program;
  if (!program.Start(argv[1], {}, {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DISPLAY", ""}})) {
    std::fprintf(stderr, "memory_run: cannot start %s\n", argv[1]);
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  long first_kib = -1;
  for (long i = 1; i <= jobs; ++i) {
    const std::string id = "M" + std::to_string(i);
    if (!Send("acao=continuar&id_execucao=" + id + "&pipe=\\\\.\\pipe\\w" + id +
              "&estado=executando") ||
        !Send("acao=atualizar&id_execucao=" + id + "&estado=concluido")) {
      std::fprintf(stderr, "memory_run: the job pipe took nothing at job %ld\n", i);
      return 1;
    }
    // The run waits for each hundredth job's concluded notification, so the
    // queue stays short and what grows is what the program keeps of past jobs.
    if (i % 100 == 0 && !WaitForConcluded(server, id)) {
      std::fprintf(stderr, "memory_run: job %s was never shown concluded\n", id.c_str());
      return 1;
    }
    if (i % (jobs / 10 > 0 ? jobs / 10 : 1) == 0) {
      const long kib = ResidentKiB(program.pid());
      if (first_kib < 0) first_kib = kib;
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf("%ld jobs: resident %ld KiB (%.0f s)\n", i, kib, seconds);
      std::fflush(stdout);
    }
  }
  const long last_kib = ResidentKiB(program.pid());
  std::printf("after %ld jobs announced, concluded and closed: resident %ld KiB, %.0f bytes per job"
              " since the first tenth\n",
              jobs, last_kib,
              jobs >= 10 ? (last_kib - first_kib) * 1024.0 / (jobs - jobs / 10) : 0.0);
  program.Kill();
  return 0;
}
