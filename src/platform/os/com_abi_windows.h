// COM on Windows: the SDK's own declarations (GUID, HRESULT, IUnknown,
// IClassFactory, the Co* functions from ole32), with the system headers taken
// through the port's support header. Included only through platform/com.h.
#pragma once

// The support header first: it sets the macros the SDK headers read.
// clang-format off
#include "platform/os/windows_support.h"
#include <objbase.h>
#include <unknwn.h>
// clang-format on
