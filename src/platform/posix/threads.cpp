// POSIX: a detached std::thread; the system's thread library keeps no record
// that a detach could hand out again early.
#include "platform/threads.h"

#include <system_error>
#include <thread>

namespace activator {

bool StartProcessThread(std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace activator
