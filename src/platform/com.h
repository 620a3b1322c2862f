// COM: the apartment, IUnknown and IClassFactory, and the class-object table.
// On Windows these are the SDK's own declarations. Elsewhere the POSIX port
// provides a small layer with the same shapes, so the activation server is the
// same code on both: GUIDs, HRESULT, the two interfaces, and stand-ins for
// CoInitializeEx (S_OK on a thread's first call, S_FALSE after),
// CoRegisterClassObject (a process-wide table that holds a reference),
// CoGetClassObject (for tests) and CoUninitialize.
#pragma once

#if defined(_WIN32)
#include "platform/os/com_abi_windows.h"
#else
#include "platform/os/com_abi_posix.h"
#endif

#include <optional>
#include <string_view>

namespace activator {

// Parses a class identifier in registry form, "{8B9C4F9A-5A8D-...}".
std::optional<GUID> ParseGuid(std::string_view text);

}  // namespace activator
