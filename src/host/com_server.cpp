// Reference counting and interface answers of the two COM classes.
#include "host/com_server.h"

#include <new>


namespace activator {

namespace {

// The shared QueryInterface rule: null out location first, then a hit stores
// the object and counts the new reference, a miss stores null.
HRESULT Answer(IUnknown* self, bool answers, void** object) {
  if (object == nullptr) return E_POINTER;
  if (!answers) {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  *object = self;
  self->AddRef();
  return S_OK;
}

}  // namespace

HRESULT STDMETHODCALLTYPE ZorvellActivatorClass::QueryInterface(REFIID riid, void** object) {
  // The IUnknown pointer of this object is the object itself: single base.
  return Answer(static_cast<IUnknown*>(this), IsEqualGUID(riid, IID_IUnknown), object);
}

ULONG STDMETHODCALLTYPE ZorvellActivatorClass::AddRef() {
  return references_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG STDMETHODCALLTYPE ZorvellActivatorClass::Release() {
  // acq_rel: every holder's last use happens before the delete.
  const ULONG remaining = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (remaining == 0) delete this;
  return remaining;
}

HRESULT STDMETHODCALLTYPE ZorvellClassFactory::QueryInterface(REFIID riid, void** object) {
  const bool answers = IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory);
  return Answer(static_cast<IClassFactory*>(this), answers, object);
}

ULONG STDMETHODCALLTYPE ZorvellClassFactory::AddRef() {
  return references_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG STDMETHODCALLTYPE ZorvellClassFactory::Release() {
  const ULONG remaining = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (remaining == 0) delete this;
  return remaining;
}

HRESULT STDMETHODCALLTYPE ZorvellClassFactory::CreateInstance(IUnknown* outer, REFIID riid,
                                                             void** object) {
  if (outer != nullptr) {
    if (object != nullptr) *object = nullptr;
    return CLASS_E_NOAGGREGATION;
  }
  auto* instance = new (std::nothrow) ZorvellActivatorClass();
  if (instance == nullptr) {
    if (object != nullptr) *object = nullptr;
    return E_OUTOFMEMORY;
  }
  // The caller's reference, if any, comes from QueryInterface; ours goes, so
  // a refused interface frees the instance here and now.
  const HRESULT hr = instance->QueryInterface(riid, object);
  instance->Release();
  return hr;
}

HRESULT STDMETHODCALLTYPE ZorvellClassFactory::LockServer(BOOL /*lock*/) { return S_OK; }

}  // namespace activator
