#include "log/debug_log.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "base/build_constants.h"
#include "support/log_capture.h"
#include "support/test_lab.h"

namespace activator {
namespace {

using testing::LogTail;
using testing::ReadFile;

TEST(DebugLogTest, EveryLineFeedBecomesCrLf) {
  LogTail tail;
  WriteDebugLog("ZORVELL ACTIVATOR START");
  WriteDebugLog("");
  WriteDebugLog("MONITOR GETALL MUDOU\nTOTAL=1\nJ1|zorvell_processos");
  WriteDebugLog("ends with\n");
  EXPECT_EQ(tail.Bytes(),
            "ZORVELL ACTIVATOR START\r\n"
            "\r\n"
            "MONITOR GETALL MUDOU\r\nTOTAL=1\r\nJ1|zorvell_processos\r\n"
            "ends with\r\n\r\n");
}

// Ordinary values stay byte for byte; a control character of a value is
// written visibly, so no value begins a line of its own or reaches a terminal
// as a command. The writer catches those of an unescaped value, short of LF.
TEST(DebugLogTest, ControlCharactersOfValuesAreWrittenVisibly) {
  const struct {
    std::string value, logged;
  } cases[] = {
      {"J1", "J1"},
      {"\\\\.\\pipe\\r C:\\x\\y.txt", "\\\\.\\pipe\\r C:\\x\\y.txt"},
      {"J\xc3\xa9 \xc2\xa0\xff\xfe", "J\xc3\xa9 \xc2\xa0\xff\xfe"},
      {"J\nVELDUNA SERVICO DE VOLTA", "J\\x0AVELDUNA SERVICO DE VOLTA"},
      {"\x1b]0;x\x07\x1b[2J\r\t\x7f", "\\x1B]0;x\\x07\\x1B[2J\\x0D\\x09\\x7F"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\xc2\x9b[31m", "\\xC2\\x9B[31m"},
  };
  for (const auto& c : cases) EXPECT_EQ(LogValue(c.value), c.logged) << c.logged;

  LogTail tail;
  WriteDebugLog("PYTHON ID=" + LogValue("J\n1"));
  WriteDebugLog("PYTHON ESTADO=\x1b[31m\rx\ny");
  EXPECT_EQ(tail.Bytes(), "PYTHON ID=J\\x0A1\r\nPYTHON ESTADO=\\x1B[31m\\x0Dx\r\ny\r\n");
}

TEST(DebugLogTest, ConcurrentLinesLandWhole) {
  LogTail tail;
  constexpr int kThreads = 4;
  constexpr int kLines = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string body(200, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) WriteDebugLog("T" + std::to_string(t) + "=" + body);
    });
  }
  for (auto& th : threads) th.join();
  auto lines = tail.Lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  for (const auto& line : lines) {
    ASSERT_EQ(line.size(), 203u) << line;
    char c = line[3];
    EXPECT_EQ(line,
              std::string("T") + static_cast<char>('0' + (c - 'a')) + "=" + std::string(200, c));
  }
}

// Created again for its user alone: it holds job ids, reply pipe names and
// clicks.
TEST(DebugLogTest, FileDeletedBetweenLinesIsCreatedAgain) {
  WriteDebugLog("before");
  ASSERT_EQ(std::remove(kDebugLogPath), 0);
  WriteDebugLog("first again");
  EXPECT_EQ(ReadFile(kDebugLogPath), "first again\r\n");
#if !defined(_WIN32)
  struct stat info {};
  ASSERT_EQ(::stat(kDebugLogPath, &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
#endif
}

#if !defined(_WIN32)
// A FIFO at the log's path gets no line and never holds the writer: the open
// used to wait for a reader, freezing every thread that logs. With a reader
// the line is dropped too, as for any file that is not a regular one.
TEST(DebugLogTest, FifoAtTheLogsPathNeitherBlocksNorGetsALine) {
  const std::string path = testing::LabPath("Logs/fifo.txt");
  std::remove(path.c_str());
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  auto write = std::async(std::launch::async, [&] { WriteLogLineTo(path.c_str(), "lost"); });
  const bool returned = write.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  // A reader releases a writer held in the open.
  const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  write.wait();
  EXPECT_TRUE(returned);
  WriteLogLineTo(path.c_str(), "not for a reader");
  char buffer[64];
  EXPECT_LE(::read(reader, buffer, sizeof buffer), 0);
  ::close(reader);
  std::remove(path.c_str());
}
#endif

TEST(DebugLogTest, MissingFolderDropsTheLineSilently) {
  std::string path = testing::LabPath("NoSuchFolder/activator_debug.txt");
  WriteLogLineTo(path.c_str(), "lost");
  EXPECT_FALSE(std::filesystem::exists(path));
  // Once the folder exists, the next line creates the file.
  std::string folder = testing::LabPath("LateFolder");
  std::filesystem::create_directory(folder);
  std::string late = folder + "/log.txt";
  std::remove(late.c_str());
  WriteLogLineTo(late.c_str(), "found");
  EXPECT_EQ(ReadFile(late), "found\r\n");
}

// At the bound the file becomes its one predecessor and a new one begins, so
// the two together always end with the latest lines, whole and in order.
TEST(DebugLogTest, FileRollsOverToOnePredecessorAtItsBound) {
  const std::string path = testing::LabPath("Logs/bounded.txt");
  const FileRollover rollover{36, path + ".1"};
  std::remove(path.c_str());
  std::remove(rollover.predecessor.c_str());
  for (int i = 1; i <= 10; ++i)
    WriteLogLineTo(path.c_str(), "LINE " + std::to_string(i % 10), rollover);
  // Eight bytes a line: the fifth line finds 32 bytes, the sixth 40.
  EXPECT_EQ(ReadFile(rollover.predecessor), "LINE 1\r\nLINE 2\r\nLINE 3\r\nLINE 4\r\nLINE 5\r\n");
  EXPECT_EQ(ReadFile(path), "LINE 6\r\nLINE 7\r\nLINE 8\r\nLINE 9\r\nLINE 0\r\n");
  WriteLogLineTo(path.c_str(), "LINE 11", rollover);
  EXPECT_EQ(ReadFile(rollover.predecessor), "LINE 6\r\nLINE 7\r\nLINE 8\r\nLINE 9\r\nLINE 0\r\n");
  EXPECT_EQ(ReadFile(path), "LINE 11\r\n");
}

TEST(DebugLogTest, ValuesAreFormattedAsTheLogReadersExpect) {
  EXPECT_EQ(FormatResultCode(0), "0");
  EXPECT_EQ(FormatResultCode(static_cast<int32_t>(0x80004002)), "-2147467262");
  EXPECT_EQ(FormatErrorCode(126), "126");
  EXPECT_EQ(FormatErrorCode(0xFFFFFFFFu), "4294967295");
  EXPECT_EQ(FormatCount(UINT64_MAX), "18446744073709551615");
}

}  // namespace
}  // namespace activator
