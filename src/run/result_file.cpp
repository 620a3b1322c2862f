#include "run/result_file.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "run/results_folder.h"
#include "run/run_warning.h"
#include "run/shell_quoting.h"

namespace activator {

namespace {

std::string WallClock(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  char text[64] = "";
  if (const std::tm* local = std::localtime(&seconds))
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", local);
  return text;
}

// How far from a cut a line's end is looked for, so that the head ends and
// the tail starts with a whole line; a longer line is cut between characters.
constexpr std::size_t kLineSearch = 64 * 1024;
constexpr std::size_t kCopyBlock = 64 * 1024;

std::string Mebibytes(std::size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// How much of the start of `text` ends on a UTF-8 character's boundary.
std::size_t WholeCharacters(std::string_view text) {
  for (std::size_t back = 1; back <= 4 && back <= text.size(); ++back) {
    const auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;
    const std::size_t length = byte < 0xC0 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
    return length > back ? text.size() - back : text.size();
  }
  return text.size();
}

// Appends `length` bytes of `in` from `offset` to `out`; false when they
// could not all be read or written.
bool CopyRange(std::ifstream& in, std::uint64_t offset, std::uint64_t length, PrivateFile& out) {
  if (length == 0) return true;
  in.clear();
  if (!in.seekg(static_cast<std::streamoff>(offset))) return false;
  std::string buffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyBlock)), '\0');
  for (std::uint64_t left = length; left > 0;) {
    in.read(buffer.data(),
            static_cast<std::streamsize>(std::min<std::uint64_t>(left, buffer.size())));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got == 0 || out.Append(std::string_view(buffer.data(), got)) != 0) return false;
    left -= got;
  }
  return true;
}

}  // namespace

bool ResultFile::Open(const std::string& path, const std::vector<std::string>& command,
                      std::chrono::system_clock::time_point started) {
  path_ = path;
  int error = 0;
  file_ = PrivateFile::Create(path, &error);
  if (!file_) {
    Warn("cannot write the result file " + path + " (" + DescribeFileError(error) +
         "); the output goes to the terminal only");
    return false;
  }
  head_ = "$ " + QuotedCommand(command) + "\nstarted:  " + WallClock(started) + "\n";
  const std::string running = head_ + "ended:    (still running)\n\n";
  output_offset_ = running.size();
  if (const int error = file_->Append(running); error != 0) {
    Warn("cannot write the result file " + path_ + " (" + DescribeFileError(error) +
         "); the output goes to the terminal only");
    file_.reset();
    return false;
  }
  return true;
}

bool ResultFile::Write(std::string_view bytes) {
  return WriteText(text_.Feed(bytes, text_buffer_));
}

void ResultFile::Finish(std::chrono::system_clock::time_point ended,
                        std::chrono::steady_clock::duration took, int status, int signal) {
  if (!file_) return;
  WriteText(text_.Finish());
  file_.reset();
  tail_file_.reset();
  char duration[64];
  std::snprintf(duration, sizeof duration, "%.3f s", std::chrono::duration<double>(took).count());
  std::string end = "ended:    " + WallClock(ended) + "\nduration: " + duration +
                    "\nstatus:   " + std::to_string(status);
  if (signal != 0) end += " (ended by signal " + std::to_string(signal) + ")";
  auto left_out_line = [this](std::uint64_t left_out) {
    return left_out == 0 ? std::string()
                         : "\noutput:   " + std::to_string(total_) + " bytes, " +
                               std::to_string(left_out) + " of them left out in the middle";
  };
  if (cut_) {
    // The result ends where it was cut: what the tail held is dropped, and a
    // result cut by a limit on the file's size is kept within the size it
    // reached, so that the copy fits where the first one did.
    tail_filled_ = 0;
    auto cut_line = [&](std::size_t bytes) {
      return "\nresult:   cut after " + std::to_string(bytes) + " bytes (" + cut_reason_ + ")";
    };
    const std::size_t header = head_.size() + end.size() + cut_line(written_).size() + 2;
    const std::size_t room = output_offset_ + written_;
    const std::size_t output = room > header ? std::min(written_, room - header) : 0;
    end += cut_line(output);
    if (!Rewrite(head_ + end + "\n\n", output, "", 0)) AppendToFile(path_, "\n" + end + "\n");
  } else {
    std::size_t head_bytes = written_;
    std::uint64_t tail_skip = 0;
    const std::uint64_t gap = total_ - written_ - tail_filled_;
    std::uint64_t left_out = gap;
    std::string gap_line;
    if (gap > 0) {
      // Whole lines on either side of the gap.
      std::ifstream result(PathOf(path_), std::ios::binary);
      const std::size_t search = std::min(written_, kLineSearch);
      std::string before(search, '\0');
      result.seekg(static_cast<std::streamoff>(output_offset_ + written_ - search));
      result.read(before.data(), static_cast<std::streamsize>(search));
      const std::size_t line_end = before.rfind('\n');
      head_bytes = written_ - search +
                   (line_end != std::string::npos ? line_end + 1 : WholeCharacters(before));
      std::ifstream tail(PathOf(tail_path_), std::ios::binary);
      std::string after;
      for (const Span& span : TailInOrder()) {
        if (after.size() >= kLineSearch) break;
        const std::size_t more = static_cast<std::size_t>(
            std::min<std::uint64_t>(span.length, kLineSearch - after.size()));
        tail.clear();
        tail.seekg(static_cast<std::streamoff>(span.offset));
        after.resize(after.size() + more);
        tail.read(after.data() + after.size() - more, static_cast<std::streamsize>(more));
      }
      const std::size_t line_start = after.find('\n');
      if (line_start != std::string::npos) {
        tail_skip = line_start + 1;
      } else {
        while (tail_skip < after.size() &&
               (static_cast<unsigned char>(after[tail_skip]) & 0xC0) == 0x80)
          ++tail_skip;
      }
      left_out += (written_ - head_bytes) + tail_skip;
      gap_line = "[... " + std::to_string(left_out) +
                 " bytes of output left out: the result keeps the first " +
                 Mebibytes(kResultHeadBytes) + " and the last " + Mebibytes(kResultTailBytes) +
                 " ...]\n";
    }
    if (!Rewrite(head_ + end + left_out_line(left_out) + "\n\n", head_bytes, gap_line, tail_skip))
      AppendTailAndEnd(end + left_out_line(gap));
  }
  if (!tail_path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(PathOf(tail_path_), ignored);
  }
}

void ResultFile::Discard() {
  file_.reset();
  tail_file_.reset();
  std::error_code ignored;
  std::filesystem::remove(PathOf(path_), ignored);
  if (!tail_path_.empty()) std::filesystem::remove(PathOf(tail_path_), ignored);
}

bool ResultFile::WriteText(std::string_view text) {
  if (!file_ || cut_) return false;
  total_ += text.size();
  const std::size_t to_head = std::min(text.size(), kResultHeadBytes - written_);
  if (to_head > 0) {
    if (const int error = file_->Append(text.substr(0, to_head)); error != 0) return Fail(error);
    written_ += to_head;
    last_written_ = text[to_head - 1];
  }
  return to_head == text.size() || WriteTail(text.substr(to_head));
}

bool ResultFile::WriteTail(std::string_view text) {
  if (!tail_file_) {
    // Whoever opens the result while the run goes is told where the rest is.
    const std::string note = std::string(last_written_ == '\n' ? "" : "\n") +
                             "[... the output goes on; its last " + Mebibytes(kResultTailBytes) +
                             " will follow here once the command has ended ...]\n";
    if (const int error = file_->Append(note); error != 0) return Fail(error);
    int error = 0;
    tail_path_ = path_ + ".tail";
    tail_file_ = PrivateFile::Create(tail_path_, &error);
    if (!tail_file_) return Fail(error);
  }
  while (!text.empty()) {
    const std::size_t n = std::min(text.size(), kResultTailBytes - tail_at_);
    const std::string_view piece = text.substr(0, n);
    const int error = tail_filled_ < kResultTailBytes ? tail_file_->Append(piece)
                                                      : tail_file_->Overwrite(tail_at_, piece);
    if (error != 0) return Fail(error);
    tail_at_ = (tail_at_ + n) % kResultTailBytes;
    tail_filled_ = std::min(kResultTailBytes, tail_filled_ + n);
    text.remove_prefix(n);
  }
  return true;
}

bool ResultFile::Fail(int error) {
  cut_ = true;
  cut_reason_ = DescribeFileError(error);
  Warn("writing the result file " + path_ + " failed (" + cut_reason_ +
       "): the result is cut here and the job will end as an error; the command goes on");
  return false;
}

std::vector<ResultFile::Span> ResultFile::TailInOrder() const {
  if (tail_filled_ < kResultTailBytes) return {{0, tail_filled_}};
  return {{tail_at_, kResultTailBytes - tail_at_}, {0, tail_at_}};
}

// The file again: `header`, the first `head_bytes` of the output written
// into the file during the run, then, when there is a tail, `gap` and the
// tail without its first `tail_skip` bytes. False, the file left as it was,
// when any step failed.
bool ResultFile::Rewrite(const std::string& header, std::size_t head_bytes, const std::string& gap,
                         std::uint64_t tail_skip) {
  const std::string partial = path_ + ".partial";
  bool whole = false;
  {
    std::optional<PrivateFile> copy = PrivateFile::Create(partial, nullptr);
    std::ifstream in(PathOf(path_), std::ios::binary);
    whole =
        copy && in && copy->Append(header) == 0 && CopyRange(in, output_offset_, head_bytes, *copy);
    if (whole && tail_filled_ > 0) {
      std::ifstream tail(PathOf(tail_path_), std::ios::binary);
      whole = tail && copy->Append(gap) == 0;
      for (const Span& span : TailInOrder()) {
        const std::uint64_t skip = std::min(tail_skip, span.length);
        tail_skip -= skip;
        whole = whole && CopyRange(tail, span.offset + skip, span.length - skip, *copy);
      }
    }
  }
  if (whole && RenameFile(partial, path_)) return true;
  std::error_code ignored;
  std::filesystem::remove(PathOf(partial), ignored);
  return false;
}

// Where the file could not be written again: the tail in order, then `end`,
// after what the run wrote.
void ResultFile::AppendTailAndEnd(const std::string& end) {
  if (tail_filled_ > 0) {
    std::optional<PrivateFile> out = PrivateFile::OpenToAppend(path_, nullptr);
    std::ifstream tail(PathOf(tail_path_), std::ios::binary);
    bool whole = out && tail;
    for (const Span& span : TailInOrder())
      whole = whole && CopyRange(tail, span.offset, span.length, *out);
    if (whole && out->Append("\n" + end + "\n") == 0) return;
  }
  AppendToFile(path_, "\n" + end + "\n");
}

}  // namespace activator
