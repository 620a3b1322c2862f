// The test side of the stand-in runtime: its registration in the test wine
// prefix, and its control commands, in this process or over the control pipe
// of a program run as a process of its own.
#pragma once

#include <string>

namespace activator::testing {

// The runtime class names the stand-in serves.
extern const wchar_t* const kStandinClasses[7];

// Registers the stand-in DLL for every class name it serves (HKLM
// ActivatableClassId, DllPath and ActivationType 0), or removes those keys.
bool RegisterStandinRuntime();
void UnregisterStandinRuntime();

// The real Windows App SDK runtime (its framework DLL, at `runtime_dll`) in
// this process, with what wine lacks for it: `rometadata_stub` (a
// RoMetadata.dll) loaded first, combase's RoOriginateError(W) answered (wine 8
// leaves them unimplemented and ends the process when the runtime reports
// any failure) and the stand-in serving Windows.Data.Xml.Dom.XmlDocument.
// Once loaded it stays. False, with the reason in `why`, when it does not load.
bool LoadRealRuntime(const std::wstring& runtime_dll, const std::wstring& rometadata_stub,
                     std::string& why);
// Registers the real runtime for one class; RegisterStandinRuntime gives the
// stand-in's classes back to the stand-in.
bool RegisterRealClass(const wchar_t* class_name, const std::wstring& runtime_dll);

// Runs one control command in the stand-in loaded into this process (loading
// it first, from the same path combase uses).
std::string StandinCommand(const std::string& command);
// The same over the control pipe of another process's stand-in; empty when
// nothing answered within `timeout_ms`.
std::string StandinCommandOverPipe(const std::string& pipe, const std::string& command,
                                   int timeout_ms = 20000);

}  // namespace activator::testing
