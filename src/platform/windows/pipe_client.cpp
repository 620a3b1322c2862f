// Windows client end of a pipe: the pipe opened write-only, one message
// written, the handle closed again. A busy pipe (its one instance taken by
// another client) is a failed open at once, never a wait.
#include <algorithm>

#include "platform/os/windows_support.h"
#include "platform/pipes.h"

namespace activator {

PipeSendResult WriteMessageToPipe(const std::string& name, std::string_view message) {
  // A NUL byte would end the name early and reach another pipe.
  if (name.find('\0') != std::string::npos)
    return {PipeSendStatus::kOpenFailed, ERROR_INVALID_NAME};
  UniqueHandle pipe(
      ::CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!pipe) return {PipeSendStatus::kOpenFailed, static_cast<PipeErrorCode>(::GetLastError())};
  // One write of the whole message; a count short of it is a failure, not a
  // message delivered.
  DWORD written = 0;
  const bool sent = message.size() <= MAXDWORD &&
                    ::WriteFile(pipe.get(), message.data(), static_cast<DWORD>(message.size()),
                                &written, nullptr) &&
                    written == message.size();
  pipe.reset();  // closed before the caller hears the outcome, whatever it is
  return {sent ? PipeSendStatus::kSent : PipeSendStatus::kWriteFailed, 0};
}

bool PipeWasBusy(PipeErrorCode error) noexcept { return error == ERROR_PIPE_BUSY; }

std::string PipeLocation(const std::string& name) { return name; }

}  // namespace activator
