// Windows files: the append-data right alone, so that the system places each
// write at the end of the file even when other handles (other processes)
// append to it at the same time.
//
// Within the process the appends are taken one at a time as well: wine, where
// this port is tested, does not make a write through an append-only handle
// one step, and lines of concurrent threads were lost over each other there.
#include "platform/files.h"

#include "base/mutex.h"
#include "platform/os/windows_support.h"

namespace activator {

namespace {
Mutex& AppendLock() {
  static auto* lock = new Mutex();  // lives as long as the process
  return *lock;
}
}  // namespace

bool AppendToFile(const std::string& path, std::string_view bytes) noexcept {
  // A NUL byte would end the name early and append to another file.
  if (path.find('\0') != std::string::npos) return false;
  if (bytes.size() > MAXDWORD) return false;
  MutexLock hold(AppendLock());
  // No security attributes: the handle is not inherited by child processes.
  UniqueHandle file(::CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  // One write call: splitting the line would let another writer's line land
  // inside it.
  DWORD written = 0;
  const BOOL ok =
      ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return ok && written == bytes.size();
}

}  // namespace activator
