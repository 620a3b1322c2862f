// Which port a test program was built for, for the few cases whose
// expectations are the POSIX stand-ins' own and not those of the system's
// services on Windows.
#pragma once

#include <gtest/gtest.h>

namespace activator::testing {

#if defined(_WIN32)
inline constexpr bool kWindowsPort = true;
#else
inline constexpr bool kWindowsPort = false;
#endif

}  // namespace activator::testing

// Ends the current test as skipped on Windows, naming why.
#define ACTIVATOR_SKIP_ON_WINDOWS(why)                     \
  do {                                                     \
    if (::activator::testing::kWindowsPort) GTEST_SKIP() << (why); \
  } while (0)
