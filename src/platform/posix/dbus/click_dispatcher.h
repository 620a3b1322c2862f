// Hands clicks to their sink on a thread of its own, in the order they came:
// the sink writes pipes and starts programs, which must not stall the bus's
// event loop that reports the clicks.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <string>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace activator::dbus {

class ClickDispatcher {
 public:
  // Button arguments of one click, UTF-8; empty for a click on the body.
  using Arguments = std::map<std::string, std::string>;
  using Sink = std::function<void(const Arguments& arguments)>;

  // Starts the dispatching thread, which uses this object until the process
  // ends: a dispatcher is never destroyed.
  ClickDispatcher();
  ClickDispatcher(const ClickDispatcher&) = delete;
  ClickDispatcher& operator=(const ClickDispatcher&) = delete;

  // Where clicks go. Clicks dispatched while no sink is set are dropped.
  void SetSink(Sink sink) EXCLUDES(mu_);
  // Queues one click; never waits for the sink.
  void Post(Arguments arguments) EXCLUDES(mu_);

 private:
  void Run() EXCLUDES(mu_);

  Mutex mu_;
  std::condition_variable cv_;
  std::deque<Arguments> clicks_ GUARDED_BY(mu_);
  Sink sink_ GUARDED_BY(mu_);
};

}  // namespace activator::dbus
