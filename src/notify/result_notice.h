// The notice that a job's result could not be opened. The click that asked
// for it gets no other answer a user can see: the log is off by default.
#pragma once

#include <string>

#include "platform/app_notifications.h"

namespace activator {

// Notices live in a group of their own, which the monitor does not count:
// they take no room from jobs under the display limit.
inline constexpr char kNoticeNotificationGroup[] = "zorvell_avisos";

// Shows "Resultado não aberto" with `why` for the job, replacing an earlier
// notice of the same job. Needs no display lock: it touches nothing the job
// notifications keep. Failures are logged and contained.
void ShowResultNotOpened(const AppNotificationManager& manager, const std::string& job_id,
                         const std::string& why) noexcept;

}  // namespace activator
