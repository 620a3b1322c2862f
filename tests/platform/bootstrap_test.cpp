#include "platform/bootstrap.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

#if !defined(_WIN32)
// A FIFO at the library's path is not loaded, and start-up is not held in an
// open that waits for a writer.
TEST(BootstrapTest, FifoAtTheLibrarysPathIsNotLoadedAndDoesNotBlock) {
  const std::string path = testing::LabPath("DLL/" + testing::UniqueName("fifo") + ".so");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  auto load = std::async(std::launch::async,
                         [&] { return InitializeBootstrap(path, kEntryPoint, 0x00020004); });
  const bool returned = load.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  if (!returned) ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK));  // releases the open
  EXPECT_TRUE(returned);
  EXPECT_EQ(load.get().status, BootstrapStatus::kLibraryNotLoaded);
  ::unlink(path.c_str());
}
#endif

TEST(BootstrapTest, LibraryWithoutTheEntryPoint) {
  BootstrapOutcome outcome =
      InitializeBootstrap(BOOTSTRAP_WITHOUT_ENTRY_LIBRARY, kEntryPoint, 0x00020004);
  EXPECT_EQ(outcome.status, BootstrapStatus::kEntryPointMissing);
}

}  // namespace
}  // namespace activator
