// The job's result file: what "Exibir Resultado" opens after the run.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "run/plain_text_filter.h"

namespace activator {

// A header saying what ran and how it ended, then the command's output as
// text for an editor. A write that fails is said once on standard error; the
// result is then marked cut and the job ends as an error.
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
  // holds the file open) the end goes at the file's end instead.
  void Finish(std::chrono::system_clock::time_point ended, std::chrono::steady_clock::duration took,
              int status, int signal);

  // Removes the file: a job the activator never heard of has no result.
  void Discard();

  bool is_open() const { return file_.has_value(); }
  bool cut() const { return cut_; }

 private:
  bool WriteText(std::string_view bytes);
  bool Rewrite(const std::string& header, std::size_t output);

  std::string path_;
  std::optional<PrivateFile> file_;
  std::string head_;  // what ran and when it started
  std::size_t output_offset_ = 0;
  std::size_t written_ = 0;  // of the output, as text
  PlainTextFilter text_;
  bool cut_ = false;
  std::string cut_reason_;
};

}  // namespace activator
