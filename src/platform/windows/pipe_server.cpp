// The server end of a pipe on Windows: one named-pipe instance per
// PipeServerInstance, inbound only, byte mode, a single instance of the name,
// kept for as long as its owner serves. While a client is handled, the next
// finds the pipe busy; once it is dropped, the instance waits for the next
// client at once. The name is never free while the server runs, so no other
// process can take it and receive the workers' messages.
//
// The pipe is made with FILE_FLAG_FIRST_PIPE_INSTANCE, so a name someone else
// already serves is a failure rather than a second instance beside theirs,
// and with a descriptor that lets only this process's user and the system
// open it (the default one lets everyone read). Its owner is that user, even
// for an administrator whose token would make the administrators the owner:
// the clients take the owner for the user the server runs as.
//
// The instance is opened for overlapped I/O so that the wait for a connected
// client's message can be bounded: a client that connects and writes nothing
// would otherwise hold the one instance, and with it every other worker, for
// good. Remote clients are refused: the worker is always a local process.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/os/windows_support.h"
#include "platform/pipes.h"
#include "platform/windows/user_sid.h"

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
  enum class State {
    kIdle,       // no wait for a client started yet
    kListening,  // an overlapped connect is under way in `connect`
    kArrived,    // a client is connected and not yet handed out
    kServing,    // the client WaitForClient handed out
    kBroken,     // the instance takes no clients
  };
  UniqueHandle pipe;
  UniqueHandle event;  // manual-reset, signalled when an overlapped call ends
  OVERLAPPED connect{};
  State state = State::kIdle;

  // Starts waiting for the next client without blocking, so that one that
  // comes before the next wait connects at once. A client that opened the
  // pipe before the call is already connected (ERROR_PIPE_CONNECTED); one
  // that has also written and closed again gives ERROR_NO_DATA, yet its
  // message waits in the pipe's buffer: that counts as connected too, or the
  // message would be lost. The read then gives the message, or nothing if
  // there was none.
  void Listen() {
    connect = OVERLAPPED{};
    connect.hEvent = event.get();
    ::ResetEvent(connect.hEvent);
    if (::ConnectNamedPipe(pipe.get(), &connect)) {
      state = State::kArrived;
      return;
    }
    switch (::GetLastError()) {
      case ERROR_IO_PENDING:
        state = State::kListening;
        break;
      case ERROR_PIPE_CONNECTED:
      case ERROR_NO_DATA:
        state = State::kArrived;
        break;
      default:
        state = State::kBroken;
    }
  }
};

// The pipe allows one instance: while another server holds it, a create
// fails as busy, or as denied when that server runs as another user.
bool PipeServerInstance::IsNameTaken(PipeErrorCode error) {
  return error == ERROR_PIPE_BUSY || error == ERROR_ACCESS_DENIED;
}

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
  const std::unique_ptr<void, LocalFreer> descriptor = OwnerOnlyDescriptor();
  if (!descriptor) return fail();
  // Not inherited by child processes.
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
  // Byte stream, byte reads; the calls complete through `event`.
  UniqueHandle pipe(::CreateNamedPipeW(
      WidenUtf8(name).c_str(),
      PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, kBufferSize,
      kBufferSize, 0, &security));
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
  using State = Impl::State;
  if (impl_->state == State::kServing) Disconnect();
  if (impl_->state == State::kIdle) impl_->Listen();
  // The system cancels a thread's I/O when the thread ends: a wait started
  // on a thread that has ended since is started again, once.
  for (int attempt = 0; attempt < 2 && impl_->state == State::kListening; ++attempt) {
    DWORD ignored = 0;
    bool timed_out = false;
    if (FinishOverlapped(impl_->pipe.get(), &impl_->connect, INFINITE, &ignored, &timed_out)) {
      impl_->state = State::kArrived;
    } else if (::GetLastError() == ERROR_OPERATION_ABORTED && attempt == 0) {
      impl_->Listen();
    } else {
      impl_->state = State::kBroken;
    }
  }
  if (impl_->state != State::kArrived) return false;
  impl_->state = State::kServing;
  return true;
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
  if (!impl_ || !impl_->pipe || impl_->state != Impl::State::kServing || max_bytes == 0)
    return result;
  const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(max_bytes, MAXDWORD));
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string buffer(wanted, '\0');
  DWORD filled = 0;
  result.end = PipeReadEnd::kFull;  // unless a read ends the loop first
  // One read for the first bytes, waiting up to the limit; then one for each
  // further piece, waiting up to the pause. A read that completes returns
  // what the pipe holds, not necessarily all that was asked for.
  while (filled < wanted) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = impl_->event.get();
    ::ResetEvent(overlapped.hEvent);
    DWORD count = 0;
    DWORD error = ERROR_SUCCESS;
    bool timed_out = false;
    bool limit_first = true;
    bool done = ::ReadFile(impl_->pipe.get(), buffer.data() + filled, wanted - filled, nullptr,
                           &overlapped) != FALSE;
    if (done) {
      done = ::GetOverlappedResult(impl_->pipe.get(), &overlapped, &count, FALSE) != FALSE;
      if (!done) error = ::GetLastError();
    } else if ((error = ::GetLastError()) == ERROR_IO_PENDING) {
      const auto pause_end = std::chrono::steady_clock::now() + pause;
      limit_first = filled == 0 || deadline <= pause_end;
      done = FinishOverlapped(impl_->pipe.get(), &overlapped,
                              WaitUntil(limit_first ? deadline : pause_end), &count, &timed_out);
      if (!done) error = ::GetLastError();
    }
    if (done && count > 0) {
      filled += count;
      continue;
    }
    // A client that closed its end ends the read with ERROR_BROKEN_PIPE:
    // the message is what came before. A read that completed empty is none
    // of the ends the caller can trust.
    if (timed_out) {
      result.end = limit_first ? PipeReadEnd::kLimit : PipeReadEnd::kPause;
    } else if (!done && (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED)) {
      result.end = PipeReadEnd::kClosed;
    } else {
      result.end = PipeReadEnd::kFailed;
    }
    break;
  }
  if (filled > 0) {
    buffer.resize(filled);
    result.status = PipeReadStatus::kRead;
    result.bytes = std::move(buffer);
  } else if (result.end == PipeReadEnd::kLimit) {
    result.status = PipeReadStatus::kTimedOut;
  }
  return result;
}

void PipeServerInstance::Disconnect() {
  if (!impl_ || !impl_->pipe) return;
  using State = Impl::State;
  if (impl_->state == State::kListening || impl_->state == State::kBroken) return;
  // Unread bytes are discarded with the client. The instance keeps the name
  // and waits for the next client at once.
  if (impl_->state != State::kIdle) ::DisconnectNamedPipe(impl_->pipe.get());
  impl_->Listen();
}

void PipeServerInstance::DisconnectAndClose() {
  if (!impl_ || !impl_->pipe) return;
  using State = Impl::State;
  if (impl_->state == State::kListening) {
    // The system writes into `connect` until the wait has ended.
    ::CancelIoEx(impl_->pipe.get(), &impl_->connect);
    DWORD ignored = 0;
    ::GetOverlappedResult(impl_->pipe.get(), &impl_->connect, &ignored, TRUE);
  } else if (impl_->state == State::kArrived || impl_->state == State::kServing) {
    ::DisconnectNamedPipe(impl_->pipe.get());
  }
  impl_->state = State::kIdle;
  impl_->pipe.reset();
  impl_->event.reset();
}

}  // namespace activator
