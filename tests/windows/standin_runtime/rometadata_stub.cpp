// RoMetadata.dll for wine, which has none: the real Windows App SDK runtime
// imports MetaDataGetDispenser from it and does not load without it. Only its
// reg-free WinRT type resolution would call it, and the tests use none.
#include <windows.h>

extern "C" __declspec(dllexport) HRESULT WINAPI
    MetaDataGetDispenser(REFCLSID, REFIID, void** dispenser) {
  if (dispenser != nullptr) *dispenser = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}
