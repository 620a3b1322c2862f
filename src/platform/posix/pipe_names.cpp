#include "platform/posix/pipe_names.h"

#include <string_view>

#include "base/build_constants.h"

namespace activator {

std::string SocketPathForPipe(const std::string& pipe_name) {
  constexpr std::string_view kPipePrefix = "\\\\.\\pipe\\";
  if (pipe_name.size() > kPipePrefix.size() &&
      std::string_view(pipe_name).substr(0, kPipePrefix.size()) == kPipePrefix) {
    return std::string(kPipeDirectory) + "/" + pipe_name.substr(kPipePrefix.size());
  }
  return pipe_name;
}

}  // namespace activator
