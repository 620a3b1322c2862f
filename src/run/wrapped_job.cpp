#include "run/wrapped_job.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/build_constants.h"
#include "base/mutex.h"
#include "jobs/job_message.h"
#include "jobs/job_protocol.h"
#include "jobs/job_registry.h"
#include "platform/child_process.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/pipes.h"
#include "platform/threads.h"

namespace activator {

namespace {

using Clock = std::chrono::steady_clock;

// After "abortar" the command gets this long to end on its own before it and
// everything it started are ended by force.
constexpr std::chrono::seconds kForceStopDelay{3};
constexpr std::chrono::seconds kEventWait{5};
// A job pipe whose backlog is full is tried again for this long: longer than
// the activator gives a silent client before it drops it, so that one such
// client does not cost a run its notifications.
constexpr std::chrono::seconds kBusyPipeLimit = kJobMessageWait + std::chrono::seconds(3);
constexpr std::chrono::milliseconds kBusyPipePause{20};
// A terminal's string sequence (a window title) longer than this is taken
// for text that merely held an ESC ], and the text after it is kept again.
constexpr std::size_t kLongestTerminalString = 4096;
// How long more of an event may take after its last byte (the activator writes
// it in one piece and closes, which ends the read at once).
constexpr std::chrono::milliseconds kEventPause{50};
// A reply pipe that stopped serving (its socket file deleted, a broken pipe
// instance) is made again under the same name after this pause.
constexpr std::chrono::seconds kReplyPipeRemakePause{1};
// Each progress message is a connection the activator serves in turn with
// every other worker's; it shows at most four values a second anyway.
constexpr std::chrono::milliseconds kProgressInterval{100};
// Of a line of output, only its end can hold the progress.
constexpr std::size_t kProgressLineTail = 32;

void Warn(const std::string& line) { std::fprintf(stderr, "activator-run: %s\n", line.c_str()); }

JobMessage Message(std::string_view action, const std::string& job_id, std::string_view job_state) {
  JobMessage message;
  message.action = action;
  message.job_id = job_id;
  message.job_state = job_state;
  return message;
}

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

// The job pipe, as the worker side writes it. The first failure is the
// user's one warning; after it the run goes on without the activator.
class JobPipe {
 public:
  bool Send(const std::string& message) {
    if (!reachable_) return false;
    PipeSendResult sent = WriteMessageToPipe(kJobPipeName, message);
    // A full backlog is a busy activator, not a missing one.
    const Clock::time_point give_up = Clock::now() + kBusyPipeLimit;
    bool busy = false;
    while (sent.status == PipeSendStatus::kOpenFailed && PipeWasBusy(sent.error) &&
           Clock::now() < give_up) {
      busy = true;
      std::this_thread::sleep_for(kBusyPipePause);
      sent = WriteMessageToPipe(kJobPipeName, message);
    }
    if (sent.status == PipeSendStatus::kSent) return true;
    reachable_ = false;
    const std::string where = PipeLocation(kJobPipeName);
    if (sent.status == PipeSendStatus::kOpenFailed && busy && PipeWasBusy(sent.error)) {
      Warn("the activator at " + where + " stayed busy for " +
           std::to_string(kBusyPipeLimit.count()) + " s; the command runs without notifications");
    } else if (sent.status == PipeSendStatus::kOtherUser) {
      // The pipe's name is the machine's: another user's program may hold it,
      // and this user's job must not reach it.
      Warn("the job pipe " + where +
           " is served by another user's program; nothing was sent to it, and the command runs "
           "without notifications");
    } else if (sent.status == PipeSendStatus::kOpenFailed) {
      Warn("no activator at " + where + " (error " + std::to_string(sent.error) +
           "); the command runs without notifications; start one with: " + ActivatorStartHint());
    } else {
      Warn("the activator at " + where +
           " did not take the message; the command runs without notifications");
    }
    return false;
  }

 private:
  bool reachable_ = true;
};

// Writes the result index: its first line names the result file. Written
// whole under another name first, so the activator never reads half of it.
bool WriteResultIndex(const std::string& index_path, const std::string& result_path) {
  const std::string partial = index_path + ".partial";
  {
    std::optional<PrivateFile> out = PrivateFile::Create(partial, nullptr);
    if (!out || out->Append(result_path + "\n") != 0) return false;
  }
  std::error_code error;
  std::filesystem::rename(partial, index_path, error);
  return !error;
}

// Removes results of earlier runs last written more than `keep_days` ago,
// with the index files that name them, and index files as old that name a
// result of this folder that is gone. Index files of other workers stay.
void PruneOldResults(const std::filesystem::path& folder, double keep_days) {
  namespace fs = std::filesystem;
  if (keep_days <= 0) return;
  const auto limit = fs::file_time_type::clock::now() -
                     std::chrono::duration_cast<fs::file_time_type::duration>(
                         std::chrono::duration<double, std::ratio<86400>>(keep_days));
  const std::string result_stem = fs::path(kRunResultsPrefix).filename().string();
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    const fs::path path = it->path();
    const std::string name = path.filename().string();
    if (!it->is_regular_file(ignored) || name.rfind(result_stem, 0) != 0 ||
        !name.ends_with(".txt") || it->last_write_time(ignored) >= limit)
      continue;
    const std::string job_id =
        name.substr(result_stem.size(), name.size() - result_stem.size() - 4);
    const std::string index = std::string(kResultsPrefix) + job_id + ".path";
    std::string first_line;
    if (std::ifstream in(index, std::ios::binary);
        in && std::getline(in, first_line) && first_line == path.string())
      fs::remove(index, ignored);
    fs::remove(path, ignored);
  }
  const fs::path index_folder = fs::path(kResultsPrefix).parent_path();
  const std::string index_stem = fs::path(kResultsPrefix).filename().string();
  const std::string ours = (folder / result_stem).string();
  for (fs::directory_iterator it(index_folder, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    const std::string name = it->path().filename().string();
    if (!it->is_regular_file(ignored) || name.rfind(index_stem, 0) != 0 ||
        !name.ends_with(".path") || it->last_write_time(ignored) >= limit)
      continue;
    std::string first_line;
    if (std::ifstream in(it->path(), std::ios::binary); in && std::getline(in, first_line) &&
                                                        first_line.rfind(ours, 0) == 0 &&
                                                        !fs::exists(first_line, ignored))
      fs::remove(it->path(), ignored);
  }
}

// Terminal output as text for an editor: colour, cursor and title sequences
// left out, CR LF made LF. Fed in pieces as they come; a sequence or a CR LF
// may be split between two.
class PlainText {
 public:
  std::string Feed(std::string_view bytes) {
    std::string text;
    for (char c : bytes) Step(static_cast<unsigned char>(c), text);
    return text;
  }
  // What was held back: a CR at the very end.
  std::string Finish() {
    std::string text = state_ == State::kText && carriage_return_ ? "\r" : "";
    carriage_return_ = false;
    state_ = State::kText;
    return text;
  }

 private:
  // kControl: after ESC [; kString: after ESC ], P, X, ^ or _, until BEL or
  // ESC \.
  enum class State { kText, kEscape, kControl, kString, kStringEscape };

  void Step(unsigned char c, std::string& text) {
    switch (state_) {
      case State::kText:
        if (carriage_return_) {
          carriage_return_ = false;
          if (c != '\n') text += '\r';
        }
        if (c == 0x1b)
          state_ = State::kEscape;
        else if (c == '\r')
          carriage_return_ = true;
        else
          text += static_cast<char>(c);
        return;
      case State::kEscape:
        if (c == '[') {
          state_ = State::kControl;
        } else if (c == ']' || c == 'P' || c == 'X' || c == '^' || c == '_') {
          state_ = State::kString;
          string_bytes_ = 0;
        } else if (c < 0x20) {
          state_ = State::kText;  // not a sequence after all
          Step(c, text);
        } else if (c > 0x2f) {
          state_ = State::kText;  // its final byte; 0x20-0x2f come before one
        }
        return;
      case State::kControl:
        if (c >= 0x40 && c <= 0x7e) {
          state_ = State::kText;
        } else if (c < 0x20 || c > 0x7e) {
          state_ = State::kText;
          Step(c, text);
        }
        return;
      case State::kString:
      case State::kStringEscape:
        if (c == 0x07 || (state_ == State::kStringEscape && c == '\\') ||
            ++string_bytes_ > kLongestTerminalString)
          state_ = State::kText;
        else
          state_ = c == 0x1b ? State::kStringEscape : State::kString;
        return;
    }
  }

  State state_ = State::kText;
  bool carriage_return_ = false;
  std::size_t string_bytes_ = 0;
};

// The job's result file: a header saying what ran and how it ended, then the
// command's output. A write that fails is said once on standard error; the
// result is then marked cut and the job ends as an error.
class ResultFile {
 public:
  bool Open(const std::string& path, const std::vector<std::string>& command,
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

  // The command's output, as text (see PlainText).
  bool Write(std::string_view bytes) { return WriteText(text_.Feed(bytes)); }

  // Fills in how the run ended: the file is written again whole with the end
  // in its header, under another name first and then renamed over the one
  // written during the run, so that at every moment one or the other is there
  // whole. Where that cannot be done (a full disk; on Windows, an editor that
  // holds the file open) the end goes at the file's end instead.
  void Finish(std::chrono::system_clock::time_point ended, Clock::duration took, int status,
              int signal) {
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

  void Discard() {
    file_.reset();
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }

  bool is_open() const { return file_.has_value(); }
  bool cut() const { return cut_; }

 private:
  bool WriteText(std::string_view bytes) {
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
  bool Rewrite(const std::string& header, std::size_t output) {
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

  std::string path_;
  std::optional<PrivateFile> file_;
  std::string head_;  // what ran and when it started
  std::size_t output_offset_ = 0;
  std::size_t written_ = 0;  // of the output, as text
  PlainText text_;
  bool cut_ = false;
  std::string cut_reason_;
};

// What the activator hears of the job, from whichever thread: the
// announcement (once the command has run long enough), its progress and the
// final state, in that order, and the rest only after an announcement.
class Announcer {
 public:
  // `progress`: whether the job has a progress bar, from 0 % on.
  Announcer(std::string job_id, std::string reply_pipe, bool reused_id, std::string index_path,
            std::string result_path, std::string description, bool progress)
      : job_id_(std::move(job_id)),
        reply_pipe_(std::move(reply_pipe)),
        reused_id_(reused_id),
        index_path_(std::move(index_path)),
        result_path_(std::move(result_path)),
        description_(std::move(description)) {
    if (progress) progress_ = 0;
  }

  void Announce(bool with_result) EXCLUDES(lock_) {
    MutexLock hold(lock_);
    if (phase_ != Phase::kWaiting) return;
    phase_ = Phase::kSilent;
    // The activator keeps what it knew of a job announced again (a failed
    // run's final form, with no abortar), and shows the in-progress form only
    // as its queue takes the announcement, with the state the job has then.
    // So the state is set first: an update after the announcement could come
    // after the queue had read the old state, and would never be shown.
    if (reused_id_ &&
        !pipe_.Send(FormatJobMessage(Message(kActionUpdate.text(), job_id_, kStateRunning.text()))))
      return;
    JobMessage announcement = Message(kActionAnnounce.text(), job_id_, kStateRunning.text());
    announcement.reply_pipe = reply_pipe_;
    announcement.description = description_;
    announcement.progress = progress_;  // what the output said while the job waited
    announcement.wants_queue_notice = true;
    if (!pipe_.Send(FormatJobMessage(announcement))) return;
    phase_ = Phase::kAnnounced;
    // Only for a job the activator knows, and before its end is sent, since
    // only a click on its end reads the index.
    if (with_result && !WriteResultIndex(index_path_, result_path_))
      Warn("cannot write the result index " + index_path_ + "; Exibir Resultado will open nothing");
  }

  // The command's output reached `percent`. Sent only while the job runs, and
  // only when it changed; before the announcement it is kept for it.
  void Progress(int percent) EXCLUDES(lock_) {
    MutexLock hold(lock_);
    if (phase_ == Phase::kWaiting) progress_ = percent;
    if (phase_ != Phase::kAnnounced || progress_ == percent) return;
    progress_ = percent;
    JobMessage update = Message(kActionUpdate.text(), job_id_, kStateRunning.text());
    update.progress = percent;
    pipe_.Send(FormatJobMessage(update));
  }

  // True when the job was announced, and so its final state sent, with
  // `description` saying how it ended.
  bool End(std::string_view state, const std::string& description) EXCLUDES(lock_) {
    MutexLock hold(lock_);
    const bool announced = phase_ == Phase::kAnnounced;
    phase_ = Phase::kEnded;
    if (announced) {
      JobMessage end = Message(kActionUpdate.text(), job_id_, state);
      end.description = description;
      pipe_.Send(FormatJobMessage(end));
    }
    return announced;
  }

 private:
  enum class Phase { kWaiting, kSilent, kAnnounced, kEnded };
  const std::string job_id_;
  const std::string reply_pipe_;
  const bool reused_id_;
  const std::string index_path_;
  const std::string result_path_;
  const std::string description_;
  Mutex lock_;
  Phase phase_ GUARDED_BY(lock_) = Phase::kWaiting;
  JobPipe pipe_ GUARDED_BY(lock_);
  // The last value sent (or to be announced); none without a progress bar.
  std::optional<int> progress_ GUARDED_BY(lock_);
};

// The percentage a line of output ends in ("40%", "40 %", "12.5%" as 12, and
// blanks after it), or none: a number that ends a word ("x2%") or lies
// outside 0..100 is not a progress.
std::optional<int> ProgressAtLineEnd(std::string_view line) {
  auto digit = [&](std::size_t at) { return line[at] >= '0' && line[at] <= '9'; };
  std::size_t end = line.find_last_not_of(" \t");
  if (end == std::string_view::npos || line[end] != '%') return std::nullopt;
  if (end > 0 && line[end - 1] == ' ') --end;
  std::size_t start = end;
  while (start > 0 && digit(start - 1)) --start;
  if (start == end) return std::nullopt;
  if (start >= 2 && (line[start - 1] == '.' || line[start - 1] == ',') && digit(start - 2)) {
    end = start - 1;  // the fraction is dropped
    start = end;
    while (start > 0 && digit(start - 1)) --start;
  }
  if (start > 0) {
    const unsigned char before = static_cast<unsigned char>(line[start - 1]);
    if (std::isalnum(before)) return std::nullopt;
  }
  if (end - start > 3) return std::nullopt;
  const int percent = std::stoi(std::string(line.substr(start, end - start)));
  if (percent > 100) return std::nullopt;
  return percent;
}

// Reads progress out of one stream of the command's output, as a terminal
// shows it: a line ends at LF or at CR (a bar redrawn in place), and colour
// and cursor sequences are left out. Only a copy is read; the output itself
// goes on unchanged.
class ProgressReader {
 public:
  // The last progress `bytes` show, if any. The line still being written
  // counts too: a bar redrawn after a CR is complete long before the next CR
  // comes.
  std::optional<int> Feed(std::string_view bytes) {
    std::optional<int> found;
    for (char c : text_.Feed(bytes)) {
      if (c == '\n' || c == '\r') {
        if (std::optional<int> percent = ProgressAtLineEnd(line_)) found = percent;
        line_.clear();
        continue;
      }
      line_ += c;
      if (line_.size() > 2 * kProgressLineTail) line_.erase(0, line_.size() - kProgressLineTail);
    }
    if (std::optional<int> percent = ProgressAtLineEnd(line_)) found = percent;
    return found;
  }

 private:
  PlainText text_;
  std::string line_;  // the end of the line being written
};

// Hands progress from the output's reader to the job pipe on a thread of its
// own: a busy activator must never hold back the command's output. At most
// one message per kProgressInterval; the latest value always goes out, the
// ones it replaced in between never do, nor one the job already shows.
class ProgressSender {
 public:
  explicit ProgressSender(std::shared_ptr<Announcer> announcer)
      : announcer_(std::move(announcer)) {}

  void Report(int percent) EXCLUDES(lock_) {
    MutexLock hold(lock_);
    latest_ = percent;
    changed_.notify_one();
  }

  // Nothing more is sent; the thread ends.
  void Stop() EXCLUDES(lock_) {
    MutexLock hold(lock_);
    stopped_ = true;
    changed_.notify_one();
  }

  // The thread's body.
  void Serve() EXCLUDES(lock_) {
    for (;;) {
      int percent = 0;
      {
        MutexLock hold(lock_);
        while (!HasWork()) lock_.Wait(changed_);
        if (stopped_) return;
        percent = *latest_;
        latest_.reset();
      }
      announcer_->Progress(percent);
      std::this_thread::sleep_for(kProgressInterval);
    }
  }

 private:
  bool HasWork() const REQUIRES(lock_) { return stopped_ || latest_.has_value(); }

  const std::shared_ptr<Announcer> announcer_;
  Mutex lock_;
  std::condition_variable changed_;
  std::optional<int> latest_ GUARDED_BY(lock_);
  bool stopped_ GUARDED_BY(lock_) = false;
};

// When "abortar" was clicked, for the main thread to finish the stop.
struct AbortState {
  std::atomic<bool> requested{false};
  std::atomic<Clock::rep> at{0};
};

// Serves the reply pipe for the life of the run: a click on "abortar" of this
// job asks the command to end, and ends it by force if it has not after
// kForceStopDelay; the first word that the job waits in the activator's queue
// is told the user, who would otherwise see no notification and not know why.
// Anything else is not for the wrapper to act on. The announcement named the
// pipe, so a listener that fails is made again under that name: "abortar"
// must still reach the command.
void ServeReplyPipe(std::optional<PipeServerInstance>& listener, const std::string& name,
                    const std::shared_ptr<ChildProcess>& child, const std::string& job_id,
                    AbortState& abort) {
  bool queue_told = false;
  for (;;) {
    if (!listener) {
      std::this_thread::sleep_for(kReplyPipeRemakePause);
      PipeErrorCode error = 0;
      listener = PipeServerInstance::Create(name, &error);
      if (!listener) continue;
    }
    if (!listener->WaitForClient()) {
      listener.reset();
      continue;
    }
    // The activator writes its event at once; a client that does not is
    // none of ours.
    const PipeReadResult read = listener->ReadMessage(kMaxJobMessageBytes, kEventWait, kEventPause);
    if (read.status != PipeReadStatus::kRead) continue;
    const ParsedJobMessage event = ParseJobMessage(JobMessageFromBytes(read.bytes));
    if (event.problem != JobMessageProblem::kNone || event.message.job_id != job_id) continue;
    if (event.message.action == kEventQueued.text() && event.message.queue_position &&
        !queue_told) {
      queue_told = true;
      Warn("the notification waits in a queue (position " +
           std::to_string(*event.message.queue_position) +
           "): " + std::to_string(JobRegistry::kDisplayLimit) +
           " notifications are open; close some to make room");
      continue;
    }
    if (event.message.action != kButtonAbort.text()) continue;
    Warn("abortar clicked: ending the command");
    abort.at.store(Clock::now().time_since_epoch().count());
    abort.requested.store(true);
    child->RequestStop();
    std::this_thread::sleep_for(kForceStopDelay);
    child->ForceStop();
  }
}

// After an abort the command may end before what it started has: those get
// what is left of kForceStopDelay, then are ended by force, before the
// wrapper leaves.
void FinishAbort(ChildProcess& child, const AbortState& abort) {
  if (!abort.requested.load()) return;
  const Clock::time_point deadline =
      Clock::time_point(Clock::duration(abort.at.load())) + kForceStopDelay;
  while (child.LeftProcessesBehind() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (child.LeftProcessesBehind()) child.ForceStop();
}

}  // namespace

int RunWrappedJob(const RunOptions& options, int* ending_signal) {
  *ending_signal = 0;
  const auto started_wall = std::chrono::system_clock::now();
  const Clock::time_point started = Clock::now();
  const std::string job_id =
      !options.job_id.empty()
          ? options.job_id
          : MakeJobId(
                options.command[0],
                std::chrono::duration_cast<std::chrono::seconds>(started_wall.time_since_epoch())
                    .count(),
                CurrentProcessId());

  // The result file, for "Exibir Resultado" after the run, in a folder of
  // the user's alone, where results of long ago are cleared away.
  const std::string result_path = std::string(kRunResultsPrefix) + job_id + ".txt";
  const std::filesystem::path result_folder = std::filesystem::path(result_path).parent_path();
  int folder_error = 0;
  const bool have_folder = MakeOwnerOnlyFolder(result_folder.string(), &folder_error);
  // An id given twice at once would have one run's end shown as the other's
  // and their output mixed in one file: the second is refused. (A made-up id
  // is never shared by two live runs.) The lock goes with this process.
  if (!options.job_id.empty() && have_folder &&
      TryTakeInstanceLock(LockNameForFile(std::string(kRunResultsPrefix) + job_id + ".lock"))
              .status == InstanceLockStatus::kHeld) {
    Warn("the job id " + job_id +
         " is in use by another activator-run still running; give this run another --id");
    return 2;
  }

  // The reply pipe listens before the announcement names it.
  std::string reply_pipe = MakePrivatePipeName("reply");
  std::optional<PipeServerInstance> listener;
  if (!reply_pipe.empty()) {
    PipeErrorCode error = 0;
    listener = PipeServerInstance::Create(reply_pipe, &error);
  }
  if (!listener) {
    RemovePrivatePipe(reply_pipe);
    reply_pipe.clear();
  }

  ResultFile result;
  if (have_folder) {
    PruneOldResults(result_folder, options.keep_days);
    result.Open(result_path, options.command, started_wall);
  } else {
    Warn("cannot make the results folder " + result_folder.string() + " (" +
         DescribeFileError(folder_error) + "); the output goes to the terminal only");
  }

  // What ran, as the line under the notification's title; at the end, how it
  // ended and how long it took.
  std::string what = options.description.value_or("");
  if (!options.description) {
    for (const std::string& word : options.command) what += (what.empty() ? "" : " ") + word;
  }
  auto final_description = [&what, started](int status, int signal, bool cut) {
    const std::string end = DescribeRunEnd(
        status, signal, cut, std::chrono::duration<double>(Clock::now() - started).count());
    return JobDescription(what, what.empty() ? end : ": " + end);
  };
  auto announcer = std::make_shared<Announcer>(job_id, reply_pipe, !options.job_id.empty(),
                                               std::string(kResultsPrefix) + job_id + ".path",
                                               result_path, JobDescription(what), options.progress);
  const bool result_kept = result.is_open();
  if (options.after_seconds <= 0) announcer->Announce(result_kept);

  ChildStartFailure failure;
  std::optional<ChildProcess> started_child = ChildProcess::Start(options.command, &failure);
  if (!started_child) {
    Warn(failure.message);
    result.Write("activator-run: " + failure.message + "\n");
    result.Finish(std::chrono::system_clock::now(), Clock::now() - started, failure.status, 0);
    if (!announcer->End(kStateError.text(), final_description(failure.status, 0, false)))
      result.Discard();
    RemovePrivatePipe(reply_pipe);
    return failure.status;
  }
  // Shared with the reply pipe's thread, which outlives this call.
  auto child = std::make_shared<ChildProcess>(std::move(*started_child));
  auto abort = std::make_shared<AbortState>();
  child->ForwardInterrupts();
  if (listener) {
    // Shared: a std::function must be copyable, the listener is not.
    auto served = std::make_shared<std::optional<PipeServerInstance>>(std::move(listener));
    if (!StartProcessThread([served, reply_pipe, child, job_id, abort] {
          ServeReplyPipe(*served, reply_pipe, child, job_id, *abort);
        }))
      Warn("no thread for the reply pipe: abortar will not reach the command");
  }
  if (options.after_seconds > 0) {
    const auto wait = std::chrono::duration<double>(options.after_seconds);
    if (!StartProcessThread([announcer, wait, result_kept] {
          std::this_thread::sleep_for(wait);
          announcer->Announce(result_kept);
        }))
      announcer->Announce(result_kept);
  }

  std::shared_ptr<ProgressSender> progress;
  if (options.progress) {
    progress = std::make_shared<ProgressSender>(announcer);
    if (!StartProcessThread([progress] { progress->Serve(); })) {
      Warn("no thread for the progress: the notification shows none");
      progress.reset();
    }
  }
  ProgressReader progress_in[2];

  bool terminal_gone[2] = {false, false};
  child->PumpOutput([&](OutputStream stream, std::string_view bytes) {
    const int which = stream == OutputStream::kStandardOutput ? 0 : 1;
    std::FILE* terminal = which == 0 ? stdout : stderr;
    result.Write(bytes);
    if (progress) {
      if (const std::optional<int> percent = progress_in[which].Feed(bytes))
        progress->Report(*percent);
    }
    if (terminal_gone[which]) return false;
    // A reader that went away (`| head`) is not the end of the run: the
    // command hears of it as it would have without the wrapper, by a failed
    // write of its own, and the run goes on to its end.
    if (std::fwrite(bytes.data(), 1, bytes.size(), terminal) != bytes.size() ||
        std::fflush(terminal) != 0) {
      terminal_gone[which] = true;
      return false;
    }
    return true;
  });
  const int status = child->Wait();
  *ending_signal = child->EndingSignal();
  result.Finish(std::chrono::system_clock::now(), Clock::now() - started, status, *ending_signal);

  if (progress) progress->Stop();
  const bool announced =
      announcer->End(status == 0 && !result.cut() ? kStateConcluded.text() : kStateError.text(),
                     final_description(status, *ending_signal, result.cut()));
  if (!announced) result.Discard();
  FinishAbort(*child, *abort);
  // From here a click finds no worker, and the activator opens the result.
  RemovePrivatePipe(reply_pipe);
  return status;
}

}  // namespace activator
