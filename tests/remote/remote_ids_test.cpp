#include "remote/remote_ids.h"

#include <gtest/gtest.h>

#include "jobs/job_message.h"

namespace activator::remote {
namespace {

TEST(RemoteIdsTest, IdsOfServersNeverMeetAndMapBackByteForByte) {
  const std::string long_id(kMaxNotificationTagUnits, 'J');
  const struct {
    std::string host;
    std::string worker_id;
    bool plain;  // the "@label+id" form, which maps back by itself
  } cases[] = {
      {"build-01", "J1", true},
      {"me@build-01", "J1", true},
      {"::1", "a+b#c", true},
      {"h", "a:b", false},  // no file name on Windows: the index could not be written
      {"h", "J/1", false},
      {"h", "J\x01", false},
      {"h", "J\xc3\xa9", true},
      {"h", long_id, false},
      {"h", "J\xff", false},  // not UTF-8: no tag of the desktop's
      {"h", "J&x", false},
      {"h", "\xef\xbf\xbf", false},  // a noncharacter
      {std::string(100, 'h'), "J1", true},
  };
  std::vector<std::string> seen;
  for (const auto& c : cases) {
    const std::string label = MakeServerLabel(c.host);
    EXPECT_LE(label.size(), kMaxServerLabelBytes) << c.host;
    EXPECT_EQ(MakeServerLabel(label), label) << c.host;
    const std::string id = DesktopJobId(label, c.worker_id);
    EXPECT_TRUE(IsRemoteJobId(id)) << id;
    // The activator names the job's result index after it, on either system.
    EXPECT_EQ(id.find_first_of(std::string("<>:\"/\\|?*\0", 10)), std::string::npos) << id;
    ASSERT_EQ(ParseJobMessage("acao=continuar&id_execucao=" + id + "&estado=x").problem,
              JobMessageProblem::kNone)
        << id;
    if (c.plain) {
      EXPECT_EQ(WorkerJobIdOf(label, id), c.worker_id) << id;
    } else {
      EXPECT_EQ(WorkerJobIdOf(label, id), std::nullopt) << id;
      HashedIdMemory memory;
      memory.Remember(id, c.worker_id);
      EXPECT_EQ(memory.Find(id), c.worker_id) << id;
    }
    EXPECT_EQ(WorkerJobIdOf("other", id), std::nullopt) << id;
    for (const std::string& earlier : seen) EXPECT_NE(earlier, id);
    seen.push_back(id);
  }
  // Hosts that only their unsafe bytes tell apart stay apart.
  EXPECT_NE(MakeServerLabel("a:b"), MakeServerLabel("a?b"));
  EXPECT_FALSE(IsRemoteJobId("J1"));
  EXPECT_FALSE(IsRemoteJobId("@:J1"));
}

TEST(RemoteIdsTest, ResultCopyNamesStayInTheirFolder) {
  for (const std::string& server_name : std::vector<std::string>{
           "out.txt", "../../.bashrc", "a/b\\c", std::string("x\0y", 3), "..", ".", "", "con",
           "name.", "tab\there", std::string(500, 'n'), "\xc3\xa9t\xc3\xa9.log"}) {
    const std::string name = ResultCopyFileName("h~12345678", "J/1", server_name);
    EXPECT_EQ(name.find_first_of(std::string("/\\\0:", 4)), std::string::npos) << name;
    EXPECT_EQ(name.find(".."), std::string::npos) << name;
    EXPECT_NE(name.back(), '.');
    EXPECT_LE(name.size(), 7 + kMaxServerLabelBytes + 18 + kMaxCopyNameBytes);
    for (const char c : name) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << name;
    EXPECT_EQ(name.rfind("remote-h~12345678-", 0), 0u) << name;
  }
  EXPECT_NE(ResultCopyFileName("h", "J1", "r"), ResultCopyFileName("h", "J2", "r"));
}

}  // namespace
}  // namespace activator::remote
