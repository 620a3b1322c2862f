#include "jobs/job_message.h"

#include <algorithm>

#include "base/percent_encoding.h"
#include "jobs/job_protocol.h"

namespace activator {

namespace {

constexpr std::size_t kActionStart = 5;  // after "acao=", which is not examined

// The value of the first "&<key>=" inside `fields`, up to the next '&'.
std::optional<std::string_view> FindOptionalField(std::string_view fields, std::string_view key) {
  const std::size_t at = fields.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view rest = fields.substr(at + key.size());
  return rest.substr(0, rest.find('&'));
}

// Why a decoded description cannot be shown, or nullptr when it can. It is
// one line of a notification and travels as the notification's text on every
// port: well-formed UTF-8, no control characters, no noncharacters.
const char* ProblemWithDescription(std::string_view text) {
  if (text.size() > kMaxDescriptionBytes) return "LONGA DEMAIS";
  if (!IsWellFormedUtf8(text)) return "NAO UTF-8";
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return "CARACTERE DE CONTROLE";
  }
  // C1 controls, U+0080..U+009F, are C2 80..C2 9F.
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) == 0xC2 &&
        static_cast<unsigned char>(text[i + 1]) <= 0x9F)
      return "CARACTERE DE CONTROLE";
  }
  if (HasNoncharacter(text)) return "NAO-CARACTERE";
  return nullptr;
}

void ReadDescription(std::string_view raw, JobMessage& m) {
  std::optional<std::string> decoded = PercentDecode(raw);
  if (!decoded) {
    m.ignored_fields.emplace_back("DESCRICAO INVALIDA=CODIFICACAO");
    return;
  }
  if (const char* problem = ProblemWithDescription(*decoded)) {
    m.ignored_fields.push_back(std::string("DESCRICAO INVALIDA=") + problem);
    return;
  }
  m.description = std::move(*decoded);
}

void ReadProgress(std::string_view raw, JobMessage& m) {
  int value = 0;
  bool valid = !raw.empty() && raw.size() <= 3;
  for (const char c : raw) {
    if (c < '0' || c > '9') valid = false;
    if (valid) value = value * 10 + (c - '0');
  }
  if (!valid || value > 100) {
    // The value is the worker's, cut to a length a log line can carry.
    m.ignored_fields.push_back("PROGRESSO INVALIDO=" + std::string(raw.substr(0, 16)));
    return;
  }
  m.progress = value;
}

void ReadNotices(std::string_view raw, JobMessage& m) {
  if (raw != kNoticeQueued.text()) {
    m.ignored_fields.push_back("AVISOS INVALIDO=" + std::string(raw.substr(0, 16)));
    return;
  }
  m.wants_queue_notice = true;
}

void ReadQueuePosition(std::string_view raw, JobMessage& m) {
  unsigned long long value = 0;
  bool valid = !raw.empty() && raw.size() <= 18;
  for (const char c : raw) {
    if (c < '0' || c > '9') valid = false;
    if (valid) value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (!valid) {
    m.ignored_fields.push_back("POSICAO INVALIDA=" + std::string(raw.substr(0, 16)));
    return;
  }
  m.queue_position = value;
}

}  // namespace

std::string EncodeDescription(std::string_view text) { return PercentEncode(text); }

bool IsWellFormedUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    unsigned char low = 0x80;  // the range the second byte must lie in
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
      if (lead == 0xED) high = 0x9F;  // surrogates U+D800..U+DFFF
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // overlong below U+10000
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;  // a continuation byte, C0/C1 (overlong) or F5..FF
    }
    if (text.size() - i < length) return false;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if (second < low || second > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if (next < 0x80 || next > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

bool FitsNotificationTag(std::string_view job_id) {
  std::size_t units = 0;
  for (const char byte : job_id) {
    const auto b = static_cast<unsigned char>(byte);
    if ((b & 0xC0) == 0x80) continue;  // continuation bytes add nothing
    units += b >= 0xF0 ? 2 : 1;        // four bytes: a surrogate pair
  }
  return units <= kMaxNotificationTagUnits;
}

bool HasNoncharacter(std::string_view text) {
  // Over well-formed UTF-8 only. U+FDD0..U+FDEF is EF B7 90..EF B7 AF. The
  // last two code points of a plane, U+xFFFE and U+xFFFF, are EF BF BE/BF in
  // plane 0 and, above it, a four-byte form whose second byte has 1111 in
  // its low bits, followed by BF and BE/BF.
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const std::size_t left = text.size() - i;
    if (b(0) == 0xEF && left >= 3) {
      if (b(1) == 0xB7 && b(2) >= 0x90 && b(2) <= 0xAF) return true;
      if (b(1) == 0xBF && (b(2) == 0xBE || b(2) == 0xBF)) return true;
    } else if (b(0) >= 0xF0 && b(0) <= 0xF4 && left >= 4) {
      if ((b(1) & 0x0F) == 0x0F && b(2) == 0xBF && (b(3) == 0xBE || b(3) == 0xBF)) return true;
    }
  }
  return false;
}

std::string_view JobMessageFromBytes(std::string_view bytes) {
  bytes = bytes.substr(0, kMaxJobMessageBytes);
  return bytes.substr(0, bytes.find('\0'));
}

bool DropFinalLineEnd(std::string_view& message) {
  if (!message.ends_with('\n')) return false;
  message.remove_suffix(message.ends_with("\r\n") ? 2 : 1);
  return true;
}

ParsedJobMessage ParseJobMessage(std::string_view message) {
  ParsedJobMessage parsed;
  if (message.size() < kActionStart) {
    parsed.problem = JobMessageProblem::kTooShort;
    return parsed;
  }
  const std::size_t id_key = message.find(kJobIdKey.text());
  if (id_key == std::string_view::npos) {
    parsed.problem = JobMessageProblem::kNoJobId;
    return parsed;
  }
  if (id_key < kActionStart) {
    parsed.problem = JobMessageProblem::kJobIdInsideAction;
    return parsed;
  }
  JobMessage& m = parsed.message;
  m.action = message.substr(kActionStart, id_key - kActionStart);

  const std::size_t id_start = id_key + kJobIdKey.text().size();
  const std::size_t id_end = message.find('&', id_start);
  const std::string_view job_id = message.substr(
      id_start, id_end == std::string_view::npos ? std::string_view::npos : id_end - id_start);
  if (!IsWellFormedUtf8(job_id)) {
    parsed.problem = JobMessageProblem::kJobIdNotUtf8;
    return parsed;
  }
  if (!FitsNotificationTag(job_id)) {
    parsed.problem = JobMessageProblem::kJobIdTooLong;
    return parsed;
  }
  if (HasNoncharacter(job_id)) {
    parsed.problem = JobMessageProblem::kJobIdNoncharacter;
    return parsed;
  }
  m.job_id = job_id;

  const std::size_t pipe_key = message.find(kReplyPipeKey.text());
  if (pipe_key != std::string_view::npos) {
    const std::size_t pipe_start = pipe_key + kReplyPipeKey.text().size();
    const std::size_t pipe_end = message.find(kJobStateKey.text(), pipe_start);
    m.reply_pipe =
        message.substr(pipe_start, pipe_end == std::string_view::npos ? std::string_view::npos
                                                                      : pipe_end - pipe_start);
  }

  const std::size_t state_key = message.find(kJobStateKey.text());
  if (state_key != std::string_view::npos) {
    m.job_state = message.substr(state_key + kJobStateKey.text().size());
  }

  // The optional fields lie where the format ignores a field: after the id,
  // before the reply pipe or, without one, the state. A key found anywhere
  // else is part of another field's value.
  if (id_end != std::string_view::npos) {
    const std::size_t fields_end = std::min(pipe_key, state_key);
    if (fields_end > id_end) {
      const std::string_view fields =
          message.substr(id_end, fields_end == std::string_view::npos ? std::string_view::npos
                                                                      : fields_end - id_end);
      if (auto raw = FindOptionalField(fields, kDescriptionKey.text())) ReadDescription(*raw, m);
      if (auto raw = FindOptionalField(fields, kProgressKey.text())) ReadProgress(*raw, m);
      if (auto raw = FindOptionalField(fields, kNoticesKey.text())) ReadNotices(*raw, m);
      if (auto raw = FindOptionalField(fields, kQueuePositionKey.text()))
        ReadQueuePosition(*raw, m);
    }
  }
  return parsed;
}

ParsedJobMessage ParseMaybeCutJobMessage(std::string_view message) {
  if (message.find(kJobStateKey.text()) == std::string_view::npos) {
    ParsedJobMessage cut;
    cut.problem = JobMessageProblem::kCut;
    return cut;
  }
  return ParseJobMessage(message);
}

std::string FormatJobMessage(const JobMessage& m) {
  std::string message(kFieldAction.text());
  message += '=';
  message += m.action;
  message += kJobIdKey.text();
  message += m.job_id;
  if (m.description) {
    message += kDescriptionKey.text();
    message += EncodeDescription(*m.description);
  }
  if (m.progress) {
    message += kProgressKey.text();
    message += std::to_string(*m.progress);
  }
  if (m.wants_queue_notice) {
    message += kNoticesKey.text();
    message += kNoticeQueued.text();
  }
  if (m.queue_position) {
    message += kQueuePositionKey.text();
    message += std::to_string(*m.queue_position);
  }
  if (!m.reply_pipe.empty()) {
    message += kReplyPipeKey.text();
    message += m.reply_pipe;
  }
  message += kJobStateKey.text();
  message += m.job_state;
  return message;
}

const char* DescribeJobMessageProblem(JobMessageProblem problem) {
  switch (problem) {
    case JobMessageProblem::kNone:
      return "OK";
    case JobMessageProblem::kTooShort:
      return "CURTA";
    case JobMessageProblem::kNoJobId:
      return "SEM ID_EXECUCAO";
    case JobMessageProblem::kJobIdInsideAction:
      return "ID_EXECUCAO ANTES DA ACAO";
    case JobMessageProblem::kJobIdNotUtf8:
      return "ID_EXECUCAO NAO UTF-8";
    case JobMessageProblem::kJobIdTooLong:
      return "ID_EXECUCAO LONGO DEMAIS";
    case JobMessageProblem::kJobIdNoncharacter:
      return "ID_EXECUCAO COM NAO-CARACTERE";
    case JobMessageProblem::kCut:
      return "CORTADA";
  }
  return "DESCONHECIDA";
}

}  // namespace activator
