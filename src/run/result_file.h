// The job's result file: what "Exibir Resultado" opens after the run.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "run/plain_text_filter.h"

namespace activator {

// How much of the output a result keeps. A text editor loads a file whole,
// and a command may print gigabytes; its start says what it set out to do and
// its end how it went, so those are kept and what lay between is only
// counted. Together a few megabytes: any editor opens that at once, and it is
// far more than a reader scrolls through.
inline constexpr std::size_t kResultHeadBytes = 4 << 20;
inline constexpr std::size_t kResultTailBytes = 4 << 20;

// A header saying what ran and how it ended, then the command's output as
// text for an editor, its middle left out when there is more than the bounds
// above. A write that fails is said once on standard error; the result is
// then marked cut and the job ends as an error.
class ResultFile {
 public:
  // Creates the file with the header of a run still going. False, said on
  // standard error, when it cannot be written: the run goes on without it.
  bool Open(const std::string& path, const std::vector<std::string>& command,
            std::chrono::system_clock::time_point started);

  // The command's output, as text (see PlainTextFilter).
  bool Write(std::string_view bytes);

  // Fills in how the run ended: the file is written again whole with the end
  // in its header, under another name first and then renamed over the one
  // written during the run, so that at every moment one or the other is there
  // whole. Where that cannot be done (a full disk; on Windows, an editor that
  // holds the file open) the rest of the output and the end go at the file's
  // end instead.
  void Finish(std::chrono::system_clock::time_point ended, std::chrono::steady_clock::duration took,
              int status, int signal);

  // Removes the file: a job the activator never heard of has no result.
  void Discard();

  bool is_open() const { return file_.has_value(); }
  bool cut() const { return cut_; }

 private:
  // Bytes of a file to copy: `length` from `offset`.
  struct Span {
    std::uint64_t offset;
    std::uint64_t length;
  };

  bool WriteText(std::string_view text);
  bool WriteTail(std::string_view text);
  bool Fail(int error);
  // The tail's spans in the order the output came.
  std::vector<Span> TailInOrder() const;
  bool Rewrite(const std::string& header, std::size_t head_bytes, const std::string& gap,
               std::uint64_t tail_skip);
  void AppendTailAndEnd(const std::string& end);

  std::string path_;
  std::optional<PrivateFile> file_;
  std::string head_;  // what ran and when it started
  std::size_t output_offset_ = 0;
  std::size_t written_ = 0;  // of the output, as text, into the file itself
  char last_written_ = '\n';
  // Once the head is full: the last kResultTailBytes of the output, beside
  // the result and written round, `tail_at_` the next byte's place.
  std::string tail_path_;
  std::optional<PrivateFile> tail_file_;
  std::size_t tail_at_ = 0;
  std::size_t tail_filled_ = 0;
  std::uint64_t total_ = 0;  // of the output, as text
  PlainTextFilter text_;
  std::string text_buffer_;  // of one Write, kept for its room
  bool cut_ = false;
  std::string cut_reason_;
};

}  // namespace activator
