// A client that connects to a pipe and writes nothing until it is closed, as a
// stalled or hostile local process would - or only what the test tells it,
// piece by piece, as a worker that writes a message in several calls.
#pragma once

#include <string>
#include <string_view>

#if defined(_WIN32)
#include "platform/os/windows_support.h"
#else
#include "platform/posix/pipe_names.h"
#include "platform/socket_test_client.h"
#endif

namespace activator::testing {

class SilentClient {
 public:
  explicit SilentClient(const std::string& pipe_name) {
#if defined(_WIN32)
    end_.reset(
        ::CreateFileA(pipe_name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
#else
    end_ = ConnectToSocket(SocketPathForPipe(pipe_name));
#endif
  }

  bool connected() const { return end_.valid(); }
  // One write of `bytes`; true when all of them went.
  bool Write(std::string_view bytes) {
#if defined(_WIN32)
    DWORD written = 0;
    return ::WriteFile(end_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr) &&
           written == bytes.size();
#else
    return ::write(end_.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
#endif
  }
  void Close() { end_.reset(); }

 private:
#if defined(_WIN32)
  UniqueHandle end_;
#else
  UniqueFd end_;
#endif
};

}  // namespace activator::testing
