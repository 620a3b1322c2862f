// The shell port's check of a result path before the editor is started on it,
// and, on POSIX, how the editor's start and early end are told apart from an
// editor that did not open the file (the build's editor is a script each case
// writes; how it is started is checked with the stand-in editor of the
// activation tests). On Windows the editor is always notepad.exe, which a test
// must not open.
#include "platform/shell.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>

#include "activation/editor_record.h"
#include "base/build_constants.h"
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

#if !defined(_WIN32)
void WriteEditor(const std::string& body) {
  testing::WriteFile(kTextEditor, "#!/bin/sh\n" + body + "\n");
  std::filesystem::permissions(kTextEditor, std::filesystem::perms::owner_all);
}

// An editor that ends within the watch is judged by its end: xdg-open that
// finds no handler exits 4 and opens nothing, and the first line it wrote on
// its standard error says why. Each wait ends on the editor's end, never on
// the watch running out.
TEST(ShellTest, EditorThatEndsInFailureDidNotOpen) {
  using Outcome = EditorStart::Outcome;
  constexpr std::chrono::milliseconds kLongWatch{120000};
  const std::string result = testing::LabPath("result.txt");
  testing::WriteFile(result, "result");
  struct Case {
    const char* name;
    const char* body;  // nullptr: no editor at all
    Outcome outcome;
    int code;
    const char* error_line;
  } cases[] = {
      {"ends well", "echo fine >&2; exit 0", Outcome::kStarted, 0, ""},
      {"finds no handler", "echo 'no method available' >&2; echo more >&2; exit 4",
       Outcome::kExited, 4, "no method available"},
      {"killed", "kill -KILL $$", Outcome::kSignalled, 9, ""},
      {"cannot be started", nullptr, Outcome::kStartFailed, ENOENT, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(kTextEditor);
    if (c.body != nullptr) WriteEditor(c.body);
    const EditorStart start = StartTextEditor(result, kLongWatch);
    EXPECT_EQ(start.outcome, c.outcome);
    EXPECT_EQ(start.code, c.code);
    EXPECT_EQ(start.error_line, c.error_line);
  }
  EXPECT_TRUE(testing::WaitForNoChildProcesses());
}

// One still running when the watch ends has opened the file; whatever it does
// later is its own, and nothing of it is left for us to reap.
TEST(ShellTest, EditorStillRunningAfterTheWatchOpened) {
  const std::string hold = testing::LabPath("hold");
  testing::WriteFile(hold, "");
  WriteEditor("while [ -e '" + hold + "' ]; do sleep 0.05; done; exit 4");
  EXPECT_TRUE(StartTextEditor(testing::LabPath("result.txt"), std::chrono::milliseconds(50)).started());
  std::filesystem::remove(hold);
  EXPECT_TRUE(testing::WaitForNoChildProcesses());
}
#endif

}  // namespace
}  // namespace activator
