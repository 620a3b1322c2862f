// The activation handler: turns a click on a job notification's button into
// the event message for the worker, written into the job's reply pipe.
#pragma once

#include <string>

#include "platform/app_notifications.h"

namespace activator {

// "acao=<action>&id_execucao=<job id>&estado=<state>": every field present,
// values inserted as they are (no escaping), no terminator.
std::string BuildEventMessage(const std::string& action, const std::string& job_id,
                              const std::string& job_state);

// Subscribed to the manager's NotificationInvoked event; runs on a platform
// thread, once per click. Sends the event message to the job's reply pipe;
// when that fails and the button asked for the result ("salvar"), opens the
// result locally, and tells the user through `sender` when that fails too.
// Every failure ends in the log line "WPN CALLBACK ERROR" and a normal return.
// Holds the reply-pipe lock only while looking the pipe up; changes nothing in
// the registry.
void OnNotificationInvoked(const AppNotificationManager& sender,
                           const AppNotificationActivatedEventArgs& args) noexcept;

}  // namespace activator
