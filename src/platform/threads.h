// Threads that run for the rest of the process: the program's worker threads
// are started once and never joined.
//
// On Windows they are started through the system (_beginthreadex) rather than
// std::thread: mingw-w64's thread library, under std::thread, recycles a
// detached thread's record while that thread may still be on its way out, so
// a thread started at that moment can be handed a record in use and never run
// its body. Each thread's handle stays open for the life of the process.
#pragma once

#include <functional>

namespace activator {

// Starts `body` on a new thread that nothing joins. Returns false when the
// system could not start a thread; `body` then never runs.
bool StartProcessThread(std::function<void()> body);

}  // namespace activator
