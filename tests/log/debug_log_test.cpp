#include "log/debug_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
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

TEST(DebugLogTest, BytesArePassedThroughUnchanged) {
  LogTail tail;
  std::string message = "PYTHON ID=\xff\xfe\x01\r";
  message.push_back('\0');
  message += "x";
  WriteDebugLog(message);
  EXPECT_EQ(tail.Bytes(), message + "\r\n");
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

TEST(DebugLogTest, FileDeletedBetweenLinesIsCreatedAgain) {
  WriteDebugLog("before");
  ASSERT_EQ(std::remove(kDebugLogPath), 0);
  WriteDebugLog("first again");
  EXPECT_EQ(ReadFile(kDebugLogPath), "first again\r\n");
}

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

TEST(DebugLogTest, ValuesAreFormattedAsTheLogReadersExpect) {
  EXPECT_EQ(FormatResultCode(0), "0");
  EXPECT_EQ(FormatResultCode(static_cast<int32_t>(0x80004002)), "-2147467262");
  EXPECT_EQ(FormatErrorCode(126), "126");
  EXPECT_EQ(FormatErrorCode(0xFFFFFFFFu), "4294967295");
  EXPECT_EQ(FormatCount(UINT64_MAX), "18446744073709551615");
}

}  // namespace
}  // namespace activator
