// The three forms of a job notification differ only in their texts, log lines
// and what a failure undoes, so one routine builds and shows all of them.
#include "notify/job_notifications.h"

#include "host/build_constants.h"
#include "host/debug_log.h"
#include "jobs/job_registry.h"
#include "notify/notification_monitor.h"
#include "platform/text_conversion.h"

namespace activator {

namespace {

struct JobNotificationForm {
  const char* entry_line;  // nullptr: the form logs nothing on entry
  const char16_t* title;
  const char16_t* caption;
  const char16_t* action;
  const char16_t* state;
  const char* built_line;
  const char* shown_line;
  const char* failed_line;
  // A failed in-progress notification gives the job's place under the
  // display limit back at once; the final forms hold no place of their own.
  bool withdraw_pending_on_failure;
};

constexpr JobNotificationForm kInProgressForm{
    nullptr,       u"Processo em andamento", u"abortar", u"abortar",
    u"executando", "BUILD NOTIFICATION OK",  "SHOW OK",  "SHOW FAILED",
    true,
};

constexpr JobNotificationForm kConcludedForm{
    "ENTROU MOSTRAR CONCLUIDA",
    u"Processo Concluido",
    u"Exibir Resultado",
    u"salvar",
    u"concluido",
    "BUILD CONCLUIDA OK",
    "SHOW CONCLUIDA OK",
    "SHOW CONCLUIDA FAILED",
    false,
};

constexpr JobNotificationForm kErrorForm{
    "ENTROU MOSTRAR ERRO", u"Processo com erro", u"Exibir Resultado", u"salvar", u"erro",
    "BUILD ERRO OK",       "SHOW ERRO OK",       "SHOW ERRO FAILED",  false,
};

// Builds one notification: every call goes through the platform, so any of
// them may raise.
AppNotification BuildJobNotification(const JobNotificationForm& form, const std::string& job_id) {
  AppNotificationBuilder builder;
  builder.SetHeroImage(Uri(Utf8ToUtf16(kNotificationImageUri)));
  const std::u16string tag = Utf8ToUtf16(job_id);
  builder.SetTag(tag);
  builder.SetGroup(Utf8ToUtf16(kJobNotificationGroup));
  builder.AddText(u"Zorvell Lab");
  builder.AddText(form.title);
  AppNotificationButton button(form.caption);
  button.AddArgument(u"acao", form.action);
  button.AddArgument(u"id_execucao", tag);
  button.AddArgument(u"estado", form.state);
  builder.AddButton(button);
  return builder.BuildNotification();
}

void ShowJobNotification(const AppNotificationManager& manager, const std::string& job_id,
                         const JobNotificationForm& form) {
  if (form.entry_line != nullptr) WriteDebugLog(form.entry_line);
  bool failed = false;
  // The show and the inventory after it may fail by design. A failure before
  // them (a tag the platform refuses, a builder it cannot make) is contained
  // the same way: the callers are thread bodies that a raised error would end,
  // and for the job it makes no difference which step failed. Anything raised,
  // not only the platform's errors, ends here.
  try {
    AppNotification notification = BuildJobNotification(form, job_id);
    WriteDebugLog(form.built_line);
    manager.Show(notification);
    WriteDebugLog(form.shown_line);
    LogAllNotifications(manager);
  } catch (...) {
    failed = true;
  }
  if (!failed) return;
  WriteDebugLog(form.failed_line);
  if (form.withdraw_pending_on_failure) {
    try {
      TheJobRegistry().WithdrawPending(job_id);
    } catch (...) {
      // Only an exhausted process gets here; the caller must still go on.
    }
  }
}

}  // namespace

void ShowInProgressNotification(const AppNotificationManager& manager, const std::string& job_id) {
  ShowJobNotification(manager, job_id, kInProgressForm);
}

void ShowConcludedNotification(const AppNotificationManager& manager, const std::string& job_id) {
  ShowJobNotification(manager, job_id, kConcludedForm);
}

void ShowErrorNotification(const AppNotificationManager& manager, const std::string& job_id) {
  ShowJobNotification(manager, job_id, kErrorForm);
}

void DispatchStateUpdate(const AppNotificationManager& manager, const std::string& job_id,
                         const std::string& job_state) {
  if (job_state == "concluido") ShowConcludedNotification(manager, job_id);
  if (job_state == "erro") {
    WriteDebugLog("ENTROU ERRO");
    ShowErrorNotification(manager, job_id);
    WriteDebugLog("SAIU ERRO");
  }
}

}  // namespace activator
