// The test side of the stand-in runtime: its registration in the test wine
// prefix, and its control commands, in this process or over the control pipe
// of a program run as a process of its own.
#pragma once

#include <string>

namespace activator::testing {

// The runtime class names the stand-in serves.
extern const wchar_t* const kStandinClasses[5];

// Registers the stand-in DLL for every class name it serves (HKLM
// ActivatableClassId, DllPath and ActivationType 0), or removes those keys.
bool RegisterStandinRuntime();
void UnregisterStandinRuntime();

// Runs one control command in the stand-in loaded into this process (loading
// it first, from the same path combase uses).
std::string StandinCommand(const std::string& command);
// The same over the control pipe of another process's stand-in; empty when
// nothing answered within `timeout_ms`.
std::string StandinCommandOverPipe(const std::string& pipe, const std::string& command,
                                   int timeout_ms = 20000);

}  // namespace activator::testing
