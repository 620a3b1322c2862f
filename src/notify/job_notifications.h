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

#include "platform/app_notifications.h"

namespace activator {

inline constexpr char kJobNotificationGroup[] = "zorvell_processos";

void ShowInProgressNotification(const AppNotificationManager& manager, const std::string& job_id);
void ShowConcludedNotification(const AppNotificationManager& manager, const std::string& job_id);
void ShowErrorNotification(const AppNotificationManager& manager, const std::string& job_id);

// Shows the concluded form for "concluido", the error form for "erro", and
// does nothing for any other state.
void DispatchStateUpdate(const AppNotificationManager& manager, const std::string& job_id,
                         const std::string& job_state);

}  // namespace activator
