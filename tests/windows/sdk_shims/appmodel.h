// appmodel.h of the Windows SDK, which mingw-w64 lacks: only what the Windows
// App SDK's MddBootstrap.h takes from it, PACKAGE_VERSION, transcribed from
// the Windows SDK's declaration (a union of the 64-bit version and its four
// 16-bit parts, lowest first).
#pragma once

#include <windows.h>

typedef struct PACKAGE_VERSION {
  union {
    UINT64 Version;
    struct {
      USHORT Revision;
      USHORT Build;
      USHORT Minor;
      USHORT Major;
    } DUMMYSTRUCTNAME;
  } DUMMYUNIONNAME;
} PACKAGE_VERSION;
