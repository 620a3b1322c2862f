#include "run/result_file.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "run/run_warning.h"

namespace activator {

namespace {

std::string WallClock(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  char text[64] = "";
  if (const std::tm* local = std::localtime(&seconds))
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", local);
  return text;
}

// The command as a shell would take it back: plain words as they are, others
// in single quotes.
std::string QuotedCommand(const std::vector<std::string>& command) {
  std::string line;
  for (const std::string& arg : command) {
    if (!line.empty()) line += ' ';
    const bool plain = !arg.empty() && arg.find_first_not_of(
                                           "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                           "0123456789-_./=:,+@%") == std::string::npos;
    if (plain) {
      line += arg;
      continue;
    }
    line += '\'';
    for (char c : arg) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += '\'';
  }
  return line;
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

bool ResultFile::Write(std::string_view bytes) { return WriteText(text_.Feed(bytes)); }

void ResultFile::Finish(std::chrono::system_clock::time_point ended,
                        std::chrono::steady_clock::duration took, int status, int signal) {
  if (!file_) return;
  WriteText(text_.Finish());
  file_.reset();
  char duration[64];
  std::snprintf(duration, sizeof duration, "%.3f s", std::chrono::duration<double>(took).count());
  std::string end = "ended:    " + WallClock(ended) + "\nduration: " + duration +
                    "\nstatus:   " + std::to_string(status);
  if (signal != 0) end += " (ended by signal " + std::to_string(signal) + ")";
  std::size_t output = written_;
  if (cut_) {
    // A result cut by a limit on the file's size is kept within the size
    // it reached, so that the copy fits where the first one did.
    auto cut_line = [&](std::size_t bytes) {
      return "\nresult:   cut after " + std::to_string(bytes) + " bytes (" + cut_reason_ + ")";
    };
    const std::size_t header = head_.size() + end.size() + cut_line(written_).size() + 2;
    const std::size_t room = output_offset_ + written_;
    output = room > header ? std::min(written_, room - header) : 0;
    end += cut_line(output);
  }
  if (!Rewrite(head_ + end + "\n\n", output)) AppendToFile(path_, "\n" + end + "\n");
}

void ResultFile::Discard() {
  file_.reset();
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

bool ResultFile::WriteText(std::string_view bytes) {
  if (!file_ || cut_) return false;
  if (bytes.empty()) return true;
  if (const int error = file_->Append(bytes); error != 0) {
    cut_ = true;
    cut_reason_ = DescribeFileError(error);
    Warn("writing the result file " + path_ + " failed (" + cut_reason_ +
         "): the result is cut here and the job will end as an error; the command goes on");
    return false;
  }
  written_ += bytes.size();
  return true;
}

// The file again, `header` first, then the first `output` bytes of the
// output written during the run. False, the file left as it was, when any
// step failed.
bool ResultFile::Rewrite(const std::string& header, std::size_t output) {
  const std::string partial = path_ + ".partial";
  bool whole = false;
  {
    std::optional<PrivateFile> copy = PrivateFile::Create(partial, nullptr);
    std::ifstream in(path_, std::ios::binary);
    if (copy && in && in.seekg(static_cast<std::streamoff>(output_offset_)) &&
        copy->Append(header) == 0) {
      std::string buffer(64 * 1024, '\0');
      whole = true;
      for (std::size_t left = output; whole && left > 0;) {
        in.read(buffer.data(), static_cast<std::streamsize>(std::min(left, buffer.size())));
        const auto got = static_cast<std::size_t>(in.gcount());
        whole = got > 0 && copy->Append(std::string_view(buffer.data(), got)) == 0;
        left -= got;
      }
    }
  }
  if (whole && RenameFile(partial, path_)) return true;
  std::error_code ignored;
  std::filesystem::remove(partial, ignored);
  return false;
}

}  // namespace activator
