// Progress handed from the output's reader to the job pipe.
#pragma once

#include <condition_variable>
#include <memory>
#include <optional>

#include "base/mutex.h"
#include "run/announcer.h"

namespace activator {

// Sends on a thread of its own: a busy activator must never hold back the
// command's output. At most one message per interval; the latest value
// always goes out, the ones it replaced in between never do, nor one the job
// already shows.
class ProgressSender {
 public:
  explicit ProgressSender(std::shared_ptr<Announcer> announcer);

  void Report(int percent) EXCLUDES(lock_);

  // Nothing more is sent; the thread ends.
  void Stop() EXCLUDES(lock_);

  // The thread's body.
  void Serve() EXCLUDES(lock_);

 private:
  bool HasWork() const REQUIRES(lock_) { return stopped_ || latest_.has_value(); }

  const std::shared_ptr<Announcer> announcer_;
  Mutex lock_;
  std::condition_variable changed_;
  std::optional<int> latest_ GUARDED_BY(lock_);
  bool stopped_ GUARDED_BY(lock_) = false;
};

}  // namespace activator
