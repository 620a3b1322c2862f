// The three forms of a job notification differ only in their texts, log lines
// and what a failure undoes, so one routine builds and shows all of them.
#include "notify/job_notifications.h"

#include <map>
#include <set>

#include "base/build_constants.h"
#include "jobs/job_details.h"
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
  // Only a running job has progress to show.
  bool shows_progress;
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
    true,
};

constexpr FormTexts kConcludedTexts{
    "ENTROU MOSTRAR CONCLUIDA", u"Processo Concluido",    u"Exibir Resultado",
    kButtonSave.text16(),       kStateConcluded.text16(), "BUILD CONCLUIDA OK",
    "SHOW CONCLUIDA OK",        "SHOW CONCLUIDA FAILED",  false,
    false,
};

constexpr FormTexts kErrorTexts{
    "ENTROU MOSTRAR ERRO", u"Processo com erro", u"Exibir Resultado",
    kButtonSave.text16(),  kStateError.text16(), "BUILD ERRO OK",
    "SHOW ERRO OK",        "SHOW ERRO FAILED",   false,
    false,
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

// Called inside a catch block: the platform's code for what was raised.
HResult CodeOfCurrentFailure() {
  try {
    throw;
  } catch (const HResultError& error) {
    return error.code();
  } catch (...) {
    return kHrFail;
  }
}

// A job notification's place in the centre: its first show since it came
// in, its latest show, whether it is drawn as urgent, and the count of
// waiting jobs it carries.
struct Placement {
  uint64_t placed = 0;
  uint64_t shown = 0;
  bool urgent = false;
  uint64_t count_shown = 0;
};

// Of two notifications, whether `a` is drawn before `b`.
bool DrawnBefore(const Placement& a, const Placement& b, const CentreOrder& order) {
  if (order.urgent_first && a.urgent != b.urgent) return a.urgent;
  const uint64_t at_a = order.replacement_is_new ? a.shown : a.placed;
  const uint64_t at_b = order.replacement_is_new ? b.shown : b.placed;
  return order.newest_first ? at_a > at_b : at_a < at_b;
}

// What the notifications on screen carry beyond their form, as far as this
// program put it there. Guarded by the display lock, under which every show
// happens.
struct DisplayRecord {
  // Jobs whose notification was last shown with a progress bar, and the
  // value it shows: only those can have their progress updated in place, and
  // only a different value is worth an update.
  std::map<std::string, int> with_bar;
  // Where each job's notification stands in the centre's order, while it is
  // there; an entry whose job has left the centre is dropped when found.
  std::map<std::string, Placement> placements;
  uint64_t next_show = 1;
  uint32_t next_sequence = 1;
};

DisplayRecord& TheDisplayRecord() REQUIRES(g_display_lock) {
  static DisplayRecord* record = new DisplayRecord();
  return *record;
}

// Beyond the form: the job's description, its progress (in-progress form
// only) and, on the newest notification, how many jobs wait behind it.
struct JobExtras {
  JobDetail detail;
  uint64_t waiting = 0;
  uint32_t sequence = 0;
};

std::u16string WaitingText(uint64_t waiting) {
  return u"+" + Utf8ToUtf16(std::to_string(waiting)) + u" na fila";
}

AppNotificationProgressData ProgressData(int progress, uint32_t sequence) {
  return AppNotificationProgressData{sequence, kProgressStatus, progress / 100.0};
}

// Builds one notification: every call goes through the platform, so any of
// them may raise.
AppNotification BuildJobNotification(const FormTexts& form, const std::string& job_id,
                                     const JobExtras& extras) {
  AppNotificationBuilder builder;
  builder.SetHeroImage(Uri(Utf8ToUtf16(kNotificationImageUri)));
  const std::u16string tag = Utf8ToUtf16(job_id);
  builder.SetTag(tag);
  builder.SetGroup(Utf8ToUtf16(kJobNotificationGroup));
  builder.AddText(u"Zorvell Lab");
  builder.AddText(form.title);
  if (!extras.detail.description.empty()) builder.AddText(Utf8ToUtf16(extras.detail.description));
  const bool with_bar = extras.detail.progress && form.shows_progress;
  if (with_bar) builder.AddProgressBar(AppNotificationProgressBar());
  if (extras.waiting > 0) builder.SetAttributionText(WaitingText(extras.waiting));
  AppNotificationButton button(form.caption);
  button.AddArgument(kFieldAction.text16(), form.action);
  button.AddArgument(kFieldJobId.text16(), tag);
  button.AddArgument(kFieldJobState.text16(), form.state);
  builder.AddButton(button);
  AppNotification notification = builder.BuildNotification();
  if (with_bar) notification.SetProgress(ProgressData(*extras.detail.progress, extras.sequence));
  return notification;
}

JobExtras ExtrasFor(const std::string& job_id, bool carries_count) REQUIRES(g_display_lock) {
  JobExtras extras;
  extras.detail = TheJobDetails().Find(job_id);
  if (carries_count) extras.waiting = TheJobRegistry().WaitingBehindLimit();
  extras.sequence = TheDisplayRecord().next_sequence++;
  return extras;
}

// The job whose notification the centre draws first, of those in it: where
// the count of waiting jobs goes. `coming` counts as in it, about to be shown.
std::string FirstDrawnJob(const CentreOrder& order, const std::string& coming = std::string())
    REQUIRES(g_display_lock) {
  std::map<std::string, Placement>& placements = TheDisplayRecord().placements;
  auto first = placements.end();
  for (auto it = placements.begin(); it != placements.end();) {
    if (it->first != coming && !TheJobRegistry().IsInCentre(it->first)) {
      it = placements.erase(it);
      continue;
    }
    if (first == placements.end() || DrawnBefore(it->second, first->second, order)) first = it;
    ++it;
  }
  return first == placements.end() ? std::string() : first->first;
}

// A show went out: what it carries is now on screen.
void NoteShown(const std::string& job_id, const FormTexts& form, const JobExtras& extras)
    REQUIRES(g_display_lock) {
  DisplayRecord& record = TheDisplayRecord();
  if (extras.detail.progress && form.shows_progress) {
    record.with_bar[job_id] = *extras.detail.progress;
  } else {
    record.with_bar.erase(job_id);
  }
  auto placed = record.placements.find(job_id);
  if (placed != record.placements.end()) placed->second.count_shown = extras.waiting;
}

// Shows the job's notification again as it stands (its state's form, its
// details, the count if it is the newest) without a banner, replacing what
// is on screen. For changes the user need not be alerted to.
void RefreshJobNotification(const AppNotificationManager& manager, const std::string& job_id)
    REQUIRES(g_display_lock) {
  const bool carries = FirstDrawnJob(manager.DrawOrder()) == job_id;
  const FormTexts& form = TextsOf(FormForJobState(TheJobRegistry().FindJobState(job_id)));
  try {
    const JobExtras extras = ExtrasFor(job_id, carries);
    AppNotification notification = BuildJobNotification(form, job_id, extras);
    notification.SetSuppressDisplay(true);
    manager.Show(notification);
    NoteShown(job_id, form, extras);
    WriteDebugLog("NOTIFICACAO ATUALIZADA=" + LogValue(job_id));
  } catch (...) {
    WriteDebugLog("NOTIFICACAO NAO ATUALIZADA=" + LogValue(job_id) +
                  " ERRO=" + FormatResultCode(CodeOfCurrentFailure()));
  }
}

void UpdateJobProgress(const AppNotificationManager& manager, const std::string& job_id)
    REQUIRES(g_display_lock) {
  const JobDetail detail = TheJobDetails().Find(job_id);
  if (!detail.progress) return;
  // The show that put the bar there may already carry the latest value.
  auto shown = TheDisplayRecord().with_bar.find(job_id);
  if (shown != TheDisplayRecord().with_bar.end() && shown->second == *detail.progress) return;
  try {
    const AppNotificationProgressResult result = manager.UpdateProgress(
        ProgressData(*detail.progress, TheDisplayRecord().next_sequence++), Utf8ToUtf16(job_id),
        Utf8ToUtf16(kJobNotificationGroup));
    if (result == AppNotificationProgressResult::kSucceeded) {
      TheDisplayRecord().with_bar[job_id] = *detail.progress;
      WriteDebugLog("PROGRESSO ATUALIZADO=" + LogValue(job_id) +
                    " VALOR=" + std::to_string(*detail.progress));
    } else {
      // Closed by the user: it stays closed until the job's next form.
      TheDisplayRecord().with_bar.erase(job_id);
      WriteDebugLog("PROGRESSO SEM NOTIFICACAO=" + LogValue(job_id));
    }
  } catch (...) {
    WriteDebugLog("PROGRESSO NAO ATUALIZADO=" + LogValue(job_id) +
                  " ERRO=" + FormatResultCode(CodeOfCurrentFailure()));
  }
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
    // A notification not in the centre comes in as the newest; one shown
    // again in place keeps its first place where the centre keeps it.
    DisplayRecord& record = TheDisplayRecord();
    const bool in_centre = TheJobRegistry().IsInCentre(job_id);
    Placement& placement = record.placements[job_id];
    if (!in_centre || placement.placed == 0) placement.placed = record.next_show;
    placement.shown = record.next_show++;
    placement.urgent = which == JobNotificationForm::kError;
    const CentreOrder order = manager.DrawOrder();
    const JobExtras extras = ExtrasFor(job_id, FirstDrawnJob(order, job_id) == job_id);
    AppNotification notification = BuildJobNotification(form, job_id, extras);
    WriteDebugLog(form.built_line);
    manager.Show(notification);
    NoteShown(job_id, form, extras);
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

void RefreshJobNotifications(const AppNotificationManager& manager,
                             const std::vector<std::string>& progress_changed, bool count_due) {
  JobRegistry& registry = TheJobRegistry();
  DisplayRecord& record = TheDisplayRecord();
  for (const std::string& job_id : progress_changed) {
    // A queued job shows its latest value when it is shown; one the user
    // closed stays closed.
    if (FormForJobState(registry.FindJobState(job_id)) != JobNotificationForm::kInProgress ||
        !registry.IsInCentre(job_id))
      continue;
    if (record.with_bar.count(job_id) != 0) {
      UpdateJobProgress(manager, job_id);
    } else {
      // Its first progress: the bar is not there to update yet.
      RefreshJobNotification(manager, job_id);
    }
  }
  if (!count_due) return;
  // The count goes where the centre draws first: a carrier that lost that
  // place (a newer job on top, or one closed above it) is shown again
  // without it. Not where showing again moves a notification to the top
  // (Windows): the older job would be put above the newest, so it keeps its
  // count until its next form replaces it anyway.
  const CentreOrder order = manager.DrawOrder();
  const std::string first = FirstDrawnJob(order);
  std::vector<std::string> stale;
  for (const auto& [job_id, placement] : record.placements)
    if (job_id != first && placement.count_shown > 0 && !order.replacement_is_new)
      stale.push_back(job_id);
  for (const std::string& job_id : stale) RefreshJobNotification(manager, job_id);
  if (!first.empty() && record.placements[first].count_shown != registry.WaitingBehindLimit())
    RefreshJobNotification(manager, first);
}

void ForgetDisplayedJobs(const std::vector<std::string>& job_ids) {
  DisplayRecord& record = TheDisplayRecord();
  for (const std::string& id : job_ids) {
    record.with_bar.erase(id);
    record.placements.erase(id);
  }
}

void ResetDisplayRecordForTesting() { TheDisplayRecord() = DisplayRecord(); }

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
