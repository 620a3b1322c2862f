// The COM stand-in of the POSIX port: per-thread apartment membership and a
// process-wide table of registered class objects.
#include "platform/com.h"

#include <mutex>
#include <vector>

namespace {

struct ApartmentMembership {
  int initialisations = 0;
  DWORD kind = COINIT_MULTITHREADED;
};
thread_local ApartmentMembership t_apartment;

struct Registration {
  DWORD cookie;
  CLSID clsid;
  DWORD class_context;
  IUnknown* object;
};

std::mutex g_table_lock;
std::vector<Registration>& Table() {
  static auto* table = new std::vector<Registration>();  // lives as long as the process
  return *table;
}
DWORD g_next_cookie = 1;

}  // namespace

HRESULT CoInitializeEx(void* reserved, DWORD coinit) {
  if (reserved != nullptr) return E_INVALIDARG;
  const DWORD kind = coinit & COINIT_APARTMENTTHREADED;
  if (t_apartment.initialisations > 0) {
    if (t_apartment.kind != kind) return RPC_E_CHANGED_MODE;
    ++t_apartment.initialisations;
    return S_FALSE;
  }
  t_apartment.kind = kind;
  t_apartment.initialisations = 1;
  return S_OK;
}

void CoUninitialize() {
  if (t_apartment.initialisations > 0) --t_apartment.initialisations;
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD class_context, DWORD flags,
                              DWORD* cookie) {
  if (object == nullptr || cookie == nullptr) return E_INVALIDARG;
  *cookie = 0;
  if (t_apartment.initialisations == 0) return CO_E_NOTINITIALIZED;
  (void)flags;
  std::lock_guard<std::mutex> lock(g_table_lock);
  for (const auto& r : Table()) {
    if (r.clsid == clsid && (r.class_context & class_context) != 0) return CO_E_OBJISREG;
  }
  object->AddRef();
  Table().push_back({g_next_cookie, clsid, class_context, object});
  *cookie = g_next_cookie++;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  IUnknown* object = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_table_lock);
    auto& table = Table();
    for (auto it = table.begin(); it != table.end(); ++it) {
      if (it->cookie == cookie) {
        object = it->object;
        table.erase(it);
        break;
      }
    }
  }
  if (object == nullptr) return E_INVALIDARG;
  object->Release();
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD class_context, void* server_info, REFIID riid,
                         void** object) {
  (void)server_info;
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  IUnknown* found = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_table_lock);
    for (const auto& r : Table()) {
      if (r.clsid == clsid && (r.class_context & class_context) != 0) {
        found = r.object;
        found->AddRef();
        break;
      }
    }
  }
  if (found == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
  HRESULT hr = found->QueryInterface(riid, object);
  found->Release();
  return hr;
}
