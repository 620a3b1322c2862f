#include "jobs/queue_consumer.h"

#include <string>

#include "host/debug_log.h"
#include "jobs/job_registry.h"
#include "notify/job_notifications.h"
#include "platform/com.h"
#include "platform/mutex.h"

namespace activator {

void ShowNextJob(const AppNotificationManager& manager) {
  JobRegistry& registry = TheJobRegistry();
  const std::string job_id = registry.TakeNextJob();
  WriteDebugLog("VELDUNA PROCESSANDO=" + job_id);

  MutexLock display(registry.display_lock());
  const std::string job_state = registry.FindJobState(job_id);
  WriteDebugLog("VELDUNA ESTADO PARA EXIBIR=" + job_id + " ESTADO=" + job_state);
  if (job_state == "concluido") {
    ShowConcludedNotification(manager, job_id);
  } else if (job_state == "erro") {
    ShowErrorNotification(manager, job_id);
  } else {
    ShowInProgressNotification(manager, job_id);
  }
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
