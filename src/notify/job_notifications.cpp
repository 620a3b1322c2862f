// The three forms of a job notification differ only in their texts, log lines
// and what a failure undoes, so one routine builds and shows all of them.
#include "notify/job_notifications.h"

#include "base/build_constants.h"
#include "jobs/job_protocol.h"
#include "jobs/job_registry.h"
#include "log/debug_log.h"
#include "notify/notification_monitor.h"
#include "platform/text_conversion.h"

namespace activator {

namespace {

struct FormTexts {
  const char* entry_line;  // nullptr: the form logs nothing on entry
  const char16_t* title;
  const char16_t* caption;
  std::u16string_view action;
  std::u16string_view state;
  const char* built_line;
  const char* shown_line;
  const char* failed_line;
  // A failed in-progress notification gives the job's place under the
  // display limit back at once; the final forms hold no place of their own.
  bool withdraw_pending_on_failure;
};

constexpr FormTexts kInProgressTexts{
    nullptr,
    u"Processo em andamento",
    u"abortar",
    kButtonAbort.text16(),
    kStateRunning.text16(),
    "BUILD NOTIFICATION OK",
    "SHOW OK",
    "SHOW FAILED",
    true,
};

constexpr FormTexts kConcludedTexts{
    "ENTROU MOSTRAR CONCLUIDA", u"Processo Concluido",    u"Exibir Resultado",
    kButtonSave.text16(),       kStateConcluded.text16(), "BUILD CONCLUIDA OK",
    "SHOW CONCLUIDA OK",        "SHOW CONCLUIDA FAILED",  false,
};

constexpr FormTexts kErrorTexts{
    "ENTROU MOSTRAR ERRO", u"Processo com erro", u"Exibir Resultado",
    kButtonSave.text16(),  kStateError.text16(), "BUILD ERRO OK",
    "SHOW ERRO OK",        "SHOW ERRO FAILED",   false,
};

const FormTexts& TextsOf(JobNotificationForm form) {
  switch (form) {
    case JobNotificationForm::kConcluded:
      return kConcludedTexts;
    case JobNotificationForm::kError:
      return kErrorTexts;
    case JobNotificationForm::kInProgress:
      break;
  }
  return kInProgressTexts;
}

// Builds one notification: every call goes through the platform, so any of
// them may raise.
AppNotification BuildJobNotification(const FormTexts& form, const std::string& job_id) {
  AppNotificationBuilder builder;
  builder.SetHeroImage(Uri(Utf8ToUtf16(kNotificationImageUri)));
  const std::u16string tag = Utf8ToUtf16(job_id);
  builder.SetTag(tag);
  builder.SetGroup(Utf8ToUtf16(kJobNotificationGroup));
  builder.AddText(u"Zorvell Lab");
  builder.AddText(form.title);
  AppNotificationButton button(form.caption);
  button.AddArgument(kFieldAction.text16(), form.action);
  button.AddArgument(kFieldJobId.text16(), tag);
  button.AddArgument(kFieldJobState.text16(), form.state);
  builder.AddButton(button);
  return builder.BuildNotification();
}

}  // namespace

JobNotificationForm FormForJobState(std::string_view job_state) {
  if (job_state == kStateConcluded.text()) return JobNotificationForm::kConcluded;
  if (job_state == kStateError.text()) return JobNotificationForm::kError;
  return JobNotificationForm::kInProgress;
}

ShowResult ShowJobNotification(const AppNotificationManager& manager, const std::string& job_id,
                               JobNotificationForm which) {
  const FormTexts& form = TextsOf(which);
  if (form.entry_line != nullptr) WriteDebugLog(form.entry_line);
  ShowResult result = ShowResult::kShown;
  // The show and the inventory after it may fail by design. A failure before
  // them (a tag the platform refuses, a builder it cannot make) is contained
  // the same way: the callers are thread bodies that a raised error would end,
  // and for the job it makes no difference which step failed. Anything raised,
  // not only the platform's errors, ends here.
  try {
    AppNotification notification = BuildJobNotification(form, job_id);
    WriteDebugLog(form.built_line);
    manager.Show(notification);
    // Before the line that says so: a program killed after it shows nothing
    // twice after its restart.
    TheJobRegistry().ConfirmShown(job_id);
    WriteDebugLog(form.shown_line);
    LogAllNotifications(manager);
  } catch (const HResultError& error) {
    result =
        IsServiceUnavailable(error.code()) ? ShowResult::kServiceUnavailable : ShowResult::kFailed;
  } catch (...) {
    result = ShowResult::kFailed;
  }
  if (result == ShowResult::kShown) return result;
  WriteDebugLog(form.failed_line);
  if (result == ShowResult::kFailed && form.withdraw_pending_on_failure) {
    try {
      TheJobRegistry().WithdrawPending(job_id);
    } catch (...) {
      // Only an exhausted process gets here; the caller must still go on.
    }
  }
  return result;
}

void ShowInProgressNotification(const AppNotificationManager& manager, const std::string& job_id) {
  ShowJobNotification(manager, job_id, JobNotificationForm::kInProgress);
}

void ShowConcludedNotification(const AppNotificationManager& manager, const std::string& job_id) {
  ShowJobNotification(manager, job_id, JobNotificationForm::kConcluded);
}

void ShowErrorNotification(const AppNotificationManager& manager, const std::string& job_id) {
  ShowJobNotification(manager, job_id, JobNotificationForm::kError);
}

void DispatchStateUpdate(const AppNotificationManager& manager, const std::string& job_id,
                         const std::string& job_state) {
  const JobNotificationForm form = FormForJobState(job_state);
  if (form == JobNotificationForm::kInProgress) return;  // the consumer's to show
  // A job whose notification is in the centre has it replaced at once: that
  // takes no further place. Any other waits in the queue for a place like
  // every job: shown now, it would stand beside 20 others (and a job already
  // queued would be shown a second time when the queue reached it, after the
  // user may have closed it). The consumer reads the state when it shows, so
  // the new state is not lost.
  bool queued = false;
  try {
    queued = TheJobRegistry().QueueUnlessInCentre(job_id);
  } catch (...) {
    // Only an exhausted process gets here: shown at once, as a last resort.
  }
  if (queued) {
    WriteDebugLog("VELDUNA NA FILA=" + LogValue(job_id));
    return;
  }
  ShowResult result = ShowResult::kShown;
  switch (form) {
    case JobNotificationForm::kConcluded:
      result = ShowJobNotification(manager, job_id, JobNotificationForm::kConcluded);
      break;
    case JobNotificationForm::kError:
      WriteDebugLog("ENTROU ERRO");
      result = ShowJobNotification(manager, job_id, JobNotificationForm::kError);
      WriteDebugLog("SAIU ERRO");
      break;
    case JobNotificationForm::kInProgress:
      break;
  }
  if (result != ShowResult::kServiceUnavailable) return;
  // The new state would be lost with the service; the consumer shows it, in
  // queue order and under the display limit, once the service is back.
  WriteDebugLog("VELDUNA SERVICO INDISPONIVEL=" + LogValue(job_id));
  try {
    TheJobRegistry().QueueUnlessQueued(job_id);
  } catch (...) {
    // Only an exhausted process gets here; the job pipe server must go on.
  }
}

}  // namespace activator
