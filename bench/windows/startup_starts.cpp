// Starts the activator's start-up sequence many times in one process and
// checks that each start's three worker threads run. The thread bodies only
// record that they ran and return at once, so threads end while the next
// start begins: the moment at which a thread library that recycles the
// records of detached threads too early loses a thread.
//
// Usage: startup_starts.exe [starts] [--std-thread]
// With --std-thread the same number of thread triples is started through
// detached std::thread instead, for comparison. Prints one summary line;
// the exit code is 0 when no thread was lost.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "host/startup.h"
#include "platform/fake/fake_notification_centre.h"

namespace {

using activator::AppNotificationManager;

std::atomic<int> g_ran[3];

void RanConsumer(AppNotificationManager) { ++g_ran[0]; }
void RanPipeServer(const AppNotificationManager&) { ++g_ran[1]; }
void RanMonitor(const AppNotificationManager&) { ++g_ran[2]; }
void RanUpdater(const AppNotificationManager&) {}

// Waits, with a bound no healthy start comes near, until every body has run
// `expected[k]` times; returns how many of the three did not.
int MissingAfterWait(const int expected[3]) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    int missing = 0;
    for (int k = 0; k < 3; ++k) missing += g_ran[k].load() < expected[k] ? 1 : 0;
    if (missing == 0 || std::chrono::steady_clock::now() > until) return missing;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string ClassIdFor(int start) {
  char text[40];
  std::snprintf(text, sizeof text, "{8B9C4F9A-5A8D-4B9D-AE65-%012X}", start + 1);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  int starts = 1000;
  bool std_thread = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--std-thread") == 0) {
      std_thread = true;
    } else {
      starts = std::atoi(argv[i]);
    }
  }

  std::optional<AppNotificationManager> manager;
  int expected[3] = {0, 0, 0};
  int lost = 0;
  int failed_starts = 0;
  const auto began = std::chrono::steady_clock::now();
  for (int start = 0; start < starts; ++start) {
    if (std_thread) {
      std::thread([] { ++g_ran[0]; }).detach();
      std::thread([] { ++g_ran[1]; }).detach();
      std::thread([] { ++g_ran[2]; }).detach();
    } else {
      activator::fake::Reset();
      const activator::StartupSettings settings{
          STANDIN_BOOTSTRAP_LIBRARY, ClassIdFor(start),
          activator::WorkerThreadBodies{&RanConsumer, &RanPipeServer, &RanMonitor, &RanUpdater},
          /*state_file_path=*/"", /*instance_lock_error=*/std::nullopt};
      if (activator::StartActivator(settings, manager)) {
        ++failed_starts;
        continue;
      }
    }
    for (int& e : expected) ++e;
    const int missing = MissingAfterWait(expected);
    if (missing != 0) {
      std::printf("start %d: %d of 3 threads never ran\n", start + 1, missing);
      lost += missing;
      // Count later starts against what did run.
      for (int k = 0; k < 3; ++k) expected[k] = g_ran[k].load();
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf(
      "%s: %d starts, %d worker threads expected, %d ran, %d lost, %d failed starts, %.1f s\n",
      std_thread ? "detached std::thread" : "start-up", starts, 3 * starts,
      g_ran[0].load() + g_ran[1].load() + g_ran[2].load(), lost, failed_starts, seconds);
  std::fflush(stdout);
  // Threads and class objects of every start are still about: no teardown.
  std::_Exit(lost == 0 && failed_starts == 0 ? 0 : 1);
}
