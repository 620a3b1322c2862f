// Counts the HSTRINGs of the program under test by rewriting the three string
// functions in its main module's import table: the calls the program makes go
// through counting wrappers, the runtime's own calls do not.
#include <atomic>
#include <cstring>

#include "platform/os/windows_support.h"
#include "windows/standin_runtime/standin_control.h"

// clang-format off
#include <winstring.h>
// clang-format on

namespace standin {

namespace {

using CreateFn = HRESULT(WINAPI*)(PCNZWCH, UINT32, HSTRING*);
using DuplicateFn = HRESULT(WINAPI*)(HSTRING, HSTRING*);
using DeleteFn = HRESULT(WINAPI*)(HSTRING);

std::atomic<long> g_balance{0};
CreateFn g_create = nullptr;
DuplicateFn g_duplicate = nullptr;
DeleteFn g_delete = nullptr;

HRESULT WINAPI CountedCreate(PCNZWCH text, UINT32 length, HSTRING* out) {
  const HRESULT hr = g_create(text, length, out);
  if (SUCCEEDED(hr) && out != nullptr && *out != nullptr) ++g_balance;
  return hr;
}

HRESULT WINAPI CountedDuplicate(HSTRING text, HSTRING* out) {
  const HRESULT hr = g_duplicate(text, out);
  if (SUCCEEDED(hr) && out != nullptr && *out != nullptr) ++g_balance;
  return hr;
}

HRESULT WINAPI CountedDelete(HSTRING text) {
  if (text != nullptr) --g_balance;
  return g_delete(text);
}

void Patch(ULONG_PTR* slot, void* replacement, void** original) {
  DWORD old = 0;
  if (!::VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) return;
  *original = reinterpret_cast<void*>(*slot);
  *slot = reinterpret_cast<ULONG_PTR>(replacement);
  ::VirtualProtect(slot, sizeof *slot, old, &old);
}

}  // namespace

bool CountProgramStrings() {
  static std::atomic<bool> done{false};
  if (done.exchange(true)) return g_create != nullptr && g_delete != nullptr;
  auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return false;
  for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       module->Name != 0; ++module) {
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
        base + (module->OriginalFirstThunk != 0 ? module->OriginalFirstThunk : module->FirstThunk));
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const char* name =
          reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
      auto* slot = reinterpret_cast<ULONG_PTR*>(&slots->u1.Function);
      if (std::strcmp(name, "WindowsCreateString") == 0) {
        Patch(slot, reinterpret_cast<void*>(&CountedCreate), reinterpret_cast<void**>(&g_create));
      } else if (std::strcmp(name, "WindowsDuplicateString") == 0) {
        Patch(slot, reinterpret_cast<void*>(&CountedDuplicate),
              reinterpret_cast<void**>(&g_duplicate));
      } else if (std::strcmp(name, "WindowsDeleteString") == 0) {
        Patch(slot, reinterpret_cast<void*>(&CountedDelete), reinterpret_cast<void**>(&g_delete));
      }
    }
  }
  return g_create != nullptr && g_delete != nullptr;
}

long ProgramStringBalance() { return g_balance.load(); }

}  // namespace standin
