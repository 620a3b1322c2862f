// A lock named after a file, for one process at a time to own what the file
// stands for (activator-run: one live run per job id). The system frees it
// when its holder ends, however it ends, and a child process never inherits
// it. Deleting or replacing the file while the lock is held does not free it:
// on Linux and on Windows the lock is a name that nothing can delete (a name
// of the abstract socket namespace beside the file's own lock; a mutex of the
// machine named after the file and the user, so that one user's sessions
// exclude each other), elsewhere the file is at least checked to be the one its path
// names once locked.
#pragma once

#include <cstdint>
#include <string>

namespace activator {

enum class FileLockStatus {
  kTaken,   // this process holds the lock until it ends
  kHeld,    // another process holds it
  kFailed,  // it cannot be had (on POSIX: the file's folder is missing, the file is not ours)
};

struct FileLockResult {
  FileLockStatus status = FileLockStatus::kFailed;
  uint32_t error = 0;  // the system's own number (errno, GetLastError) when kFailed
};

// Takes the lock of the file at `path` without waiting; on POSIX the file is
// made (empty, 0600) when missing, and stays. Once taken it is never given
// back: on Windows it belongs to the calling thread, which must last as long
// as the process.
FileLockResult TryTakeFileLock(const std::string& path) noexcept;

}  // namespace activator
