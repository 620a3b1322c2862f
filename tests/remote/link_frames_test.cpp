#include "remote/link_frames.h"

#include <gtest/gtest.h>

namespace activator::remote {
namespace {

std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

// A frame of `type` whose payload is `payload`, length field made right.
std::string Raw(uint8_t type, const std::string& payload) {
  return Be32(static_cast<uint32_t>(payload.size() + 1)) + static_cast<char>(type) + payload;
}

TEST(LinkFramesTest, EveryFrameReadsBackAsItWasWhateverThePieces) {
  const std::string message = "acao=continuar&id_execucao=J1&pipe=/p&estado=executando";
  const std::vector<Frame> frames = {
      Hello{kLinkProtocolVersion, kSideServe, "build-01", 1234567890123ull},
      JobFrame{UINT64_MAX, message},
      JobFrame{1, std::string(kMaxJobMessageBytes, 'x')},
      JobFrame{2, std::string("\0\xff&\n", 4)},
      Dropped{17, 40},
      EventResult{3, true},
      EventResult{4, false},
      ResultCopy{5, ResultCopyStatus::kCut, "out.txt", std::string(kMaxResultCopyBytes, 'r'), true},
      ResultCopy{6, ResultCopyStatus::kNoIndex, "", "", false},
      Pong{},
      Ack{99},
      Event{7, "J\xc3\xa9 1", "acao=abortar&id_execucao=J\xc3\xa9 1&estado=executando"},
      FetchResult{8, "J1"},
      Ping{},
  };
  std::string stream;
  for (const Frame& frame : frames) stream += EncodeFrame(frame);
  // Whole, byte by byte, and in pieces that cut every frame somewhere.
  for (const std::size_t piece : {stream.size(), std::size_t{1}, std::size_t{4093}}) {
    FrameReader reader;
    std::vector<Frame> read;
    for (std::size_t at = 0; at < stream.size(); at += piece)
      ASSERT_EQ(reader.Feed(std::string_view(stream).substr(at, piece), read), FrameError::kNone);
    EXPECT_EQ(read, frames) << "pieces of " << piece;
    EXPECT_EQ(reader.buffered(), 0u);
  }
}

TEST(LinkFramesTest, BadInputEndsTheLinkWithItsError) {
  const std::string u64(8, '\0');
  const struct {
    const char* what;
    std::string bytes;
    FrameError error;
  } cases[] = {
      {"zero length", Be32(0) + "x", FrameError::kMalformed},
      {"unknown type", Raw(0x7f, ""), FrameError::kUnknownType},
      {"type 0", Raw(0, ""), FrameError::kUnknownType},
      // Refused from its first five bytes: the rest is never waited for.
      {"over every cap", Be32(0xFFFFFFFFu) + "\x05", FrameError::kTooLarge},
      {"over the type's cap", Be32(8 + 4 + kMaxJobMessageBytes + 2) + "\x02",
       FrameError::kTooLarge},
      {"bytes after the last field", Raw(2, u64 + Be32(3) + "abcxy"), FrameError::kTrailingBytes},
      {"ping with a payload", Raw(19, "x"), FrameError::kTooLarge},
      {"ack cut short", Raw(16, "1234"), FrameError::kMalformed},
      {"bytes past the frame", Raw(2, u64 + Be32(10) + "abc"), FrameError::kMalformed},
      {"message over its cap",
       Raw(2, u64 + Be32(kMaxJobMessageBytes + 1) + std::string(kMaxJobMessageBytes + 1, 'x')),
       FrameError::kTooLarge},
      {"job id over its cap",
       Raw(17, u64 + Be32(kMaxFrameJobIdBytes + 1) + std::string(kMaxFrameJobIdBytes + 1, 'j') +
                   Be32(0)),
       FrameError::kMalformed},
      {"bool of 2", Raw(4, u64 + "\x02"), FrameError::kMalformed},
      {"status out of range", Raw(5, u64 + "\x05" + Be32(0) + Be32(0) + "\x00"),
       FrameError::kMalformed},
  };
  for (const auto& c : cases) {
    FrameReader reader;
    std::vector<Frame> read;
    // A good frame first: it is handed out, the bad one ends what follows.
    const std::string good = EncodeFrame(Ping{});
    EXPECT_EQ(reader.Feed(good + c.bytes + good, read), c.error) << c.what;
    EXPECT_EQ(read.size(), 1u) << c.what;
    EXPECT_EQ(reader.Feed(good, read), c.error) << c.what;
    EXPECT_EQ(read.size(), 1u) << c.what;
  }
}

TEST(LinkFramesTest, HelloOfAnotherVersionOrTheSameSideIsRefused) {
  EXPECT_EQ(HelloProblem(Hello{kLinkProtocolVersion, kSideServe, "h", 1}, kSideServe), "");
  EXPECT_NE(HelloProblem(Hello{kLinkProtocolVersion + 1, kSideServe, "h", 1}, kSideServe)
                .find("VERSAO DO PROTOCOLO DIFERENTE"),
            std::string::npos);
  EXPECT_NE(HelloProblem(Hello{kLinkProtocolVersion, kSideDesktop, "h", 0}, kSideServe), "");
}

}  // namespace
}  // namespace activator::remote
