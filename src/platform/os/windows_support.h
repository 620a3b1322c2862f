// The Windows port's one door to the system headers: every file of the port
// includes <windows.h> through here, so the version and trimming macros are
// the same everywhere (mingw-w64 would otherwise default to an old Windows).
// Also the owned handle type the port keeps every handle in.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifdef _WIN32_WINNT
#undef _WIN32_WINNT
#endif
#define _WIN32_WINNT 0x0A00  // Windows 10

#include <windows.h>

#include <climits>
#include <string>
#include <string_view>
#include <utility>

namespace activator {

// A handle closed when its owner goes, so no early return can leak it. Both
// of the system's "no handle" values (null and INVALID_HANDLE_VALUE) count as
// empty.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  HANDLE get() const noexcept { return handle_; }
  bool valid() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const noexcept { return valid(); }

  HANDLE release() noexcept { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) noexcept {
    const HANDLE old = std::exchange(handle_, handle);
    if (old != nullptr && old != INVALID_HANDLE_VALUE) ::CloseHandle(old);
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// UTF-8 to the system's UTF-16, for the wide-character calls of the port. An
// ill-formed sequence becomes U+FFFD; text too long for one conversion call
// (over INT_MAX bytes) gives an empty result, which names no file.
inline std::wstring WidenUtf8(std::string_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return std::wstring();
  const int length = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  const int written = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
  wide.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return wide;
}

}  // namespace activator
