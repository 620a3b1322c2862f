// The notification updater: keeps the job notifications on screen up to date
// between their shows - progress in place, and the count of jobs waiting
// behind the display limit - at a pace the desktop can follow whatever pace
// the worker sends at.
#pragma once

#include <chrono>

#include "platform/app_notifications.h"

namespace activator {

// A job's progress is updated at most once in this time: a worker may send
// hundreds of values a second, and the latest is shown at the end of it.
inline constexpr std::chrono::milliseconds kProgressUpdateInterval{250};
// How often the count of waiting jobs is looked at when no progress comes.
inline constexpr std::chrono::milliseconds kWaitingCountInterval{1000};

// One round: waits at most kWaitingCountInterval for progress to change, then
// brings the notifications up to date under the display lock, the count of
// waiting jobs at most once per kWaitingCountInterval. Returns whether any
// progress had changed. Only the updater thread calls it.
bool UpdateNotificationsOnce(const AppNotificationManager& manager);

// Thread body: rounds for the life of the process, each round with progress
// followed by a pause of kProgressUpdateInterval.
[[noreturn]] void RunNotificationUpdater(const AppNotificationManager& manager);

}  // namespace activator
