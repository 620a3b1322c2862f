// The Windows App SDK bootstrap's initialisation entry point as the program
// calls it: MddBootstrapInitialize2 of the SDK's MddBootstrap.h. Neither that
// header nor appmodel.h (PACKAGE_VERSION) is part of a mingw-w64 cross build,
// so their types are declared here; tests/windows/mdd_bootstrap_header_test.cpp
// holds them against the SDK's own header.
#pragma once

#include "platform/os/windows_support.h"

namespace activator::abi {

// PACKAGE_VERSION of appmodel.h: a union of the 64-bit version and its four
// 16-bit parts, passed by value.
struct PackageVersion {
  union {
    UINT64 version;
    struct {
      USHORT revision;
      USHORT build;
      USHORT minor;
      USHORT major;
    } parts;
  };
};

// MddBootstrapInitializeOptions: flags. The program passes None, so a missing
// runtime is an error code returned, never a dialog (OnNoMatch_ShowUI) or a
// fail-fast, whoever started the process.
enum MddBootstrapInitializeOptions {
  kMddBootstrapInitializeOptionsNone = 0,
  kMddBootstrapInitializeOptionsOnErrorFailFast = 0x0004,
  kMddBootstrapInitializeOptionsOnNoMatchShowUi = 0x0008,
};

using MddBootstrapInitialize2Function = HRESULT(WINAPI*)(UINT32 major_minor_version,
                                                         PCWSTR version_tag,
                                                         PackageVersion min_version,
                                                         MddBootstrapInitializeOptions options);

}  // namespace activator::abi
