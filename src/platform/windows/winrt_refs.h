// Ownership of what the Windows Runtime hands out: interface references and
// HSTRINGs, each released by its owner's destructor so that no early return
// or raised error leaks one. A failed call becomes HResultError.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/app_notifications.h"
#include "platform/os/winappsdk_abi.h"

namespace activator {

inline void ThrowIfFailed(HRESULT hr) {
  if (FAILED(hr)) throw HResultError(static_cast<HResult>(hr));
}

// One counted reference to a COM interface.
template <class T>
class ComRef {
 public:
  ComRef() = default;
  // Takes over a reference the caller owns.
  static ComRef Adopt(T* raw) noexcept {
    ComRef ref;
    ref.raw_ = raw;
    return ref;
  }
  // Takes a reference of its own to an object someone else holds.
  static ComRef Borrow(T* raw) noexcept {
    if (raw != nullptr) raw->AddRef();
    return Adopt(raw);
  }
  ComRef(const ComRef& other) noexcept : raw_(other.raw_) {
    if (raw_ != nullptr) raw_->AddRef();
  }
  ComRef(ComRef&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
  ComRef& operator=(ComRef other) noexcept {
    std::swap(raw_, other.raw_);
    return *this;
  }
  ~ComRef() { reset(); }

  T* get() const noexcept { return raw_; }
  T* operator->() const noexcept { return raw_; }
  explicit operator bool() const noexcept { return raw_ != nullptr; }
  void reset() noexcept {
    if (T* old = std::exchange(raw_, nullptr)) old->Release();
  }
  // For an out parameter: drops what was held and lets the callee fill it.
  T** put() noexcept {
    reset();
    return &raw_;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

  // The same object through another of its interfaces; raises when it has
  // none of that kind.
  template <class U>
  ComRef<U> As() const {
    ComRef<U> other;
    if (raw_ == nullptr) throw HResultError(static_cast<HResult>(E_POINTER));
    ThrowIfFailed(raw_->QueryInterface(U::kIid, other.put_void()));
    return other;
  }

 private:
  T* raw_ = nullptr;
};

// One owned HSTRING. The empty text is the null HSTRING, as in the runtime.
class HString {
 public:
  HString() = default;
  explicit HString(std::u16string_view text) {
    if (text.size() > 0xFFFFFFFFu) throw HResultError(static_cast<HResult>(E_INVALIDARG));
    ThrowIfFailed(::WindowsCreateString(reinterpret_cast<const wchar_t*>(text.data()),
                                        static_cast<UINT32>(text.size()), &raw_));
  }
  HString(const HString&) = delete;
  HString& operator=(const HString&) = delete;
  HString(HString&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
  ~HString() { ::WindowsDeleteString(raw_); }

  HSTRING get() const noexcept { return raw_; }
  HSTRING* put() noexcept {
    ::WindowsDeleteString(std::exchange(raw_, nullptr));
    return &raw_;
  }
  std::u16string Text() const {
    UINT32 length = 0;
    const wchar_t* buffer = ::WindowsGetStringRawBuffer(raw_, &length);
    if (buffer == nullptr || length == 0) return std::u16string();
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
  }

 private:
  HSTRING raw_ = nullptr;
};

}  // namespace activator
