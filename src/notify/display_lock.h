// The display lock serialises showing and replacing job notifications: the
// queue consumer's show of a job and the job pipe server's update dispatch
// must not interleave, or a job's in-progress form could land after, and so
// replace, its concluded form. It guards no data.
//
// Lock order: the display lock before the registry lock, which the consumer
// takes inside it to read the job's state. The registry lies below this layer
// and cannot name the display lock, so it never takes it while holding its
// own; clang's -Wthread-safety-beta checks the order written here.
#pragma once

#include "base/mutex.h"
#include "jobs/job_registry.h"

namespace activator {

inline Mutex g_display_lock ACQUIRED_BEFORE(TheJobRegistry().registry_lock());

}  // namespace activator
