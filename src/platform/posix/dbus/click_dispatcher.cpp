#include "platform/posix/dbus/click_dispatcher.h"

#include <thread>
#include <utility>

namespace activator::dbus {

ClickDispatcher::ClickDispatcher() {
  std::thread([this] { Run(); }).detach();
}

void ClickDispatcher::SetSink(Sink sink) {
  MutexLock lock(mu_);
  sink_ = std::move(sink);
}

void ClickDispatcher::Post(Arguments arguments) {
  {
    MutexLock lock(mu_);
    clicks_.push_back(std::move(arguments));
  }
  cv_.notify_one();
}

void ClickDispatcher::Run() {
  for (;;) {
    Arguments arguments;
    Sink sink;
    {
      MutexLock lock(mu_);
      while (clicks_.empty()) mu_.Wait(cv_);
      arguments = std::move(clicks_.front());
      clicks_.pop_front();
      sink = sink_;
    }
    if (!sink) continue;
    try {
      sink(arguments);
    } catch (...) {
      // The sink reports its own failures; one bad click must not end clicks.
    }
  }
}

}  // namespace activator::dbus
