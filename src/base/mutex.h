// A plain (non-recursive) mutex that carries thread-safety annotations, which
// std::mutex does not, and the scoped lock that goes with it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.h"

namespace activator {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }

  // Waits on `cv` with this mutex held; the mutex is held again on return.
  // Spurious wake-ups happen: callers wait in a loop over their predicate.
  void Wait(std::condition_variable& cv) REQUIRES(this) {
    std::unique_lock<std::mutex> lock(mu_, std::adopt_lock);
    cv.wait(lock);
    lock.release();
  }

  // The same, ending at `deadline` at the latest; false when it was reached.
  template <typename Clock, typename Duration>
  bool WaitUntil(std::condition_variable& cv,
                 const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(this) {
    std::unique_lock<std::mutex> lock(mu_, std::adopt_lock);
    const bool woken = cv.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }

 private:
  std::mutex mu_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
  ~MutexLock() RELEASE() { mu_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

}  // namespace activator
