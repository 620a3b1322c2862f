// Feeds arbitrary bytes to the job message parser: it must never read out of
// range, and what it returns must obey the format's rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "jobs/job_message.h"
#include "platform/text_conversion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string_view message = activator::JobMessageFromBytes(bytes);
  if (message.size() > activator::kMaxJobMessageBytes) std::abort();
  if (message.find('\0') != std::string_view::npos) std::abort();
  activator::ParsedJobMessage parsed = activator::ParseJobMessage(message);
  if (parsed.problem == activator::JobMessageProblem::kNone) {
    const auto& m = parsed.message;
    if (m.job_id.find('&') != std::string::npos) std::abort();
    if (m.reply_pipe.find("&estado=") != std::string::npos) std::abort();
    if (m.action.size() + 5 > message.size()) std::abort();
    // The id comes back from the notification platform exactly as it went.
    if (activator::Utf16ToUtf8(activator::Utf8ToUtf16(m.job_id)) != m.job_id) std::abort();
  }
  return 0;
}
