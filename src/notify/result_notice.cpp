#include "notify/result_notice.h"

#include "base/build_constants.h"
#include "log/debug_log.h"
#include "platform/text_conversion.h"

namespace activator {

void ShowResultNotOpened(const AppNotificationManager& manager, const std::string& job_id,
                         const std::string& why) noexcept {
  try {
    AppNotificationBuilder builder;
    builder.SetHeroImage(Uri(Utf8ToUtf16(kNotificationImageUri)));
    builder.SetTag(Utf8ToUtf16(job_id));
    builder.SetGroup(Utf8ToUtf16(kNoticeNotificationGroup));
    builder.AddText(u"Zorvell Lab");
    builder.AddText(u"Resultado não aberto");
    builder.AddText(Utf8ToUtf16(why));
    manager.Show(builder.BuildNotification());
    WriteDebugLog("AVISO RESULTADO NAO ABERTO MOSTRADO=" + LogValue(job_id));
  } catch (const HResultError& error) {
    WriteDebugLog("AVISO RESULTADO NAO ABERTO FALHOU=" + LogValue(job_id) +
                  " ERRO=" + FormatResultCode(error.code()));
  } catch (...) {
    WriteDebugLog("AVISO RESULTADO NAO ABERTO FALHOU=" + LogValue(job_id));
  }
}

}  // namespace activator
