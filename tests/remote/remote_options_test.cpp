// The command line of activator-remote, and the ssh command it makes of it.
#include "remote_program/remote_options.h"

#include <gtest/gtest.h>

#include "remote_program/desktop_side.h"

namespace activator::remote {
namespace {

using Args = std::vector<std::string>;

TEST(ParseRemoteOptions, PassesSshOptionsOnAndRefusesWhatSshWouldMisread) {
  struct Case {
    Args args;
    Args ssh_options;
    std::string destination;
    std::string server_program;
    std::string error;
  } cases[] = {
      {{"build1"}, {}, "build1", "activator-remote", ""},
      {{"-p", "2222", "-i", "k", "me@b"},
       {"-p", "2222", "-i", "k"},
       "me@b",
       "activator-remote",
       ""},
      {{"-p2222", "-oBatchMode=yes", "b"},
       {"-p", "2222", "-o", "BatchMode=yes"},
       "b",
       "activator-remote",
       ""},
      {{"-J", "jump", "-F", "cfg", "-l", "me", "-C", "-v", "b"},
       {"-J", "jump", "-F", "cfg", "-l", "me", "-C", "-v"},
       "b",
       "activator-remote",
       ""},
      {{"--server-program", "~/.local/bin/activator-remote", "b"},
       {},
       "b",
       "~/.local/bin/activator-remote",
       ""},
      {{"--server-program=/opt/a r", "b"}, {}, "b", "/opt/a r", ""},
      {{"--", "-odd-host"}, {}, "-odd-host", "activator-remote", ""},
      {{}, {}, "", "activator-remote", "no server given (try --help)"},
      {{"b", "c"}, {}, "b", "activator-remote", "one server only: c (try --help)"},
      {{"-p"}, {"-p"}, "", "activator-remote", "-p needs a value"},
      {{"-A", "b"}, {}, "", "activator-remote", "unknown option -A (try --help)"},
      {{"-R", "x:y", "b"}, {}, "", "activator-remote", "unknown option -R (try --help)"},
      {{"--server-program="}, {}, "", "", "--server-program: the path is empty"},
      {{"--serve", "b"},
       {},
       "b",
       "activator-remote",
       "--serve takes nothing else: it is started by the link on the server"},
  };
  for (const Case& c : cases) {
    const RemoteOptions got = ParseRemoteOptions(c.args);
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(got.error, c.error);
    if (!c.error.empty()) continue;
    EXPECT_EQ(got.ssh_options, c.ssh_options);
    EXPECT_EQ(got.destination, c.destination);
    EXPECT_EQ(got.server_program, c.server_program);
  }
  EXPECT_TRUE(ParseRemoteOptions({"--serve"}).serve);
  EXPECT_TRUE(ParseRemoteOptions({"--help"}).help);
}

TEST(SshCommandLine, IsRawAndQuotesTheServerProgramForTheServersShell) {
  RemoteOptions options = ParseRemoteOptions({"-p", "22", "me@b", "--server-program", "/o p/it's"});
  EXPECT_EQ(SshCommandLine(options, "ssh"),
            (Args{"ssh", "-T", "-e", "none", "-p", "22", "-o", "ServerAliveInterval=15", "-o",
                  "ServerAliveCountMax=3", "--", "me@b", "'/o p/it'\\''s' --serve"}));
  options.server_program = "~/.local/bin/activator-remote";
  EXPECT_EQ(SshCommandLine(options, "ssh").back(), "~/.local/bin/activator-remote --serve");
}

TEST(RemoteDescription, NamesTheServerAndStaysWithinTheBound) {
  EXPECT_EQ(DisplayHost("me@build\x01one"), "build?one");
  EXPECT_EQ(RemoteDescription("b1", ""), "b1");
  EXPECT_EQ(RemoteDescription("b1", "make -j8"), "b1: make -j8");
  const std::string long_line = RemoteDescription("b1", std::string(197, 'x') + "\xC3\xA9");
  EXPECT_LE(long_line.size(), 200u);
  EXPECT_EQ(long_line.substr(long_line.size() - 3), "\xE2\x80\xA6");
}

}  // namespace
}  // namespace activator::remote
