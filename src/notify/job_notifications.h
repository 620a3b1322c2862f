// Job notifications: the desktop notification that stands for one job, in
// three forms (in progress, concluded, error), and the update dispatch that
// turns a new job state into the matching form. Every form carries the job id
// as its tag and the group "zorvell_processos", so a later form replaces the
// earlier on screen.
//
// Callers hold the display lock for the whole call; these functions never
// take it. No failure escapes them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "notify/display_lock.h"
#include "platform/app_notifications.h"

namespace activator {

inline constexpr char kJobNotificationGroup[] = "zorvell_processos";
// The text beside a job's progress bar.
inline constexpr char16_t kProgressStatus[] = u"Progresso";

enum class JobNotificationForm { kInProgress, kConcluded, kError };

// How a show ended. kServiceUnavailable: no notification service answered
// (IsServiceUnavailable); the form's failure line is logged but nothing else
// is undone, and the caller keeps the job for when the service is back. Any
// other failure is kFailed, with its full failure handling done.
enum class ShowResult { kShown, kFailed, kServiceUnavailable };

// The form that stands for a job state: concluded for "concluido", error for
// "erro", in progress for "executando" and any other text. The consumer shows
// it; the update dispatch shows only the two final forms.
JobNotificationForm FormForJobState(std::string_view job_state);

ShowResult ShowJobNotification(const AppNotificationManager& manager, const std::string& job_id,
                               JobNotificationForm form) REQUIRES(g_display_lock);
void ShowInProgressNotification(const AppNotificationManager& manager, const std::string& job_id)
    REQUIRES(g_display_lock);
void ShowConcludedNotification(const AppNotificationManager& manager, const std::string& job_id)
    REQUIRES(g_display_lock);
void ShowErrorNotification(const AppNotificationManager& manager, const std::string& job_id)
    REQUIRES(g_display_lock);

// Brings the notifications on screen up to date without a banner: the
// progress of the jobs in `progress_changed` (updated in place where the
// notification has its bar, shown again with one where it does not yet), and
// the count of jobs waiting behind the display limit ("+N na fila"), which
// the notification the centre draws first carries (the newest, or where the
// centre draws the oldest first, the oldest: AppNotificationManager::DrawOrder). A job whose notification is not in the
// centre is left alone: a queued one shows its latest progress when its turn
// comes, and one the user closed stays closed. The count is looked at only
// when `count_due`: jobs may arrive faster than a desktop should redraw.
// Failures are logged and contained.
void RefreshJobNotifications(const AppNotificationManager& manager,
                             const std::vector<std::string>& progress_changed, bool count_due)
    REQUIRES(g_display_lock);

// The registry forgot these jobs: what they were shown with goes too.
void ForgetDisplayedJobs(const std::vector<std::string>& job_ids) REQUIRES(g_display_lock);

// Forgets what the notifications on screen were shown with. Tests call it
// between cases.
void ResetDisplayRecordForTesting() REQUIRES(g_display_lock);

// Shows the concluded form for "concluido", the error form for "erro", and
// does nothing for any other state. Only a job whose notification is in the
// centre (pending or seen there) is shown at once, replacing it; any other is
// queued (once) and left to the consumer, which shows the new state under the
// display limit when it reaches the job ("VELDUNA NA FILA="). When no
// notification service answered, the job is queued (unless it waits there already) so that the
// consumer shows its state once the service is back.
void DispatchStateUpdate(const AppNotificationManager& manager, const std::string& job_id,
                         const std::string& job_state) REQUIRES(g_display_lock);

}  // namespace activator
