#include "run/progress_sender.h"

#include <chrono>
#include <thread>

namespace activator {

namespace {

// Each progress message is a connection the activator serves in turn with
// every other worker's; it shows at most four values a second anyway.
constexpr std::chrono::milliseconds kProgressInterval{100};

}  // namespace

ProgressSender::ProgressSender(std::shared_ptr<Announcer> announcer)
    : announcer_(std::move(announcer)) {}

void ProgressSender::Report(int percent) {
  MutexLock hold(lock_);
  latest_ = percent;
  changed_.notify_one();
}

void ProgressSender::Stop() {
  MutexLock hold(lock_);
  stopped_ = true;
  changed_.notify_one();
}

void ProgressSender::Serve() {
  for (;;) {
    int percent = 0;
    {
      MutexLock hold(lock_);
      while (!HasWork()) lock_.Wait(changed_);
      if (stopped_) return;
      percent = *latest_;
      latest_.reset();
    }
    announcer_->Progress(percent);
    std::this_thread::sleep_for(kProgressInterval);
  }
}

}  // namespace activator
