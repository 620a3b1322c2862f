// Result opening by index, with the stand-in editor recording how it was
// started. On Windows the editor is notepad.exe, which a test must not open:
// there only the cases that end before the editor run.
#include "activation/result_opening.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "activation/editor_record.h"
#include "activation/result_index.h"
#include "base/build_constants.h"
#include "support/log_capture.h"
#include "support/platform_guard.h"
#include "support/test_lab.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/unique_fd.h"
#endif

namespace activator {
namespace {

using Lines = std::vector<std::string>;
using testing::LogTail;

class ResultOpeningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ForgetEditorCalls();
    std::filesystem::create_directories(testing::LabPath("results"));
  }
  void TearDown() override { testing::ForgetEditorCalls(); }

  static std::string IndexPath(const std::string& job_id) {
    return std::string(kResultsPrefix) + job_id + ".path";
  }
  static void WriteIndex(const std::string& job_id, const std::string& bytes) {
    testing::WriteFile(IndexPath(job_id), bytes);
  }
  static std::string MakeResult(const std::string& name) {
    const std::string path = testing::LabPath("results/" + name);
    testing::WriteFile(path, "result");
    return path;
  }
};

TEST_F(ResultOpeningTest, MissingIndexNamesTheFullIndexPath) {
  std::filesystem::remove(IndexPath("42"));
  LogTail log;
  OpenResultByIndex("42");
  EXPECT_EQ(log.Lines(), Lines{"INDICE DE RESULTADO AUSENTE OU VAZIO=" +
                               testing::LabPath("Native/Host/Resultados/Resultado_42.path")});
  EXPECT_FALSE(testing::EditorWasStarted());
}

TEST_F(ResultOpeningTest, JobIdIsNeverCutShortAtANulByte) {
  WriteIndex("42", MakeResult("job42.txt") + "\n");
  const std::string job_id("42.path\0x", 9);
  LogTail log;
  OpenResultByIndex(job_id);
  EXPECT_EQ(log.Lines(),
            Lines{"INDICE DE RESULTADO AUSENTE OU VAZIO=" + IndexPath("42") + "\\x00x.path"});
  EXPECT_FALSE(testing::EditorWasStarted());
}

TEST_F(ResultOpeningTest, EmptyFirstLineMeansNoResult) {
  const std::string valid = MakeResult("valid.txt");
  for (const std::string& index : {std::string(), "\n" + valid + "\n", "\r\n" + valid + "\r\n"}) {
    SCOPED_TRACE(index);
    WriteIndex("42", index);
    LogTail log;
    OpenResultByIndex("42");
    EXPECT_EQ(log.Lines(), Lines{"INDICE DE RESULTADO AUSENTE OU VAZIO=" + IndexPath("42")});
  }
  EXPECT_FALSE(testing::EditorWasStarted());
}

TEST_F(ResultOpeningTest, OpensWhatTheFirstLineNamesWhateverItsEnd) {
  if (testing::kWindowsPort) GTEST_SKIP() << "would open notepad.exe";
  const std::string result = MakeResult("result.txt");
  const std::string other = MakeResult("other.txt");
  // No line end at all, LF, and CR LF as a worker on Windows writes it.
  for (const std::string& index :
       {result, result + "\n" + other + "\n", result + "\r\n" + other + "\r\n"}) {
    SCOPED_TRACE(index);
    testing::ForgetEditorCalls();
    WriteIndex("42", index);
    LogTail log;
    OpenResultByIndex("42");
    EXPECT_EQ(log.Lines(), Lines{"RESULTADO ABERTO PELO INDICE=" + result});
    const auto editor = testing::WaitForEditorCall();
    ASSERT_TRUE(editor.has_value());
    EXPECT_EQ(editor->arguments, Lines{result});
  }
}

TEST_F(ResultOpeningTest, OnlyOneLineEndingCarriageReturnIsDropped) {
  const std::string result = MakeResult("cr.txt");
  struct Case {
    std::string index;
    std::string logged_path;  // its control characters written visibly
  } cases[] = {
      {result + "\r\r\n", result + "\\x0D"},  // one CR ends the line, the other is the path's
      {result + "\r", result + "\\x0D"},      // no LF: the whole file is the path
  };
  for (const Case& c : cases) {
    WriteIndex("42", c.index);
    LogTail log;
    OpenResultByIndex("42");
    EXPECT_EQ(log.Lines(), Lines{"ARQUIVO INDICADO NAO ENCONTRADO=" + c.logged_path});
  }
  EXPECT_FALSE(testing::EditorWasStarted());
}

TEST_F(ResultOpeningTest, FolderOrMissingFileIsNotOpened) {
  const std::string folder = testing::LabPath("results");
  const std::string missing = testing::LabPath("results/" + testing::UniqueName("missing"));
  // Cut at its NUL byte this would name an existing file.
  const std::string with_nul = MakeResult("exists.txt") + std::string(1, '\0') + "x";
  const std::pair<std::string, std::string> paths[] = {
      {folder, folder}, {missing, missing}, {with_nul, MakeResult("exists.txt") + "\\x00x"}};
  for (const auto& [path, logged] : paths) {
    WriteIndex("42", path + "\n");
    LogTail log;
    OpenResultByIndex("42");
    EXPECT_EQ(log.Lines(), Lines{"ARQUIVO INDICADO NAO ENCONTRADO=" + logged});
  }
  EXPECT_FALSE(testing::EditorWasStarted());
}

// No real path is longer than kMaxResultPathBytes; a longer first line is
// refused with a line of its own, and no more of it than that is ever read.
TEST_F(ResultOpeningTest, OverlongFirstLineIsRefusedUnread) {
  const std::string too_long(kMaxResultPathBytes + 1, 'a');
  for (const std::string& index : {too_long, too_long + "\n", too_long + "\r\n"}) {
    WriteIndex("42", index);
    LogTail log;
    OpenResultByIndex("42");
    EXPECT_EQ(log.Lines(), Lines{"INDICE DE RESULTADO LONGO DEMAIS=" + IndexPath("42")});
  }
  // A huge index of NUL bytes without a line end (sparse where the system can).
  WriteIndex("42", "");
  std::filesystem::resize_file(IndexPath("42"), std::uintmax_t{64} << 20);
  LogTail log;
  OpenResultByIndex("42");
  EXPECT_EQ(log.Lines(), Lines{"INDICE DE RESULTADO LONGO DEMAIS=" + IndexPath("42")});
  std::filesystem::remove(IndexPath("42"));

  // The longest path is still a path, with or without its CR LF.
  std::string longest = testing::LabPath("results/");
  longest += std::string(kMaxResultPathBytes - longest.size(), 'b');
  for (const std::string& index : {longest, longest + "\r\n"}) {
    WriteIndex("42", index);
    LogTail log;
    OpenResultByIndex("42");
    EXPECT_EQ(log.Lines(), Lines{"ARQUIVO INDICADO NAO ENCONTRADO=" + longest});
  }
  EXPECT_FALSE(testing::EditorWasStarted());
}

// The index names the result's full path. A relative one would be looked up in
// the activator's working folder, and one beginning with "-" would reach the
// editor as an option: both are refused, even when the working folder holds
// such a file.
TEST_F(ResultOpeningTest, ResultPathMustBeAbsolute) {
  using namespace std::string_literals;
  const std::filesystem::path folder = testing::LabPath("results");
  const std::filesystem::path started_in = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  // Only where the editor is the stand-in: a lapse must not open notepad.exe.
  if (!testing::kWindowsPort) {
    for (const char* name : {"relative.txt", "--version", "-n.txt"})
      testing::WriteFile((folder / name).string(), "result");
  }
  for (const std::string& path : {"relative.txt"s, "./relative.txt"s, "--version"s, "-n.txt"s,
                                  "\\relative.txt"s, "C:relative.txt"s}) {
    WriteIndex("42", path + "\n");
    LogTail log;
    OpenResultByIndex("42");
    EXPECT_EQ(log.Lines(), Lines{"ARQUIVO INDICADO NAO ABSOLUTO=" + path});
  }
  // A drive path and one beginning with two backslashes are absolute on
  // Windows only.
  for (const std::string& path : {"C:/results/none.txt"s, "\\\\?\\C:\\results\\none.txt"s}) {
    WriteIndex("42", path + "\n");
    LogTail log;
    OpenResultByIndex("42");
    EXPECT_EQ(log.Lines(), Lines{(testing::kWindowsPort ? "ARQUIVO INDICADO NAO ENCONTRADO="
                                                        : "ARQUIVO INDICADO NAO ABSOLUTO=") +
                                 path});
  }
  std::filesystem::current_path(started_in);
  EXPECT_FALSE(testing::EditorWasStarted());
}

TEST_F(ResultOpeningTest, PathWithSpacesIsOneArgument) {
  if (testing::kWindowsPort) GTEST_SKIP() << "would open notepad.exe";
  std::filesystem::create_directories(testing::LabPath("results/my results"));
  const std::string result = MakeResult("my results/result  of job 42.txt");
  WriteIndex("job 42", result + "\r\n");
  LogTail log;
  OpenResultByIndex("job 42");
  EXPECT_EQ(log.Lines(), Lines{"RESULTADO ABERTO PELO INDICE=" + result});
  const auto editor = testing::WaitForEditorCall();
  ASSERT_TRUE(editor.has_value());
  EXPECT_EQ(editor->arguments, Lines{result});
}

#if !defined(_WIN32)
// Only a regular file is an index. A FIFO without a writer would hold the
// click thread in the open or the read, an endless device would be read until
// memory ran out; both are refused at once.
TEST_F(ResultOpeningTest, IndexThatIsNoRegularFileIsRefusedAtOnce) {
  const std::string fifo = IndexPath("fifo");
  std::filesystem::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::remove(IndexPath("zero"));
  std::filesystem::create_symlink("/dev/zero", IndexPath("zero"));
  std::filesystem::remove_all(IndexPath("folder"));
  std::filesystem::create_directory(IndexPath("folder"));
  for (const std::string job_id : {"fifo", "zero", "folder"}) {
    LogTail log;
    auto opening = std::async(std::launch::async, [&] { OpenResultByIndex(job_id); });
    const bool ended = opening.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!ended) {
      // A writer that comes and goes ends a read held on the FIFO.
      UniqueFd writer(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    }
    opening.wait();
    EXPECT_TRUE(ended) << job_id;
    EXPECT_EQ(log.Lines(), Lines{"INDICE DE RESULTADO NAO E ARQUIVO REGULAR=" + IndexPath(job_id)});
  }
  EXPECT_FALSE(testing::EditorWasStarted());
}

TEST_F(ResultOpeningTest, EditorRunsDetachedWithNothingOfOurs) {
  const std::string result = MakeResult("detached.txt");
  WriteIndex("42", result + "\n");
  // An inheritable descriptor, as any library of the process might leave one.
  UniqueFd inheritable(::open(IndexPath("42").c_str(), O_RDONLY));
  ASSERT_TRUE(inheritable.valid());
  testing::WriteFile(testing::EditorHoldPath(), "");

  OpenResultByIndex("42");

  // The editor is still held, so the call returned without waiting for it.
  EXPECT_FALSE(testing::ParseEditorRecord(testing::ReadFile(testing::EditorRecordPath())).finished);
  std::filesystem::remove(testing::EditorHoldPath());
  const auto editor = testing::WaitForEditorCall();
  ASSERT_TRUE(editor.has_value());
  // Beyond its standard streams the editor holds only its own script, and the
  // copies of a standard stream its shell saves while redirecting output.
  ASSERT_FALSE(editor->descriptors.empty());
  std::vector<std::string> standard;
  for (const auto& [fd, target] : editor->descriptors)
    if (fd <= 2) standard.push_back(target);
  // The shell's saved copy of a stream it inherited from us: its standard
  // error is no longer ours, but its output is.
  for (int fd = 0; fd <= 2; ++fd) {
    std::error_code ignored;
    standard.push_back(
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ignored).string());
  }
  for (const auto& [fd, target] : editor->descriptors) {
    if (fd <= 2 || target.ends_with("record_editor.sh")) continue;
    EXPECT_TRUE(std::find(standard.begin(), standard.end(), target) != standard.end())
        << fd << " -> " << target << "\n"
        << testing::ReadFile(testing::EditorRecordPath());
  }
  // Nothing left for this process to reap, now or once the editor has ended.
  EXPECT_TRUE(testing::WaitForNoChildProcesses());
}
#endif

}  // namespace
}  // namespace activator
