// Which port a test program was built for, for the few cases whose
// expectations are the POSIX stand-ins' own and not those of the system's
// services on Windows.
#pragma once

namespace activator::testing {

#if defined(_WIN32)
inline constexpr bool kWindowsPort = true;
#else
inline constexpr bool kWindowsPort = false;
#endif

}  // namespace activator::testing
