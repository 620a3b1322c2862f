// The COM plumbing every object of the stand-in runtime shares: QueryInterface
// over the interfaces it lists, IInspectable, an atomic reference count, and
// a process-wide count of live objects that the tests read to see that the
// program released every reference it was given.
#pragma once

#include <atomic>

#include "platform/os/winappsdk_abi.h"

namespace standin {

namespace abi = activator::abi;

std::atomic<long>& LiveObjects();

template <class First, class... Rest>
class Object : public First, public Rest... {
 public:
  Object() { ++LiveObjects(); }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, abi::kIidInspectable) ||
        IsEqualGUID(iid, abi::kIidAgileObject) || IsEqualGUID(iid, First::kIid)) {
      *out = static_cast<First*>(this);
    } else {
      (void)((IsEqualGUID(iid, Rest::kIid) ? (*out = static_cast<Rest*>(this), true) : false) ||
             ...);
    }
    if (*out == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override {
    *count = 0;
    *iids = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override {
    *name = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {
    *level = BaseTrust;
    return S_OK;
  }

 protected:
  virtual ~Object() { --LiveObjects(); }

 private:
  std::atomic<ULONG> references_{1};
};

}  // namespace standin
