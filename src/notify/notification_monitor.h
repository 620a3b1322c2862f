// The notification monitor and the notification inventory: the two ways the
// activator looks at what the notification centre holds.
#pragma once

#include <string>

#include "platform/app_notifications.h"

namespace activator {

// Logs every notification the centre holds (tag and group), whatever its
// group. No failure escapes it. It waits at most kListingTimeLimit for the
// listing, since callers may hold the display lock.
void LogAllNotifications(const AppNotificationManager& manager) noexcept;

// One pass of the monitor: counts the job notifications in the centre, tells
// the job registry which job ids are visible, and logs the summary when it
// differs from `last_summary` (which it then updates). No failure escapes it.
void RunNotificationMonitorPass(const AppNotificationManager& manager, std::string& last_summary);

// The monitor thread's body: joins the multithreaded apartment, then runs a
// pass every 2000 ms for ever. When the apartment cannot be joined it logs
// "MONITOR COM INIT FAILED=" and the result, and idles for ever instead: the
// process and its other threads go on.
[[noreturn]] void RunNotificationMonitor(const AppNotificationManager& manager);

}  // namespace activator
