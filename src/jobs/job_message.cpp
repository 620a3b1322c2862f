#include "jobs/job_message.h"

#include "jobs/job_protocol.h"

namespace activator {

namespace {

constexpr std::size_t kActionStart = 5;  // after "acao=", which is not examined

}  // namespace

std::string_view JobMessageFromBytes(std::string_view bytes) {
  bytes = bytes.substr(0, kMaxJobMessageBytes);
  return bytes.substr(0, bytes.find('\0'));
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
  m.job_id = message.substr(
      id_start, id_end == std::string_view::npos ? std::string_view::npos : id_end - id_start);

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
  return parsed;
}

std::string FormatJobMessage(const JobMessage& m) {
  std::string message(kFieldAction.text());
  message += '=';
  message += m.action;
  message += kJobIdKey.text();
  message += m.job_id;
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
  }
  return "DESCONHECIDA";
}

}  // namespace activator
