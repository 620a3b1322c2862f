// The activation handler: the worker's only way of learning about a click.
#include "activation/activation_handler.h"

#include "activation/event_pipe_client.h"
#include "activation/result_opening.h"
#include "jobs/job_message.h"
#include "jobs/job_protocol.h"
#include "jobs/job_registry.h"
#include "log/debug_log.h"
#include "notify/result_notice.h"
#include "platform/text_conversion.h"

namespace activator {

std::string BuildEventMessage(const std::string& action, const std::string& job_id,
                              const std::string& job_state) {
  return FormatJobMessage(JobMessage{action, job_id, std::string(), job_state});
}

void OnNotificationInvoked(const AppNotificationManager& sender,
                           const AppNotificationActivatedEventArgs& args) noexcept {
  try {
    WriteDebugLog("=== WPN INVOKED ===");
    const AppNotificationArguments arguments = args.Arguments();
    // A click that names no button (on the body of a notification whose
    // button the platform could not tell) asks for nothing.
    if (arguments.values().empty()) {
      WriteDebugLog("WPN INVOKED SEM ARGUMENTOS");
      return;
    }
    // Lookup raises for a missing key.
    const std::string action = Utf16ToUtf8(arguments.Lookup(std::u16string(kFieldAction.text16())));
    const std::string job_id = Utf16ToUtf8(arguments.Lookup(std::u16string(kFieldJobId.text16())));
    // A job announced without a pipe, or never announced, has none: the send
    // below still runs and fails, which is what lets "salvar" open locally.
    const std::string pipe_name = TheJobRegistry().FindReplyPipe(job_id).value_or(std::string());
    WriteDebugLog("WPN PIPE DESTINO=" + LogValue(pipe_name));
    // The state the button was built with, not the job's current one.
    const std::string job_state =
        Utf16ToUtf8(arguments.Lookup(std::u16string(kFieldJobState.text16())));
    const std::string message = BuildEventMessage(action, job_id, job_state);
    WriteDebugLog("EVENT=" + LogValue(message));

    if (SendToPipe(message, pipe_name)) {
      WriteDebugLog("EVENT SENT");
    } else if (action == kButtonSave.text()) {
      if (const std::optional<std::string> why = OpenResultByIndex(job_id))
        ShowResultNotOpened(sender, job_id, *why);
    }
    // Any other undelivered event is dropped; the pipe failure line is its
    // only trace.
  } catch (...) {
    WriteDebugLog("WPN CALLBACK ERROR");
  }
}

}  // namespace activator
