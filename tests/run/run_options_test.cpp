// The command line of activator-run and the ids it makes up.
#include "run/run_options.h"

#include <gtest/gtest.h>

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
}

TEST(MakeJobId, NamesTheCommandTheTimeAndTheProcess) {
  EXPECT_EQ(MakeJobId("/usr/bin/make", 1796729714, 4242), "make-20261208-113514-4242");
  // Whatever the command is called, the id stays plain text the job message
  // format can carry.
  EXPECT_EQ(MakeJobId("C:\\tools\\a&b c.exe", 0, 1), "a_b_c.exe-19700101-000000-1");
  EXPECT_EQ(MakeJobId("dir/", 0, 1), "job-19700101-000000-1");
  EXPECT_TRUE(ProblemWithJobId(MakeJobId(std::string(200, '&'), 0, 1)).empty());
}

}  // namespace
}  // namespace activator
