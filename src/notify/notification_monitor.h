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

// The centre said a notification closed. A job notification still pending
// (handed to the centre, not yet seen there by a pass) gives its place under
// the display limit back at once, "VELDUNA PENDENTE FECHADO=<job id>",
// instead of after JobRegistry::kUnseenPassesBeforeRelease passes. No failure
// escapes it.
void OnNotificationClosed(const std::u16string& tag, const std::u16string& group) noexcept;

// The monitor thread's body: subscribes OnNotificationClosed to the closings
// the platform reports, joins the multithreaded apartment, then runs a
// pass every 2000 ms for ever. When the apartment cannot be joined it logs
// "MONITOR COM INIT FAILED=" and the result, and idles for ever instead: the
// process and its other threads go on.
[[noreturn]] void RunNotificationMonitor(const AppNotificationManager& manager);

}  // namespace activator
