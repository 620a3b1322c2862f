// The frames of the remote link: what the desktop's activator-remote and the
// server side (activator-remote --serve) say to each other over ssh's standard
// input and output, a byte stream each way.
//
// A frame is
//   u32 length (big-endian) of what follows | u8 type | payload
// and a payload is the type's fields, in the order given below, each either
//   u8 (a bool is 0 or 1), u32 or u64: fixed width, big-endian
//   bytes: u32 length (big-endian), then that many bytes, taken as they are
// with nothing after the last field. The server is less trusted than the
// desktop, so the reader checks everything before it keeps anything: a frame
// longer than its type can be, a type nobody knows, a field that runs past
// the frame, a value outside its range, bytes left after the last field. Any
// of them ends the link (the peer is not ours, or not of our version): there
// is no resynchronising on a byte stream, and guessing would act on what the
// peer never meant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "jobs/job_message.h"

namespace activator::remote {

// Raised whenever a frame changes its fields or meaning; both sides say it in
// their Hello, and a link whose sides differ ends there.
inline constexpr uint32_t kLinkProtocolVersion = 1;

inline constexpr std::size_t kFrameLengthBytes = 4;
// The longest result a ResultCopy carries; the server cuts a longer one and
// says so.
inline constexpr std::size_t kMaxResultCopyBytes = 1u << 20;
// The longest a file name, a host name or a side may be in a frame.
inline constexpr std::size_t kMaxFrameNameBytes = 255;
// The longest job id an Event or a FetchResult may name: a worker's id is at
// most kMaxNotificationTagUnits UTF-16 units, four bytes of UTF-8 at most
// each.
inline constexpr std::size_t kMaxFrameJobIdBytes = 4 * kMaxNotificationTagUnits;
// No frame is longer than this (its length field included).
inline constexpr std::size_t kMaxFrameBytes = kFrameLengthBytes + 1 + kMaxResultCopyBytes + 1024;

enum class FrameType : uint8_t {
  // Both ways.
  kHello = 1,
  // Server to desktop.
  kJob = 2,
  kDropped = 3,
  kEventResult = 4,
  kResultCopy = 5,
  kPong = 6,
  // Desktop to server.
  kAck = 16,
  kEvent = 17,
  kFetchResult = 18,
  kPing = 19,
};

inline constexpr char kSideServe[] = "serve";
inline constexpr char kSideDesktop[] = "desktop";

// The first frame each side sends, and only then: version u32, side bytes
// ("serve" or "desktop"), host bytes (the sender's own host name, for the log
// only: the desktop names a server by what its user typed), generation u64
// (the server's spool: a new one when its spool began afresh, so the desktop
// knows its sequence numbers began again; 0 from the desktop).
struct Hello {
  uint32_t version = kLinkProtocolVersion;
  std::string side;
  std::string host;
  uint64_t generation = 0;
  bool operator==(const Hello&) const = default;
};

// A job message a worker on the server sent, as it sent it: seq u64 (the
// spool's, increasing by one per message, see spool.h), message bytes (at
// most kMaxJobMessageBytes).
struct JobFrame {
  uint64_t seq = 0;
  std::string message;
  bool operator==(const JobFrame&) const = default;
};

// The spool was full and let messages go: count u64 of them, oldest_seq u64
// the first one lost. Sent before the next Job.
struct Dropped {
  uint64_t count = 0;
  uint64_t oldest_seq = 0;
  bool operator==(const Dropped&) const = default;
};

// What became of an Event: request u64 (the Event's), delivered u8 (bool:
// the worker's reply pipe took the message).
struct EventResult {
  uint64_t request = 0;
  bool delivered = false;
  bool operator==(const EventResult&) const = default;
};

enum class ResultCopyStatus : uint8_t {
  kOk = 0,
  kNoIndex = 1,   // the job left no result index
  kNotFound = 2,  // the index names a file that cannot be read
  kCut = 3,       // the file is longer than kMaxResultCopyBytes: its start comes
  kRefused = 4,   // not a regular file, or the job is not one the server knows
};
inline constexpr uint8_t kLastResultCopyStatus = 4;

// The answer to a FetchResult: request u64, status u8, name bytes (the
// result file's own name on the server, without its folder: for display,
// never a path on the desktop), content bytes (at most kMaxResultCopyBytes),
// cut u8 (bool: the content is the file's start).
struct ResultCopy {
  uint64_t request = 0;
  ResultCopyStatus status = ResultCopyStatus::kOk;
  std::string name;
  std::string content;
  bool cut = false;
  bool operator==(const ResultCopy&) const = default;
};

// Everything up to seq u64 is handled on the desktop: the spool may let it go.
struct Ack {
  uint64_t seq = 0;
  bool operator==(const Ack&) const = default;
};

// A click: request u64 (the desktop's number, for the EventResult), job_id
// bytes (the worker's own id, byte for byte), message bytes (the event
// message, at most kMaxJobMessageBytes) for the reply pipe the server
// recorded for that job.
struct Event {
  uint64_t request = 0;
  std::string job_id;
  std::string message;
  bool operator==(const Event&) const = default;
};

// Asks for the job's result: request u64, job_id bytes.
struct FetchResult {
  uint64_t request = 0;
  std::string job_id;
  bool operator==(const FetchResult&) const = default;
};

// Keep-alive, no fields; answered by a Pong.
struct Ping {
  bool operator==(const Ping&) const = default;
};
struct Pong {
  bool operator==(const Pong&) const = default;
};

using Frame = std::variant<Hello, JobFrame, Dropped, EventResult, ResultCopy, Pong, Ack, Event,
                           FetchResult, Ping>;

FrameType TypeOf(const Frame& frame);

// The frame's bytes, length field included. A field longer than its type
// allows is the caller's mistake: it is cut to the bound, so that what goes
// out is always a frame the other side reads.
std::string EncodeFrame(const Frame& frame);

enum class FrameError {
  kNone,
  kTooLarge,  // longer than any frame of its type can be
  kUnknownType,
  kMalformed,      // a field runs past the frame, or holds a value out of range
  kTrailingBytes,  // bytes left after the last field
};

// A short text naming the error, for the log.
const char* DescribeFrameError(FrameError error);

// Takes the link's bytes as they arrive, in pieces of any size, and hands
// out each frame once it is whole. The first error ends the reader: every
// later Feed returns it again and reads nothing.
class FrameReader {
 public:
  // Appends the whole frames `bytes` completed to `frames`; returns the
  // reader's error (kNone while the link may go on). A frame's length is
  // checked as soon as its five first bytes are in, so a peer cannot make the
  // reader hold more than one frame's worth.
  FrameError Feed(std::string_view bytes, std::vector<Frame>& frames);

  FrameError error() const { return error_; }
  // Bytes held of a frame not yet whole.
  std::size_t buffered() const { return buffer_.size() - start_; }

 private:
  std::string buffer_;
  std::size_t start_ = 0;
  FrameError error_ = FrameError::kNone;
};

// Decodes one frame's type byte and payload (what follows the length field).
FrameError DecodeFrameBody(std::string_view body, Frame& frame);

// Why the peer's Hello ends the link: empty when it is of this version and
// from the other side (`expected_side`), else a line for the user.
std::string HelloProblem(const Hello& hello, std::string_view expected_side);

}  // namespace activator::remote
