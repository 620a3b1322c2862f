#include "remote/spool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "support/test_lab.h"

namespace activator::remote {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::WriteFile;

std::string NewFolder() {
  const std::string folder = testing::LabPath(testing::UniqueName("spool"));
  fs::remove_all(folder);
  return folder;
}

std::vector<uint64_t> Seqs(const Spool& spool) {
  std::vector<uint64_t> seqs;
  for (const SpooledMessage& m : spool.After(0, 100000)) seqs.push_back(m.seq);
  return seqs;
}

std::string Message(uint64_t n) {
  return "acao=atualizar&id_execucao=J" + std::to_string(n) + "&estado=concluido";
}

bool Reported(Spool& spool, const std::string& start) {
  for (const std::string& line : spool.TakeReports())
    if (line.rfind(start, 0) == 0) return true;
  return false;
}

TEST(SpoolTest, KeepsOrderAcrossAcksRestartsAndCrashes) {
  const std::string folder = NewFolder();
  const std::string crashed = NewFolder();
  uint64_t generation = 0;
  {
    Spool spool;
    ASSERT_EQ(spool.Open(folder), Spool::Opened::kFresh);
    generation = spool.generation();
    for (uint64_t n = 1; n <= 5; ++n) EXPECT_EQ(spool.Append(Message(n)), n);
    spool.Ack(2);
    EXPECT_EQ(Seqs(spool), (std::vector<uint64_t>{3, 4, 5}));
    EXPECT_EQ(spool.After(3, 1).at(0).message, Message(4));
    // What a kill leaves now: the ack not yet in the mark.
    fs::create_directory(crashed);
    for (const char* name : {Spool::kSpoolFile, Spool::kMarkFile})
      WriteFile(crashed + "/" + name, ReadFile(folder + "/" + name));
  }
#ifndef _WIN32
  EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(folder + "/" + Spool::kSpoolFile).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
#endif
  {
    Spool spool;
    ASSERT_EQ(spool.Open(folder), Spool::Opened::kRead);
    EXPECT_EQ(spool.generation(), generation);
    EXPECT_EQ(Seqs(spool), (std::vector<uint64_t>{3, 4, 5}));
    EXPECT_GT(spool.Append(Message(6)), 5u);
  }
  // The crashed copy sends 1 and 2 again; the desktop shows them once.
  SeenSeqs seen;
  for (uint64_t seq : {1, 2}) EXPECT_TRUE(seen.FirstTime("h", generation, seq));
  {
    Spool spool;
    ASSERT_EQ(spool.Open(crashed), Spool::Opened::kRead);
    std::vector<uint64_t> shown;
    for (const SpooledMessage& m : spool.After(0, 10))
      if (seen.FirstTime("h", spool.generation(), m.seq)) shown.push_back(m.seq);
    EXPECT_EQ(shown, (std::vector<uint64_t>{3, 4, 5}));
  }
  SeenSeqs restored;
  ASSERT_TRUE(restored.Decode(seen.Encode()));
  EXPECT_EQ(restored.Highest("h", generation), 5u);
  EXPECT_TRUE(restored.FirstTime("h", generation + 1, 1));  // a new spool begins again
  EXPECT_FALSE(restored.Decode("h 1\n"));
  // Appended lines override the whole write before them; an append cut short
  // by a kill is left out, not the file with it.
  ASSERT_TRUE(restored.Decode(seen.Encode() + SeenSeqs::EncodeOne("h", generation, 6) + "h 1 7"));
  EXPECT_EQ(restored.Highest("h", generation), 6u);

  // Everything released: the file is written again without it, and the seqs
  // go on where they were.
  {
    Spool spool;
    spool.Open(folder);
    const std::string big(kMaxSpoolMessageBytes, 'b');
    uint64_t last = 0;
    for (int i = 0; i < 300; ++i) last = spool.Append(big);
    spool.Ack(last);
    EXPECT_LT(fs::file_size(folder + "/" + Spool::kSpoolFile), 4096u);
    EXPECT_EQ(spool.kept(), 0u);
  }
  Spool spool;
  spool.Open(folder);
  const uint64_t seq = spool.Append("x");
  EXPECT_GT(seq, 306u);
  EXPECT_EQ(Seqs(spool), (std::vector<uint64_t>{seq}));
}

TEST(SpoolTest, DamagedFilesNeverStopIt) {
  const struct {
    const char* what;
    void (*damage)(std::string& bytes);
    Spool::Opened opened;
    std::vector<uint64_t> kept;
    const char* report;
    bool aside;
  } cases[] = {
      {"torn last record",
       [](std::string& b) { b.resize(b.size() - 3); },
       Spool::Opened::kRead,
       {1, 2},
       "SPOOL CORTADO NO FIM",
       false},
      {"zeros after the end",
       [](std::string& b) { b += std::string(100, '\0'); },
       Spool::Opened::kRead,
       {1, 2, 3},
       "SPOOL CORTADO NO FIM",
       false},
      {"last record's byte flipped",
       [](std::string& b) { b.back() ^= 1; },
       Spool::Opened::kRead,
       {1, 2},
       "SPOOL CORTADO NO FIM",
       false},
      {"second record's byte flipped",
       [](std::string& b) { b[kSpoolHeaderBytes + 8 + 16 + Message(1).size() + 12] ^= 1; },
       Spool::Opened::kDamaged,
       {1},
       "SPOOL DANIFICADO",
       true},
      {"not a spool",
       [](std::string& b) { b[0] = 'X'; },
       Spool::Opened::kRefused,
       {},
       "SPOOL ILEGIVEL",
       true},
      {"empty",
       [](std::string& b) { b.clear(); },
       Spool::Opened::kRefused,
       {},
       "SPOOL ILEGIVEL",
       true},
  };
  for (const auto& c : cases) {
    const std::string folder = NewFolder();
    uint64_t generation = 0;
    {
      Spool spool;
      spool.Open(folder);
      generation = spool.generation();
      for (uint64_t n = 1; n <= 3; ++n) spool.Append(Message(n));
    }
    const std::string path = folder + "/" + Spool::kSpoolFile;
    std::string bytes = ReadFile(path);
    c.damage(bytes);
    WriteFile(path, bytes);
    Spool spool;
    EXPECT_EQ(spool.Open(folder), c.opened) << c.what;
    EXPECT_EQ(Seqs(spool), c.kept) << c.what;
    EXPECT_TRUE(Reported(spool, c.report)) << c.what;
    EXPECT_EQ(fs::exists(path + Spool::kKeptAsideSuffix), c.aside) << c.what;
    // A new seq never repeats one of the same generation.
    const uint64_t seq = spool.Append("x");
    if (spool.generation() == generation) {
      EXPECT_GE(seq, 4u) << c.what;
    }
    Spool again;
    EXPECT_EQ(again.Open(folder), Spool::Opened::kRead) << c.what;
    EXPECT_EQ(Seqs(again).back(), seq) << c.what;
  }
}

TEST(SpoolTest, BeyondItsBoundsTheOldestGoCountedAndTold) {
  int64_t now = 1'000'000;
  SpoolLimits limits;
  limits.keep_messages = 3;
  limits.keep_ms = 1000;
  limits.max_bytes = 1u << 20;
  Spool spool(limits, [&now] { return now; });
  spool.Open(NewFolder());
  // Young messages are all kept, however many.
  for (uint64_t n = 1; n <= 5; ++n) spool.Append(Message(n));
  EXPECT_EQ(spool.kept(), 5u);
  EXPECT_FALSE(spool.TakeLosses());
  // Once they are old, only the newest three.
  now += 2000;
  spool.Append(Message(6));
  EXPECT_EQ(Seqs(spool), (std::vector<uint64_t>{4, 5, 6}));
  const std::optional<SpoolLosses> losses = spool.TakeLosses();
  ASSERT_TRUE(losses);
  EXPECT_EQ(losses->count, 3u);
  EXPECT_EQ(losses->oldest_seq, 1u);
  EXPECT_FALSE(spool.TakeLosses());
  EXPECT_TRUE(Reported(spool, "SPOOL CHEIO DESCARTADAS=3 PRIMEIRA=1"));

  // The byte bound holds whatever the age.
  SpoolLimits small;
  small.max_bytes = 3 * (8 + 16 + kMaxSpoolMessageBytes);
  Spool bytes_bound(small);
  const std::string folder = NewFolder();
  bytes_bound.Open(folder);
  for (int i = 0; i < 300; ++i) bytes_bound.Append(std::string(kMaxSpoolMessageBytes + 10, 'm'));
  EXPECT_EQ(Seqs(bytes_bound), (std::vector<uint64_t>{298, 299, 300}));
  // What went is gone from the disk too.
  EXPECT_LT(fs::file_size(folder + "/" + Spool::kSpoolFile), Spool::kCompactAfterBytes + 3 * 4200);
  EXPECT_EQ(bytes_bound.After(9, 1).at(0).message.size(), kMaxSpoolMessageBytes);
}

TEST(SpoolTest, AWaitingLinkWakesForANewMessage) {
  Spool spool;
  spool.Open(NewFolder());
  EXPECT_FALSE(spool.WaitForMessageAfter(0, 1));
  std::thread worker([&spool] { spool.Append(Message(1)); });
  EXPECT_TRUE(spool.WaitForMessageAfter(0, 60'000));
  worker.join();
}

}  // namespace
}  // namespace activator::remote
