// Windows: the system's own threads, through the C runtime's _beginthreadex so
// the runtime's per-thread state is set up for the body. The handle is kept
// open, in a table that lives as long as the process, so nothing about a
// started thread is ever given back while it may still run.
#include "platform/threads.h"

#include <process.h>

#include <exception>
#include <memory>
#include <vector>

#include "base/mutex.h"
#include "platform/os/windows_support.h"

namespace activator {

namespace {

struct ThreadTable {
  Mutex lock;
  std::vector<HANDLE> handles GUARDED_BY(lock);
};

ThreadTable& Threads() {
  static ThreadTable* table = new ThreadTable();  // never destroyed: threads outlive main
  return *table;
}

unsigned __stdcall RunBody(void* argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  // As with std::thread: an exception that leaves a thread body ends the
  // process rather than unwinding into the system.
  try {
    (*body)();
  } catch (...) {
    std::terminate();
  }
  return 0;
}

}  // namespace

bool StartProcessThread(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  ThreadTable& table = Threads();
  MutexLock hold(table.lock);
  table.handles.reserve(table.handles.size() + 1);  // no throw once the thread runs
  const uintptr_t handle = ::_beginthreadex(nullptr, 0, &RunBody, owned.get(), 0, nullptr);
  if (handle == 0) return false;
  owned.release();  // the thread's now
  table.handles.push_back(reinterpret_cast<HANDLE>(handle));
  return true;
}

}  // namespace activator
