#include "remote/link_frames.h"

#include <algorithm>
#include <optional>
#include <type_traits>

namespace activator::remote {

namespace {

// The longest payload (after the type byte) of each type: its fields at
// their longest.
constexpr std::size_t kU64 = 8;
constexpr std::size_t kBytesField = 4;

std::optional<std::size_t> MaxPayload(uint8_t type) {
  switch (static_cast<FrameType>(type)) {
    case FrameType::kHello:
      return 4 + 2 * (kBytesField + kMaxFrameNameBytes) + kU64;
    case FrameType::kJob:
      return kU64 + kBytesField + kMaxJobMessageBytes;
    case FrameType::kDropped:
      return 2 * kU64;
    case FrameType::kEventResult:
      return kU64 + 1;
    case FrameType::kResultCopy:
      return kU64 + 1 + kBytesField + kMaxFrameNameBytes + kBytesField + kMaxResultCopyBytes + 1;
    case FrameType::kAck:
      return kU64;
    case FrameType::kEvent:
      return kU64 + 2 * kBytesField + kMaxFrameJobIdBytes + kMaxJobMessageBytes;
    case FrameType::kFetchResult:
      return kU64 + kBytesField + kMaxFrameJobIdBytes;
    case FrameType::kPing:
    case FrameType::kPong:
      return 0;
  }
  return std::nullopt;
}

class Writer {
 public:
  explicit Writer(FrameType type) : bytes_(kFrameLengthBytes, '\0') {
    bytes_.push_back(static_cast<char>(type));
  }
  void U8(uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
  void U32(uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(static_cast<char>(v >> shift));
  }
  void U64(uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8) bytes_.push_back(static_cast<char>(v >> shift));
  }
  void Bytes(std::string_view v, std::size_t cap) {
    v = v.substr(0, cap);
    U32(static_cast<uint32_t>(v.size()));
    bytes_.append(v);
  }
  std::string Finish() {
    const auto length = static_cast<uint32_t>(bytes_.size() - kFrameLengthBytes);
    for (int i = 0; i < 4; ++i) bytes_[i] = static_cast<char>(length >> (24 - 8 * i));
    return std::move(bytes_);
  }

 private:
  std::string bytes_;
};

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool U8(uint8_t& v) {
    if (!ok_ || bytes_.empty()) return ok_ = false;
    v = static_cast<uint8_t>(bytes_[0]);
    bytes_.remove_prefix(1);
    return true;
  }
  bool Bool(bool& v) {
    uint8_t raw = 0;
    if (!U8(raw) || raw > 1) return ok_ = false;
    v = raw == 1;
    return true;
  }
  bool U32(uint32_t& v) {
    uint64_t wide = 0;
    if (!Fixed(4, wide)) return false;
    v = static_cast<uint32_t>(wide);
    return true;
  }
  bool U64(uint64_t& v) { return Fixed(8, v); }
  bool Bytes(std::string& v, std::size_t cap) {
    uint32_t length = 0;
    if (!U32(length) || length > cap || length > bytes_.size()) return ok_ = false;
    v.assign(bytes_.substr(0, length));
    bytes_.remove_prefix(length);
    return true;
  }
  void Fail() { ok_ = false; }
  FrameError End() const {
    if (!ok_) return FrameError::kMalformed;
    return bytes_.empty() ? FrameError::kNone : FrameError::kTrailingBytes;
  }

 private:
  bool Fixed(std::size_t width, uint64_t& v) {
    if (!ok_ || bytes_.size() < width) return ok_ = false;
    v = 0;
    for (std::size_t i = 0; i < width; ++i) v = v << 8 | static_cast<unsigned char>(bytes_[i]);
    bytes_.remove_prefix(width);
    return true;
  }

  std::string_view bytes_;
  bool ok_ = true;
};

void BoolField(Writer& w, bool v) { w.U8(v ? 1 : 0); }
void BoolField(Reader& r, bool& v) { r.Bool(v); }
void StatusField(Writer& w, ResultCopyStatus v) { w.U8(static_cast<uint8_t>(v)); }
void StatusField(Reader& r, ResultCopyStatus& v) {
  uint8_t raw = 0;
  if (r.U8(raw) && raw > kLastResultCopyStatus) r.Fail();
  v = static_cast<ResultCopyStatus>(raw);
}

// One list of each type's fields, for both directions: `io` is a Writer or a
// Reader, and `f` the frame's fields (const for the Writer).
template <typename IO, typename F>
void Fields(IO& io, F& f) {
  using T = std::remove_const_t<F>;
  if constexpr (std::is_same_v<T, Hello>) {
    io.U32(f.version);
    io.Bytes(f.side, kMaxFrameNameBytes);
    io.Bytes(f.host, kMaxFrameNameBytes);
    io.U64(f.generation);
  } else if constexpr (std::is_same_v<T, JobFrame>) {
    io.U64(f.seq);
    io.Bytes(f.message, kMaxJobMessageBytes);
  } else if constexpr (std::is_same_v<T, Dropped>) {
    io.U64(f.count);
    io.U64(f.oldest_seq);
  } else if constexpr (std::is_same_v<T, EventResult>) {
    io.U64(f.request);
    BoolField(io, f.delivered);
  } else if constexpr (std::is_same_v<T, ResultCopy>) {
    io.U64(f.request);
    StatusField(io, f.status);
    io.Bytes(f.name, kMaxFrameNameBytes);
    io.Bytes(f.content, kMaxResultCopyBytes);
    BoolField(io, f.cut);
  } else if constexpr (std::is_same_v<T, Ack>) {
    io.U64(f.seq);
  } else if constexpr (std::is_same_v<T, Event>) {
    io.U64(f.request);
    io.Bytes(f.job_id, kMaxFrameJobIdBytes);
    io.Bytes(f.message, kMaxJobMessageBytes);
  } else if constexpr (std::is_same_v<T, FetchResult>) {
    io.U64(f.request);
    io.Bytes(f.job_id, kMaxFrameJobIdBytes);
  } else {
    static_assert(std::is_same_v<T, Ping> || std::is_same_v<T, Pong>);
  }
}

template <typename T>
FrameError DecodeAs(std::string_view payload, Frame& frame) {
  T fields;
  Reader reader(payload);
  Fields(reader, fields);
  const FrameError error = reader.End();
  if (error == FrameError::kNone) frame = std::move(fields);
  return error;
}

}  // namespace

FrameType TypeOf(const Frame& frame) {
  return std::visit(
      [](const auto& f) {
        using T = std::decay_t<decltype(f)>;
        if constexpr (std::is_same_v<T, Hello>)
          return FrameType::kHello;
        else if constexpr (std::is_same_v<T, JobFrame>)
          return FrameType::kJob;
        else if constexpr (std::is_same_v<T, Dropped>)
          return FrameType::kDropped;
        else if constexpr (std::is_same_v<T, EventResult>)
          return FrameType::kEventResult;
        else if constexpr (std::is_same_v<T, ResultCopy>)
          return FrameType::kResultCopy;
        else if constexpr (std::is_same_v<T, Pong>)
          return FrameType::kPong;
        else if constexpr (std::is_same_v<T, Ack>)
          return FrameType::kAck;
        else if constexpr (std::is_same_v<T, Event>)
          return FrameType::kEvent;
        else if constexpr (std::is_same_v<T, FetchResult>)
          return FrameType::kFetchResult;
        else
          return FrameType::kPing;
      },
      frame);
}

std::string EncodeFrame(const Frame& frame) {
  Writer writer(TypeOf(frame));
  std::visit([&](const auto& f) { Fields(writer, f); }, frame);
  return writer.Finish();
}

FrameError DecodeFrameBody(std::string_view body, Frame& frame) {
  if (body.empty()) return FrameError::kMalformed;
  const auto type = static_cast<uint8_t>(body[0]);
  const std::optional<std::size_t> cap = MaxPayload(type);
  if (!cap) return FrameError::kUnknownType;
  const std::string_view payload = body.substr(1);
  if (payload.size() > *cap) return FrameError::kTooLarge;
  switch (static_cast<FrameType>(type)) {
    case FrameType::kHello:
      return DecodeAs<Hello>(payload, frame);
    case FrameType::kJob:
      return DecodeAs<JobFrame>(payload, frame);
    case FrameType::kDropped:
      return DecodeAs<Dropped>(payload, frame);
    case FrameType::kEventResult:
      return DecodeAs<EventResult>(payload, frame);
    case FrameType::kResultCopy:
      return DecodeAs<ResultCopy>(payload, frame);
    case FrameType::kPong:
      return DecodeAs<Pong>(payload, frame);
    case FrameType::kAck:
      return DecodeAs<Ack>(payload, frame);
    case FrameType::kEvent:
      return DecodeAs<Event>(payload, frame);
    case FrameType::kFetchResult:
      return DecodeAs<FetchResult>(payload, frame);
    case FrameType::kPing:
      return DecodeAs<Ping>(payload, frame);
  }
  return FrameError::kUnknownType;
}

FrameError FrameReader::Feed(std::string_view bytes, std::vector<Frame>& frames) {
  if (error_ != FrameError::kNone) return error_;
  // What is left of the last feed is moved to the front only when it is
  // most of the buffer, so a burst of small frames is not copied over and
  // over.
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes);
  while (buffer_.size() - start_ >= kFrameLengthBytes + 1) {
    const std::string_view held = std::string_view(buffer_).substr(start_);
    uint32_t length = 0;
    for (std::size_t i = 0; i < kFrameLengthBytes; ++i)
      length = length << 8 | static_cast<unsigned char>(held[i]);
    const auto type = static_cast<uint8_t>(held[kFrameLengthBytes]);
    const std::optional<std::size_t> cap = MaxPayload(type);
    if (length == 0) {
      error_ = FrameError::kMalformed;
    } else if (!cap) {
      error_ = FrameError::kUnknownType;
    } else if (length - 1 > *cap) {
      error_ = FrameError::kTooLarge;
    }
    if (error_ != FrameError::kNone) break;
    if (held.size() - kFrameLengthBytes < length) break;  // not whole yet
    Frame frame;
    error_ = DecodeFrameBody(held.substr(kFrameLengthBytes, length), frame);
    if (error_ != FrameError::kNone) break;
    frames.push_back(std::move(frame));
    start_ += kFrameLengthBytes + length;
  }
  if (error_ != FrameError::kNone) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  return error_;
}

const char* DescribeFrameError(FrameError error) {
  switch (error) {
    case FrameError::kNone:
      return "NENHUM";
    case FrameError::kTooLarge:
      return "QUADRO GRANDE DEMAIS";
    case FrameError::kUnknownType:
      return "QUADRO DE TIPO DESCONHECIDO";
    case FrameError::kMalformed:
      return "QUADRO MALFORMADO";
    case FrameError::kTrailingBytes:
      return "QUADRO COM BYTES A MAIS";
  }
  return "?";
}

std::string HelloProblem(const Hello& hello, std::string_view expected_side) {
  if (hello.version != kLinkProtocolVersion) {
    return "VERSAO DO PROTOCOLO DIFERENTE: OUTRO LADO=" + std::to_string(hello.version) +
           " ESTE LADO=" + std::to_string(kLinkProtocolVersion) +
           " (instale a mesma versao nos dois lados)";
  }
  if (hello.side != expected_side) return "OUTRO LADO NAO E " + std::string(expected_side);
  return {};
}

}  // namespace activator::remote
