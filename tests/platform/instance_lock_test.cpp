// The POSIX lock that keeps one activator per user. Taking, waiting and
// handing over run end to end (e2e_test); here what those runs cannot see.
#include "platform/instance_lock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "base/build_constants.h"
#include "support/test_lab.h"

namespace activator {
namespace {

// A program the activator starts (the editor of a click) may outlive it; if
// it held the lock, no activator could start again until it ended.
TEST(InstanceLockTest, AChildProcessNeverHoldsTheLock) {
  const std::string path = kInstanceLockName;  // this test program's lab's
  ASSERT_EQ(TryTakeInstanceLock(path).status, InstanceLockStatus::kTaken);
  FILE* listing = ::popen("ls -l /proc/self/fd", "r");
  ASSERT_NE(listing, nullptr);
  std::string inherited;
  char buffer[512];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, listing)) > 0;) {
    inherited.append(buffer, n);
  }
  ::pclose(listing);
  EXPECT_NE(inherited.find("/proc/"), std::string::npos) << inherited;  // the listing's own
  EXPECT_EQ(inherited.find(path), std::string::npos) << inherited;
}

// Without its folder the lock cannot be had: the activator goes on without it
// rather than wait for good.
TEST(InstanceLockTest, AMissingFolderIsAFailureWithTheSystemsNumber) {
  const InstanceLockResult lock = TakeInstanceLock(testing::LabPath("no-such-folder/lock"));
  EXPECT_EQ(lock.status, InstanceLockStatus::kFailed);
  EXPECT_EQ(lock.error, static_cast<uint32_t>(ENOENT));
}

}  // namespace
}  // namespace activator
