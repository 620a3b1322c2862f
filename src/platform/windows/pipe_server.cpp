// The server end of a pipe on Windows: one named-pipe instance per
// PipeServerInstance, inbound only, byte mode, a single instance of the name
// at a time. While an instance is being handled no other exists, so a client
// arriving then finds the pipe busy or absent; that is how the system's pipes
// behave and what the worker is written against.
#include <algorithm>

#include "platform/os/windows_support.h"
#include "platform/pipes.h"

namespace activator {

namespace {
constexpr DWORD kBufferSize = 4096;
}  // namespace

struct PipeServerInstance::Impl {
  UniqueHandle pipe;
  bool connected = false;
};

std::optional<PipeServerInstance> PipeServerInstance::Create(const std::string& name,
                                                             PipeErrorCode* error) {
  if (name.find('\0') != std::string::npos) {
    if (error != nullptr) *error = ERROR_INVALID_NAME;
    return std::nullopt;
  }
  // Mode 0: byte stream, byte reads, blocking calls. Default security: the
  // handle is not inherited by child processes.
  UniqueHandle pipe(::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND, 0, 1, kBufferSize,
                                       kBufferSize, 0, nullptr));
  if (!pipe) {
    if (error != nullptr) *error = static_cast<PipeErrorCode>(::GetLastError());
    return std::nullopt;
  }
  auto impl = std::make_unique<Impl>();
  impl->pipe = std::move(pipe);
  return PipeServerInstance(std::move(impl));
}

PipeServerInstance::PipeServerInstance(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeServerInstance::PipeServerInstance(PipeServerInstance&&) noexcept = default;
PipeServerInstance& PipeServerInstance::operator=(PipeServerInstance&&) noexcept = default;

PipeServerInstance::~PipeServerInstance() { DisconnectAndClose(); }

bool PipeServerInstance::WaitForClient() {
  if (!impl_ || !impl_->pipe) return false;
  // A client that opened the pipe between its creation and this call is
  // already connected: the call fails with ERROR_PIPE_CONNECTED. One that has
  // also written and closed again gives ERROR_NO_DATA, yet its message waits
  // in the pipe's buffer: that counts as connected too, or the message would
  // be lost. The read then gives the message, or nothing if there was none.
  if (::ConnectNamedPipe(impl_->pipe.get(), nullptr)) {
    impl_->connected = true;
  } else {
    const DWORD error = ::GetLastError();
    impl_->connected = error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
  }
  return impl_->connected;
}

std::optional<std::string> PipeServerInstance::ReadOnce(std::size_t max_bytes) {
  if (!impl_ || !impl_->pipe || !impl_->connected || max_bytes == 0) return std::nullopt;
  const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(max_bytes, MAXDWORD));
  std::string buffer(wanted, '\0');
  DWORD count = 0;
  // A client that closed without writing ends the read with
  // ERROR_BROKEN_PIPE: no message, as a read of nothing is.
  if (!::ReadFile(impl_->pipe.get(), buffer.data(), wanted, &count, nullptr) || count == 0)
    return std::nullopt;
  buffer.resize(count);
  return buffer;
}

void PipeServerInstance::DisconnectAndClose() {
  if (!impl_ || !impl_->pipe) return;
  // Unread bytes are discarded with the client.
  if (impl_->connected) ::DisconnectNamedPipe(impl_->pipe.get());
  impl_->connected = false;
  impl_->pipe.reset();
}

}  // namespace activator
