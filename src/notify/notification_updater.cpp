#include "notify/notification_updater.h"

#include <string>
#include <thread>
#include <vector>

#include "jobs/job_details.h"
#include "log/debug_log.h"
#include "notify/display_lock.h"
#include "notify/job_notifications.h"

namespace activator {

bool UpdateNotificationsOnce(const AppNotificationManager& manager) {
  // Only this thread runs rounds.
  static auto next_count = std::chrono::steady_clock::now();
  const std::vector<std::string> changed =
      TheJobDetails().TakeProgressChanges(kWaitingCountInterval);
  const auto now = std::chrono::steady_clock::now();
  const bool count_due = now >= next_count;
  if (count_due) next_count = now + kWaitingCountInterval;
  MutexLock display(g_display_lock);
  RefreshJobNotifications(manager, changed, count_due);
  return !changed.empty();
}

void RunNotificationUpdater(const AppNotificationManager& manager) {
  for (;;) {
    bool changed = false;
    try {
      changed = UpdateNotificationsOnce(manager);
    } catch (...) {
      // Only an exhausted process gets here: the failures of the platform are
      // contained where they happen.
      WriteDebugLog("ATUALIZADOR ERRO");
    }
    if (changed) std::this_thread::sleep_for(kProgressUpdateInterval);
  }
}

}  // namespace activator
