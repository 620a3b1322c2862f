// The monitor polls the notification centre, since not every platform tells
// when the user closes a notification (where one does, a pending job's place
// is given back at once); the inventory is a one-shot listing for the log.
#include "notify/notification_monitor.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "jobs/job_registry.h"
#include "jobs/state_journal.h"
#include "log/debug_log.h"
#include "notify/job_notifications.h"
#include "platform/com.h"
#include "platform/text_conversion.h"

namespace activator {

namespace {

constexpr std::chrono::milliseconds kMonitorPause{2000};

}  // namespace

void LogAllNotifications(const AppNotificationManager& manager) noexcept {
  try {
    // Bounded: after a show this runs under the display lock, and a listing
    // that never answers would otherwise stop every show for good.
    std::vector<AppNotification> listing = manager.GetAllAsync().get(kListingTimeLimit);
    WriteDebugLog("GETALL TOTAL=" + FormatCount(listing.size()));
    for (const AppNotification& notification : listing) {
      std::string tag = Utf16ToUtf8(notification.Tag());
      std::string group = Utf16ToUtf8(notification.Group());
      WriteDebugLog("GETALL TAG=" + LogValue(tag) + " GROUP=" + LogValue(group));
    }
  } catch (...) {
    WriteDebugLog("GETALL ERRO: EXCECAO AO CONSULTAR GETALL");
  }
}

void RunNotificationMonitorPass(const AppNotificationManager& manager, std::string& last_summary) {
  std::vector<std::string> released;
  std::string summary;
  try {
    std::vector<AppNotification> listing = manager.GetAllAsync().get(kListingTimeLimit);
    std::vector<std::string> keys;
    std::set<std::string> seen_tags;
    for (const AppNotification& notification : listing) {
      std::string tag = Utf16ToUtf8(notification.Tag());
      std::string group = Utf16ToUtf8(notification.Group());
      if (group != kJobNotificationGroup) continue;
      keys.push_back(LogValue(tag) + "|" + LogValue(group));
      seen_tags.insert(tag);
    }
    // std::string orders bytes as unsigned, so a mere change in the
    // platform's listing order gives the same summary.
    std::sort(keys.begin(), keys.end());
    summary = "TOTAL=" + FormatCount(keys.size());
    for (const std::string& key : keys) summary += "\n" + key;
    // Last, so that a pass that fails leaves the registry as it was.
    released = TheJobRegistry().RefreshOnScreenView(keys.size(), seen_tags);
  } catch (...) {
    WriteDebugLog("MONITOR GETALL ERRO");
    return;
  }
  try {
    std::sort(released.begin(), released.end());
    for (const std::string& job_id : released)
      WriteDebugLog("VELDUNA PENDENTE LIBERADO=" + LogValue(job_id));
    if (summary != last_summary) {
      WriteDebugLog("MONITOR GETALL MUDOU\n" + summary);
      last_summary = std::move(summary);
    }
  } catch (...) {
    // Out of memory for a log line: the registry is already up to date, and
    // the summary is logged again by the next pass that can.
  }
}

void OnNotificationClosed(const std::u16string& tag, const std::u16string& group) noexcept {
  try {
    if (Utf16ToUtf8(group) != kJobNotificationGroup) return;
    const std::string job_id = Utf16ToUtf8(tag);
    if (TheJobRegistry().WithdrawPending(job_id))
      WriteDebugLog("VELDUNA PENDENTE FECHADO=" + LogValue(job_id));
  } catch (...) {
    // The pass that misses it releases the id in the end.
  }
}

void RunNotificationMonitor(const AppNotificationManager& manager) {
  try {
    manager.NotificationClosed(&OnNotificationClosed);
  } catch (...) {
    // Without the news the passes alone release what left the centre.
  }
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    // The platform's objects may not be used from this thread now. Ending the
    // process would take the other threads with it, so only the monitor stops;
    // the on-screen count then stays as it is and pending ids leave the
    // pending set only through failed shows.
    WriteDebugLog("MONITOR COM INIT FAILED=" + FormatResultCode(hr));
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  std::string last_summary;
  WriteDebugLog("MONITOR GETALL START");
  for (;;) {
    RunNotificationMonitorPass(manager, last_summary);
    // The state file's troubles come up under the registry lock, where
    // nothing is logged: they are told here.
    for (const std::string& line : TheStateJournal().TakeReports()) WriteDebugLog(line);
    std::this_thread::sleep_for(kMonitorPause);
  }
}

}  // namespace activator
