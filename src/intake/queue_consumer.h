// The queue consumer: turns queued job ids into job notifications, one at a
// time, in order of arrival, as fast as the display limit allows.
#pragma once

#include "platform/app_notifications.h"

namespace activator {

// The thread body: joins the multithreaded apartment, then shows one job
// after another for ever.
[[noreturn]] void RunQueueConsumer(AppNotificationManager manager);

// One job: waits for the next admissible job id, then, under the display
// lock, shows the form its state has now (not when it was queued). When no
// notification service answered, the id goes back to the front of the queue
// and the step returns only once the service is back. The caller holds no
// lock.
void ShowNextJob(const AppNotificationManager& manager);

}  // namespace activator
