#include "platform/bootstrap.h"

#include <gtest/gtest.h>

#include "support/platform_guard.h"
#include "support/test_lab.h"

namespace activator {
namespace {

constexpr char kEntryPoint[] = "MddBootstrapInitialize2";

TEST(BootstrapTest, StandInAcceptsMajorVersionTwoOnly) {
  BootstrapOutcome ok = InitializeBootstrap(STANDIN_BOOTSTRAP_LIBRARY, kEntryPoint, 0x00020004);
  EXPECT_EQ(ok.status, BootstrapStatus::kCalled);
  EXPECT_EQ(ok.result, 0);

  BootstrapOutcome other = InitializeBootstrap(STANDIN_BOOTSTRAP_LIBRARY, kEntryPoint, 0x00010005);
  EXPECT_EQ(other.status, BootstrapStatus::kCalled);
  EXPECT_LT(other.result, 0);
}

TEST(BootstrapTest, LibraryThatCannotBeLoadedIsModuleNotFound) {
  for (const std::string& path : {testing::LabPath("DLL/no-such-library.so"), std::string()}) {
    BootstrapOutcome outcome = InitializeBootstrap(path, kEntryPoint, 0x00020004);
    EXPECT_EQ(outcome.status, BootstrapStatus::kLibraryNotLoaded) << path;
    EXPECT_EQ(outcome.load_error, 126u) << path;
  }
  // A folder, and a file that is not a library at all. Windows names these
  // failures with codes of their own; POSIX has only the one.
  std::string junk = testing::LabPath("DLL/" + testing::UniqueName("junk") + ".so");
  testing::WriteFile(junk, "not a shared object\n");
  for (const std::string& path : {testing::LabPath("DLL"), junk}) {
    BootstrapOutcome outcome = InitializeBootstrap(path, kEntryPoint, 0x00020004);
    EXPECT_EQ(outcome.status, BootstrapStatus::kLibraryNotLoaded) << path;
    if (testing::kWindowsPort) {
      EXPECT_NE(outcome.load_error, 0u) << path;
    } else {
      EXPECT_EQ(outcome.load_error, 126u) << path;
    }
  }
}

TEST(BootstrapTest, LibraryWithoutTheEntryPoint) {
  BootstrapOutcome outcome =
      InitializeBootstrap(BOOTSTRAP_WITHOUT_ENTRY_LIBRARY, kEntryPoint, 0x00020004);
  EXPECT_EQ(outcome.status, BootstrapStatus::kEntryPointMissing);
}

}  // namespace
}  // namespace activator
