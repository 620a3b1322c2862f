// The event pipe client: the log lines around one write into a pipe.
#include "activation/event_pipe_client.h"

#include "log/debug_log.h"
#include "platform/pipes.h"

namespace activator {

bool SendToPipe(const std::string& message, const std::string& pipe_name) {
  // The pipe name is not repeated here: the caller logs it beforehand.
  WriteDebugLog("PIPE CONNECT");
  // The connection is already closed when this returns, so nothing below
  // logs with the pipe still open.
  const PipeSendResult result = WriteMessageToPipe(pipe_name, message);
  switch (result.status) {
    case PipeSendStatus::kOpenFailed:
      WriteDebugLog("PIPE FAILED=" + FormatErrorCode(result.error));
      return false;
    case PipeSendStatus::kWriteFailed:
      WriteDebugLog("WRITE FAILED");
      return false;
    case PipeSendStatus::kTimedOut:
      WriteDebugLog("WRITE TIMEOUT");
      return false;
    case PipeSendStatus::kNotAPipe:
      WriteDebugLog("PIPE NAO LOCAL");
      return false;
    case PipeSendStatus::kOtherUser:
      WriteDebugLog("PIPE OUTRO USUARIO");
      return false;
    case PipeSendStatus::kUnknownOwner:
      WriteDebugLog("PIPE DONO DESCONHECIDO");
      return false;
    case PipeSendStatus::kSent:
      break;
  }
  WriteDebugLog("PIPE SENT=" + LogValue(message));
  return true;
}

}  // namespace activator
