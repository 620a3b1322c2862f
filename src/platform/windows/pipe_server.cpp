// The server end of a pipe on Windows: one named-pipe instance per
// PipeServerInstance, inbound only, byte mode, a single instance of the name
// at a time. While an instance is being handled no other exists, so a client
// arriving then finds the pipe busy or absent; that is how the system's pipes
// behave and what the worker is written against.
//
// The instance is opened for overlapped I/O so that the wait for a connected
// client's message can be bounded: a client that connects and writes nothing
// would otherwise hold the one instance, and with it every other worker, for
// good. Remote clients are refused: the worker is always a local process.
#include <algorithm>
#include <cstdint>

#include "platform/os/windows_support.h"
#include "platform/pipes.h"

namespace activator {

namespace {

constexpr DWORD kBufferSize = 4096;

// Waits for an overlapped operation started on `pipe`, at most `limit` (or
// without end when `limit` is INFINITE). On time-out the operation is
// cancelled, and its end awaited, since the system writes into `overlapped`
// and the caller's buffer until then. True when it completed; `*count` is what
// it transferred and `*timed_out` whether the limit passed first.
bool FinishOverlapped(HANDLE pipe, OVERLAPPED* overlapped, DWORD limit, DWORD* count,
                      bool* timed_out) {
  *timed_out = false;
  if (::WaitForSingleObject(overlapped->hEvent, limit) != WAIT_OBJECT_0) {
    *timed_out = true;
    ::CancelIo(pipe);
  }
  // A read that completed just as the limit passed keeps its bytes, and one
  // that failed on its own (the client went) is no time-out.
  if (::GetOverlappedResult(pipe, overlapped, count, TRUE)) return true;
  if (::GetLastError() != ERROR_OPERATION_ABORTED) *timed_out = false;
  return false;
}

}  // namespace

struct PipeServerInstance::Impl {
  UniqueHandle pipe;
  UniqueHandle event;  // manual-reset, signalled when an overlapped call ends
  bool connected = false;
};

std::optional<PipeServerInstance> PipeServerInstance::Create(const std::string& name,
                                                             PipeErrorCode* error) {
  if (name.find('\0') != std::string::npos) {
    if (error != nullptr) *error = ERROR_INVALID_NAME;
    return std::nullopt;
  }
  auto fail = [error] {
    if (error != nullptr) *error = static_cast<PipeErrorCode>(::GetLastError());
    return std::nullopt;
  };
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return fail();
  // Byte stream, byte reads; the calls complete through `event`. Default
  // security: the handle is not inherited by child processes.
  UniqueHandle pipe(::CreateNamedPipeA(
      name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, kBufferSize,
      kBufferSize, 0, nullptr));
  if (!pipe) return fail();
  auto impl = std::make_unique<Impl>();
  impl->pipe = std::move(pipe);
  impl->event = std::move(event);
  return PipeServerInstance(std::move(impl));
}

PipeServerInstance::PipeServerInstance(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeServerInstance::PipeServerInstance(PipeServerInstance&&) noexcept = default;
PipeServerInstance& PipeServerInstance::operator=(PipeServerInstance&&) noexcept = default;

PipeServerInstance::~PipeServerInstance() { DisconnectAndClose(); }

bool PipeServerInstance::WaitForClient() {
  if (!impl_ || !impl_->pipe) return false;
  OVERLAPPED overlapped{};
  overlapped.hEvent = impl_->event.get();
  ::ResetEvent(overlapped.hEvent);
  // A client that opened the pipe between its creation and this call is
  // already connected: the call fails with ERROR_PIPE_CONNECTED. One that has
  // also written and closed again gives ERROR_NO_DATA, yet its message waits
  // in the pipe's buffer: that counts as connected too, or the message would
  // be lost. The read then gives the message, or nothing if there was none.
  if (::ConnectNamedPipe(impl_->pipe.get(), &overlapped)) {
    impl_->connected = true;
    return true;
  }
  DWORD error = ::GetLastError();
  if (error == ERROR_IO_PENDING) {
    DWORD ignored = 0;
    bool timed_out = false;
    impl_->connected =
        FinishOverlapped(impl_->pipe.get(), &overlapped, INFINITE, &ignored, &timed_out);
    return impl_->connected;
  }
  impl_->connected = error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
  return impl_->connected;
}

namespace {

// Milliseconds from now until `until`, as a wait a DWORD can give (INFINITE
// is one above the longest).
DWORD WaitUntil(std::chrono::steady_clock::time_point until) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
  return static_cast<DWORD>(std::clamp<std::int64_t>(left.count(), 0, INFINITE - 1));
}

}  // namespace

PipeReadResult PipeServerInstance::ReadMessage(std::size_t max_bytes,
                                               std::chrono::milliseconds limit,
                                               std::chrono::milliseconds pause) {
  PipeReadResult result;
  if (!impl_ || !impl_->pipe || !impl_->connected || max_bytes == 0) return result;
  const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(max_bytes, MAXDWORD));
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string buffer(wanted, '\0');
  DWORD filled = 0;
  bool timed_out = false;
  // One read for the first bytes, waiting up to the limit; then one for each
  // further piece, waiting up to the pause. A read that completes returns
  // what the pipe holds, not necessarily all that was asked for.
  while (filled < wanted) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = impl_->event.get();
    ::ResetEvent(overlapped.hEvent);
    DWORD count = 0;
    bool done = ::ReadFile(impl_->pipe.get(), buffer.data() + filled, wanted - filled, nullptr,
                           &overlapped) != FALSE;
    if (done) {
      done = ::GetOverlappedResult(impl_->pipe.get(), &overlapped, &count, FALSE) != FALSE;
    } else if (::GetLastError() == ERROR_IO_PENDING) {
      const auto until =
          filled == 0 ? deadline : std::min(deadline, std::chrono::steady_clock::now() + pause);
      done = FinishOverlapped(impl_->pipe.get(), &overlapped, WaitUntil(until), &count, &timed_out);
    }
    // A client that closed its end ends the read with ERROR_BROKEN_PIPE:
    // the message is what came before.
    if (!done || count == 0) break;
    filled += count;
  }
  if (filled > 0) {
    buffer.resize(filled);
    result.status = PipeReadStatus::kRead;
    result.bytes = std::move(buffer);
  } else if (timed_out) {
    result.status = PipeReadStatus::kTimedOut;
  }
  return result;
}

void PipeServerInstance::DisconnectAndClose() {
  if (!impl_ || !impl_->pipe) return;
  // Unread bytes are discarded with the client.
  if (impl_->connected) ::DisconnectNamedPipe(impl_->pipe.get());
  impl_->connected = false;
  impl_->pipe.reset();
  impl_->event.reset();
}

}  // namespace activator
