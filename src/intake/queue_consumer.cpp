#include "intake/queue_consumer.h"

#include <chrono>
#include <string>

#include "base/mutex.h"
#include "jobs/job_registry.h"
#include "log/debug_log.h"
#include "notify/display_lock.h"
#include "notify/job_notifications.h"
#include "platform/com.h"

namespace activator {

namespace {

// One wait for the notification service; the consumer waits again and again
// until it is back. Each wait sleeps, so a long outage costs nothing.
constexpr std::chrono::seconds kServiceWaitStep{60};

}  // namespace

void ShowNextJob(const AppNotificationManager& manager) {
  JobRegistry& registry = TheJobRegistry();
  const std::string job_id = registry.TakeNextJob();
  WriteDebugLog("VELDUNA PROCESSANDO=" + LogValue(job_id));

  ShowResult result = ShowResult::kShown;
  {
    MutexLock display(g_display_lock);
    const std::string job_state = registry.FindJobState(job_id);
    WriteDebugLog("VELDUNA ESTADO PARA EXIBIR=" + LogValue(job_id) +
                  " ESTADO=" + LogValue(job_state));
    result = ShowJobNotification(manager, job_id, FormForJobState(job_state));
  }
  if (result != ShowResult::kServiceUnavailable) return;

  // Showing the rest of the queue now would only fail the same way and lose
  // every job in it: keep this one first in line and wait, holding no lock,
  // until a service answers again.
  registry.PutBackFirst(job_id);
  WriteDebugLog("VELDUNA SERVICO INDISPONIVEL=" + LogValue(job_id));
  while (!manager.WaitForService(kServiceWaitStep)) {
  }
  WriteDebugLog("VELDUNA SERVICO DE VOLTA");
}

void RunQueueConsumer(AppNotificationManager manager) {
  const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(joined)) {
    // Without the apartment every show fails; those failures are logged and
    // contained where they happen, so the queue keeps draining rather than
    // stopping silently.
    WriteDebugLog("VELDUNA COM INIT FAILED=" + FormatResultCode(joined));
  }
  WriteDebugLog("VELDUNA CONSUMER START");
  for (;;) {
    try {
      ShowNextJob(manager);
    } catch (...) {
      // Only an exhausted process gets here (the notification calls contain
      // their own failures); the display lock is already released, and the
      // consumer goes on with the next job.
      WriteDebugLog("VELDUNA ERRO");
    }
  }
}

}  // namespace activator
