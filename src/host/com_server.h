// The activation server: the class object the activator registers with COM for
// its class identifier, and the class it makes. Both answer only the COM base
// interfaces; clicks reach the program through the notification manager's
// event, not through these objects. Neither writes to the debug log.
#pragma once

#include <atomic>

#include "platform/com.h"

namespace activator {

// An instance made by ZorvellClassFactory. Created with one reference, held by
// whoever created it; frees itself when the last one is released.
class ZorvellActivatorClass final : public IUnknown {
 public:
  ZorvellActivatorClass() = default;
  ZorvellActivatorClass(const ZorvellActivatorClass&) = delete;
  ZorvellActivatorClass& operator=(const ZorvellActivatorClass&) = delete;

  // Answers IUnknown only. A null `object` gives E_POINTER and changes nothing.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

 private:
  ~ZorvellActivatorClass() = default;  // only through Release

  // COM calls in from threads of its own, several at once.
  std::atomic<ULONG> references_{1};
};

// The class object. Start-up creates it with one reference and registers it;
// COM keeps its own reference for the rest of the run.
class ZorvellClassFactory final : public IClassFactory {
 public:
  ZorvellClassFactory() = default;
  ZorvellClassFactory(const ZorvellClassFactory&) = delete;
  ZorvellClassFactory& operator=(const ZorvellClassFactory&) = delete;

  // Answers IUnknown and IClassFactory.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // Makes a new ZorvellActivatorClass and hands out the interface asked for;
  // when that is not IUnknown (or `object` is null) the new instance is freed
  // at once and the QueryInterface failure is returned. The class does not
  // support aggregation: a non-null `outer` gives CLASS_E_NOAGGREGATION.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
  // S_OK for either flag; the process runs until it is ended from outside
  // anyway, so there is nothing to keep alive.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  ~ZorvellClassFactory() = default;  // only through Release

  std::atomic<ULONG> references_{1};
};

}  // namespace activator
