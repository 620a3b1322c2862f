// The command line of activator-run and the ids it makes up.
#include "run/run_options.h"

#include <gtest/gtest.h>

#include "run/shell_quoting.h"

namespace activator {
namespace {

using Args = std::vector<std::string>;

TEST(ParseRunOptions, ReadsOptionsUpToTheCommandAndPassesTheCommandOnUntouched) {
  struct Case {
    Args args;
    std::string job_id;
    Args command;
    std::string error;
  } cases[] = {
      {{"--", "make", "-j8"}, "", {"make", "-j8"}, ""},
      {{"make", "--id", "x"}, "", {"make", "--id", "x"}, ""},  // options end at the command
      {{"--id", "nightly", "--", "./b.sh"}, "nightly", {"./b.sh"}, ""},
      {{"--id=n1", "ls"}, "n1", {"ls"}, ""},
      {{"--", "--id"}, "", {"--id"}, ""},
      {{}, "", {}, "no command given (try --help)"},
      {{"--id"}, "", {}, "--id needs a value"},
      {{"-x", "ls"}, "", {}, "unknown option -x (try --help)"},
      {{"--id", "a&b", "ls"}, "a&b", {"ls"}, "--id: a job id cannot hold '&'"},
      {{"--id=", "ls"}, "", {"ls"}, "--id: the job id is empty"},
      {{"--id", "J\xff", "ls"}, "J\xff", {"ls"}, "--id: a job id must be UTF-8 text"},
      {{"--id", "a\nb", "ls"}, "a\nb", {"ls"}, "--id: a job id cannot hold control characters"},
      {{"--id", "a/b", "ls"},
       "a/b",
       {"ls"},
       "--id: a job id names a file and cannot hold '/' or '\\'"},
      {{"--id", std::string(64, 'i'), "ls"}, std::string(64, 'i'), {"ls"}, ""},
      {{"--id", std::string(65, 'i'), "ls"},
       std::string(65, 'i'),
       {"ls"},
       "--id: a job id holds at most 64 bytes, this one 65"},
      {{"--after", "2.5", "--keep-days=7", "ls"}, "", {"ls"}, ""},
      {{"--after", "soon", "ls"}, "", {}, "--after: \"soon\" is not a number of seconds"},
      {{"--keep-days", "-1", "ls"}, "", {}, "--keep-days: \"-1\" is not a number of days"},
      {{"--description", "nightly backup", "--progress", "ls"}, "", {"ls"}, ""},
      {{"--description"}, "", {}, "--description needs a value"},
  };
  for (const Case& c : cases) {
    const RunOptions options = ParseRunOptions(c.args);
    EXPECT_EQ(options.job_id, c.job_id) << ::testing::PrintToString(c.args);
    EXPECT_EQ(options.error, c.error) << ::testing::PrintToString(c.args);
    if (c.error.empty()) {
      EXPECT_EQ(options.command, c.command);
    }
  }
  EXPECT_TRUE(ParseRunOptions({"--help", "ls"}).help);
  EXPECT_TRUE(ParseRunOptions({"--version"}).version);
  const RunOptions described = ParseRunOptions({"--description=", "--progress", "ls"});
  EXPECT_EQ(described.description, "");  // given empty: no line under the title
  EXPECT_TRUE(described.progress);
  EXPECT_FALSE(ParseRunOptions({"ls"}).description.has_value());
  EXPECT_FALSE(ParseRunOptions({"ls"}).progress);

  // The environment gives defaults; the command line wins.
  const RunOptions defaults = ParseRunOptions({"ls"}, RunEnvironment{"3", "14"});
  EXPECT_EQ(defaults.after_seconds, 3);
  EXPECT_EQ(defaults.keep_days, 14);
  EXPECT_EQ(ParseRunOptions({"--after", "1", "ls"}, RunEnvironment{"3", ""}).after_seconds, 1);
  EXPECT_EQ(ParseRunOptions({"ls"}).keep_days, kDefaultKeepDays);
  EXPECT_EQ(ParseRunOptions({"ls"}, RunEnvironment{"x", ""}).error,
            "ACTIVATOR_RUN_AFTER: \"x\" is not a number of seconds");
}

TEST(JobDescription, IsOneLineOfUtf8WithinTheLimitAndKeepsItsEndWhole) {
  const std::string e_acute = "\xC3\xA9";
  const std::string ellipsis = "\xE2\x80\xA6";
  const std::string replacement = "\xEF\xBF\xBD";
  auto repeated = [](const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
  };
  struct Case {
    std::string text;
    std::string ending;
    std::string description;
  } cases[] = {
      {"make -j8", ": ok after 0.4 s", "make -j8: ok after 0.4 s"},
      {"sh -c 'a\nb'\t", "", "sh -c 'a b' "},
      {"next\xC2\x85line", "", "next line"},  // C1 control
      {"a\xff\xC3 b", "", "a" + replacement + replacement + " b"},
      {"x\xEF\xBF\xBFy", "", "x" + replacement + "y"},  // noncharacter U+FFFF
      {std::string(196, 'a') + e_acute + e_acute, "", std::string(196, 'a') + e_acute + e_acute},
      {std::string(196, 'a') + e_acute + e_acute + e_acute, "", std::string(196, 'a') + ellipsis},
      {std::string(300, 'm'), ": ok after 1.0 s",
       std::string(200 - 16 - 3, 'm') + ellipsis + ": ok after 1.0 s"},
      // Text that turns the direction is isolated, so the ending reads as
      // written: a stray pop goes, an isolate left open is closed, and a cut
      // keeps both within the limit.
      {"\u202Eevil \u2069x\u2067y", ": ok", "\u2068\u202Eevil x\u2067y\u2069\u2069: ok"},
      {repeated("\u05D0", 150), ": ok after 1.0 s",
       "\u2068" + repeated("\u05D0", 87) + ellipsis + "\u2069: ok after 1.0 s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(JobDescription(c.text, c.ending), c.description);
  }
}

TEST(QuotedCommand, WritesTheWordsAsAShellWouldTakeThemBack) {
  struct Case {
    Args command;
    std::string line;
  } cases[] = {
      {{"make", "-j8", "CC=clang", "--out=/tmp/a,b:c+d@e%"},
       "make -j8 CC=clang --out=/tmp/a,b:c+d@e%"},
      {{"sh", "-c", "for i in 10 50 90; do echo $i%; done"},
       "sh -c 'for i in 10 50 90; do echo $i%; done'"},
      {{"echo", "it's", ""}, "echo 'it'\\''s' ''"},
      {{"ls", "~", "*.txt", "a b", "x\ny"}, "ls '~' '*.txt' 'a b' 'x\ny'"},
  };
  for (const Case& c : cases) EXPECT_EQ(QuotedCommand(c.command), c.line);
}

TEST(DescribeRunEnd, SaysHowTheCommandEndedAndHowLongItTook) {
  EXPECT_EQ(DescribeRunEnd(0, 0, false, 4.23), "ok after 4.2 s");
  EXPECT_EQ(DescribeRunEnd(2, 0, false, 185.9), "status 2 after 3 min 05 s");
  EXPECT_EQ(DescribeRunEnd(137, 9, false, 12.7), "signal 9 after 12 s");
  EXPECT_EQ(DescribeRunEnd(0, 0, true, 60), "status 0 (result cut) after 1 min 00 s");
  EXPECT_EQ(DescribeRunEnd(0, 0, false, 7384), "ok after 2 h 03 min");
}

TEST(MakeJobId, NamesTheCommandTheTimeAndTheProcess) {
  EXPECT_EQ(MakeJobId("/usr/bin/make", 1796729714, 4242), "make-20261208-113514-4242");
  // Whatever the command is called, the id stays plain text the job message
  // format can carry.
  EXPECT_EQ(MakeJobId("C:\\tools\\a&b c.exe", 0, 1), "a_b_c.exe-19700101-000000-1");
  EXPECT_EQ(MakeJobId("dir/", 0, 1), "job-19700101-000000-1");
  EXPECT_TRUE(ProblemWithJobId(MakeJobId(std::string(200, '&'), 0, 1)).empty());
  // However long the name and the process id, the id fits a notification's tag.
  const std::string longest = MakeJobId(std::string(200, 'n'), 0, 2147483647);
  EXPECT_EQ(longest.size(), kMaxJobIdBytes);
  EXPECT_TRUE(ProblemWithJobId(longest).empty());
}

}  // namespace
}  // namespace activator
