// The shell port's check of a result path before the editor is started on it.
// (Starting the editor itself is checked with the stand-in editor of the
// activation tests; on Windows the editor is always notepad.exe, which a test
// must not open.)
#include "platform/shell.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/test_lab.h"

namespace activator {
namespace {

TEST(ShellTest, OnlySomethingThatExistsAndIsNoFolderIsAResult) {
  const std::string folder = testing::LabPath(testing::UniqueName("results"));
  std::filesystem::create_directories(folder);
  const std::string file = testing::LabPath(testing::UniqueName("results") + ".txt");
  testing::WriteFile(file, "result");
  const std::string empty = testing::LabPath(testing::UniqueName("empty") + ".txt");
  testing::WriteFile(empty, "");

  EXPECT_TRUE(IsExistingNonDirectory(file));
  EXPECT_TRUE(IsExistingNonDirectory(empty));
  EXPECT_FALSE(IsExistingNonDirectory(folder));
  EXPECT_FALSE(IsExistingNonDirectory(file + ".missing"));
  EXPECT_FALSE(IsExistingNonDirectory(""));
  // A NUL byte never names the shorter path before it.
  EXPECT_FALSE(IsExistingNonDirectory(file + std::string("\0.missing", 9)));
}

}  // namespace
}  // namespace activator
