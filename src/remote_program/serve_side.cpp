#include "remote_program/serve_side.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "base/build_constants.h"
#include "base/mutex.h"
#include "base/percent_encoding.h"
#include "jobs/job_message.h"
#include "jobs/job_protocol.h"
#include "platform/byte_link.h"
#include "platform/child_process.h"
#include "platform/files.h"
#include "platform/pipes.h"
#include "platform/threads.h"
#include "remote/link_frames.h"
#include "remote/spool.h"

namespace activator::remote {

namespace {

constexpr std::chrono::milliseconds kJobMessagePause{50};
constexpr std::chrono::milliseconds kEventWriteLimit{3000};
constexpr std::size_t kJobsPerBatch = 256;
// Jobs whose reply pipes are remembered, many times what a desktop shows and
// queues; the oldest go first.
constexpr std::size_t kMaxRememberedJobs = 4096;
constexpr std::size_t kMaxJobsFileBytes = 4u << 20;

void Say(const std::string& line) {
  std::fprintf(stderr, "activator-remote --serve: %s\n", line.c_str());
  std::fflush(stderr);
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string HostName() {
  const FileReadResult read = ReadFileStart("/proc/sys/kernel/hostname", kMaxFrameNameBytes);
  std::string name = read.bytes;
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
  return name;
}

// One desktop's link, through one --serve session.
class Session {
 public:
  explicit Session(LocalLink link) : link_(std::move(link)) {}

  // Frames go out whole, from whichever thread made them.
  bool Send(const Frame& frame) EXCLUDES(out_lock_) {
    MutexLock hold(out_lock_);
    if (broken_) return false;
    if (!link_.Write(EncodeFrame(frame))) broken_ = true;
    return !broken_;
  }

  LinkRead Read(std::string& bytes, std::chrono::milliseconds wait) {
    return link_.Read(bytes, wait);
  }

  void End() {
    ended.store(true);
    link_.Shut();
  }

  std::atomic<bool> ended{false};

 private:
  LocalLink link_;
  Mutex out_lock_;
  bool broken_ GUARDED_BY(out_lock_) = false;
};

// Everything the keeper's threads share, from one link to the next.
class ServeState {
 public:
  // A job of this server's workers, with the reply pipe its messages named
  // last (empty: none yet); only such a job has events and results here.
  void NoteJob(const std::string& job_id, const std::string& pipe) EXCLUDES(jobs_lock_) {
    MutexLock hold(jobs_lock_);
    auto [it, fresh] = jobs_.try_emplace(job_id, pipe);
    const bool changed = fresh || (!pipe.empty() && it->second != pipe);
    if (!fresh && !pipe.empty()) it->second = pipe;
    if (fresh) order_.push_back(job_id);
    while (order_.size() > kMaxRememberedJobs) {
      jobs_.erase(order_.front());
      order_.pop_front();
    }
    // Kept on disk, so that a click after the link came back (a server side
    // started again) still finds the worker.
    if (changed && !jobs_file_.empty()) {
      const std::string line = PercentEncode(job_id) + " " + PercentEncode(jobs_[job_id]) + "\n";
      jobs_file_bytes_ += line.size();
      if (jobs_file_bytes_ > kMaxJobsFileBytes / 2)
        RewriteJobsFileLocked();
      else
        AppendToFile(jobs_file_, line);
    }
  }

  // Reads the jobs a server side before this one noted in `path`, and notes
  // the later ones there; the file is written afresh when it grew large.
  void KeepJobsIn(const std::string& path) EXCLUDES(jobs_lock_) {
    const FileReadResult read = ReadFileStart(path, kMaxJobsFileBytes);
    std::string_view rest = read.bytes;
    while (!rest.empty()) {
      const std::size_t end = rest.find('\n');
      if (end == std::string_view::npos) break;  // torn last line
      const std::string_view line = rest.substr(0, end);
      rest.remove_prefix(end + 1);
      const std::size_t space = line.find(' ');
      if (space == std::string_view::npos) continue;
      const std::optional<std::string> id = PercentDecode(line.substr(0, space));
      const std::optional<std::string> pipe = PercentDecode(line.substr(space + 1));
      if (id && pipe) NoteJob(*id, *pipe);
    }
    MutexLock hold(jobs_lock_);
    jobs_file_ = path;
    jobs_file_bytes_ = read.bytes.size();
    if (jobs_file_bytes_ > kMaxJobsFileBytes / 2) RewriteJobsFileLocked();
  }

  bool Knows(const std::string& job_id) EXCLUDES(jobs_lock_) {
    MutexLock hold(jobs_lock_);
    return jobs_.count(job_id) != 0;
  }

  std::optional<std::string> ReplyPipe(const std::string& job_id) EXCLUDES(jobs_lock_) {
    MutexLock hold(jobs_lock_);
    const auto it = jobs_.find(job_id);
    if (it == jobs_.end() || it->second.empty()) return std::nullopt;
    return it->second;
  }

  Spool spool;

 private:
  Mutex jobs_lock_;
  std::map<std::string, std::string> jobs_ GUARDED_BY(jobs_lock_);
  std::deque<std::string> order_ GUARDED_BY(jobs_lock_);  // oldest first
  std::string jobs_file_ GUARDED_BY(jobs_lock_);
  uint64_t jobs_file_bytes_ GUARDED_BY(jobs_lock_) = 0;

  // The jobs remembered now, and no others.
  void RewriteJobsFileLocked() REQUIRES(jobs_lock_) {
    std::string whole;
    for (const std::string& id : order_)
      whole += PercentEncode(id) + " " + PercentEncode(jobs_[id]) + "\n";
    if (ReplaceFileWhole(jobs_file_, whole)) jobs_file_bytes_ = whole.size();
  }
};

// What the job's messages say of it: its reply pipe, and that it is a job of
// this server (only those have results to fetch).
void LearnFromMessage(ServeState& state, std::string_view message) {
  std::string_view fields = message;
  DropFinalLineEnd(fields);
  const ParsedJobMessage parsed = ParseJobMessage(fields);
  if (parsed.problem != JobMessageProblem::kNone) return;
  state.NoteJob(parsed.message.job_id, parsed.message.reply_pipe);
}

// The job pipe, as the desktop's activator serves it: one message per
// connection, read until the worker closes.
void ServeJobPipe(ServeState& state, PipeServerInstance instance) {
  for (;;) {
    if (!instance.WaitForClient()) {
      PipeErrorCode error = 0;
      std::optional<PipeServerInstance> again;
      while (!(again = PipeServerInstance::Create(kJobPipeName, &error)))
        std::this_thread::sleep_for(std::chrono::seconds(1));
      instance = std::move(*again);
      continue;
    }
    const PipeReadResult read =
        instance.ReadMessage(kMaxJobMessageBytes, kJobMessageWait, kJobMessagePause);
    if (read.status == PipeReadStatus::kRead) {
      const std::string message(JobMessageFromBytes(read.bytes));
      // A message that may have been cut short and has not reached its last
      // field would record what the worker never said.
      const bool whole = read.end == PipeReadEnd::kClosed || read.end == PipeReadEnd::kFull ||
                         ParseMaybeCutJobMessage(message).problem != JobMessageProblem::kCut;
      if (whole) {
        LearnFromMessage(state, message);
        state.spool.Append(message);
      }
    }
    // Taken into the spool before the worker is let go: a worker that waits
    // for its message to be handled knows it is kept.
    instance.Disconnect();
  }
}

// Sends what the spool keeps, in order, from `after` on.
void SendSpooled(ServeState& state, Session& session, uint64_t after) {
  while (!session.ended.load()) {
    if (std::optional<SpoolLosses> lost = state.spool.TakeLosses()) {
      if (!session.Send(Dropped{lost->count, lost->oldest_seq})) break;
    }
    for (const std::string& line : state.spool.TakeReports()) Say(line);
    const std::vector<SpooledMessage> batch = state.spool.After(after, kJobsPerBatch);
    if (batch.empty()) {
      state.spool.WaitForMessageAfter(after, 500);
      continue;
    }
    for (const SpooledMessage& kept : batch) {
      if (!session.Send(JobFrame{kept.seq, kept.message})) return;
      after = kept.seq;
    }
  }
}

ResultCopy FetchCopy(ServeState& state, const FetchResult& fetch) {
  ResultCopy copy;
  copy.request = fetch.request;
  // Only a job this server's workers named, and never a name that leaves the
  // results folder: the index is <prefix><id>.path.
  if (!state.Knows(fetch.job_id) || fetch.job_id.find_first_of("/\\") != std::string::npos ||
      fetch.job_id.find('\0') != std::string::npos) {
    copy.status = ResultCopyStatus::kRefused;
    return copy;
  }
  const FileReadResult index = ReadFileStart(kResultsPrefix + fetch.job_id + ".path", 4096);
  std::string path = index.bytes.substr(0, index.bytes.find_first_of("\r\n"));
  if (index.status != FileReadStatus::kRead || path.empty()) {
    copy.status = ResultCopyStatus::kNoIndex;
    return copy;
  }
  const std::size_t slash = path.find_last_of("/\\");
  copy.name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (copy.name.size() > kMaxFrameNameBytes) copy.name.resize(kMaxFrameNameBytes);
  const FileReadResult file = ReadFileStart(path, kMaxResultCopyBytes + 1);
  if (file.status == FileReadStatus::kNotRegularFile) {
    copy.status = ResultCopyStatus::kRefused;
    return copy;
  }
  if (file.status != FileReadStatus::kRead) {
    copy.status = ResultCopyStatus::kNotFound;
    return copy;
  }
  copy.content = file.bytes;
  if (copy.content.size() > kMaxResultCopyBytes) {
    const std::string line =
        "\n\n[activator-remote: the result is longer than " +
        std::to_string(kMaxResultCopyBytes >> 20) +
        " MiB; this copy holds its start. The whole file is on the server: " + path + "]\n";
    copy.content.resize(kMaxResultCopyBytes - line.size());
    copy.content += line;
    copy.status = ResultCopyStatus::kCut;
    copy.cut = true;
  }
  return copy;
}

void Handle(ServeState& state, Session& session, const Frame& frame) {
  if (const auto* ack = std::get_if<Ack>(&frame)) {
    state.spool.Ack(ack->seq);
  } else if (const auto* event = std::get_if<Event>(&frame)) {
    bool delivered = false;
    if (const std::optional<std::string> pipe = state.ReplyPipe(event->job_id)) {
      delivered = WriteMessageToPipe(*pipe, event->message, kEventWriteLimit).status ==
                  PipeSendStatus::kSent;
    }
    session.Send(EventResult{event->request, delivered});
  } else if (const auto* fetch = std::get_if<FetchResult>(&frame)) {
    session.Send(FetchCopy(state, *fetch));
  } else if (std::holds_alternative<Ping>(frame)) {
    session.Send(Pong{});
  }
}

// Where a --serve session reaches the keeper: a socket beside the job pipe's,
// of this user alone.
std::string KeeperPipeName() { return std::string(kJobPipeName) + "_remote"; }

// A keeper with no link, and nothing a desktop has yet to acknowledge, ends
// after this long: a server a desktop stopped linking to is left with no
// process of ours, and what a later job sends then finds no job pipe, as
// before any link. Its jobs file keeps the reply pipes for the next keeper.
constexpr std::chrono::hours kKeeperIdleEnd{24};
constexpr std::chrono::seconds kKeeperIdleCheck{60};

// The keeper's first byte to a session: the link is its, or another link has
// the keeper (a second desktop linked to this server under another name).
constexpr char kSessionTaken = '+';
constexpr char kSessionRefused = '-';

// What the keeper tells the --serve that started it.
constexpr char kKeeperReady = 'R';
constexpr char kKeeperPipeTaken = 'T';
constexpr char kKeeperFailed = 'F';

void SayJobPipeTaken() {
  Say("another program serves the job pipe " + PipeLocation(kJobPipeName) +
      " on this server (this user's activator, or another activator-remote's link); it keeps "
      "it, and this link ends");
}

// One desktop's link, from its Hello to its end.
void RunSession(ServeState& state, const std::shared_ptr<Session>& session) {
  session->Send(Hello{kLinkProtocolVersion, kSideServe, HostName(), state.spool.generation()});
  FrameReader reader;
  std::vector<Frame> frames;
  std::string bytes;
  bool greeted = false;
  bool failed = false;
  while (!failed) {
    bytes.clear();
    const LinkRead read = session->Read(bytes, std::chrono::milliseconds(1000));
    if (read == LinkRead::kEnded) break;
    if (read == LinkRead::kNothing) continue;
    frames.clear();
    const FrameError problem = reader.Feed(bytes, frames);
    for (const Frame& frame : frames) {
      if (!greeted) {
        const auto* hello = std::get_if<Hello>(&frame);
        const std::string why =
            hello != nullptr ? HelloProblem(*hello, kSideDesktop) : "the first frame is no Hello";
        if (!why.empty()) {
          Say(why);
          failed = true;
          break;
        }
        greeted = true;
        if (!StartProcessThread([&state, session] { SendSpooled(state, *session, 0); })) {
          Say("cannot start a thread");
          failed = true;
          break;
        }
        continue;
      }
      Handle(state, *session, frame);
    }
    if (!failed && problem != FrameError::kNone) {
      Say(std::string("the link sent a bad frame: ") + DescribeFrameError(problem));
      failed = true;
    }
  }
  session->End();
  state.spool.Flush();
}

// The server side that outlives its links: it holds the job pipe and the
// spool between them, so that workers here are never refused while a desktop
// is away, and serves one link at a time.
int RunKeeper(const std::function<void(char)>& tell) {
  PrepareStandardLink();
  PipeErrorCode error = 0;
  std::optional<PipeServerInstance> instance = PipeServerInstance::Create(kJobPipeName, &error);
  if (!instance) {
    if (PipeServerInstance::IsNameTaken(error)) {
      tell(kKeeperPipeTaken);
      return kJobPipeTakenStatus;
    }
    Say("cannot serve the job pipe " + PipeLocation(kJobPipeName) + " (error " +
        std::to_string(error) + ")");
    tell(kKeeperFailed);
    return 1;
  }
  auto* state = new ServeState();  // the keeper's threads keep it to the end
  const std::string state_folder = FolderOf(kStateFilePath);
  if (state->spool.Open(state_folder + "/remote-spool") == Spool::Opened::kRefused)
    Say("the spool cannot be kept on disk; it is kept in memory while this keeper lasts");
  for (const std::string& line : state->spool.TakeReports()) Say(line);
  state->KeepJobsIn(state_folder + "/remote-spool/jobs.txt");
  // What the spool still holds from before names reply pipes too.
  for (const SpooledMessage& kept : state->spool.After(0, state->spool.kept()))
    LearnFromMessage(*state, kept.message);

  std::optional<LocalLinkServer> server = LocalLinkServer::Listen(KeeperPipeName());
  auto held = std::make_shared<PipeServerInstance>(std::move(*instance));
  if (!server || !StartProcessThread([state, held] { ServeJobPipe(*state, std::move(*held)); })) {
    Say("cannot serve links at " + PipeLocation(KeeperPipeName()));
    tell(kKeeperFailed);
    return 1;
  }
  Say("keeper " + std::to_string(CurrentProcessId()) + " serves the job pipe " +
      PipeLocation(kJobPipeName));
  tell(kKeeperReady);
  auto linked = std::make_shared<std::atomic<bool>>(false);
  auto last_link = std::chrono::steady_clock::now();
  for (;;) {
    std::optional<LocalLink> link = server->Accept(kKeeperIdleCheck);
    if (linked->load()) last_link = std::chrono::steady_clock::now();
    if (!link) {
      if (!linked->load() && state->spool.kept() == 0 &&
          std::chrono::steady_clock::now() - last_link > kKeeperIdleEnd) {
        Say("no link for a long time and nothing kept: this keeper ends");
        state->spool.Flush();
        return 0;
      }
      continue;
    }
    if (linked->load()) {
      link->Write(std::string(1, kSessionRefused));
      continue;
    }
    if (!link->Write(std::string(1, kSessionTaken))) continue;
    linked->store(true);
    auto session = std::make_shared<Session>(std::move(*link));
    if (!StartProcessThread([state, session, linked] {
          RunSession(*state, session);
          linked->store(false);
        })) {
      linked->store(false);
    }
  }
}

}  // namespace

int RunServeSide() {
  PrepareStandardLink();
  PrepareLabFolders();
  std::optional<LocalLink> link = LocalLink::Connect(KeeperPipeName());
  if (!link) {
    const std::string state_folder = FolderOf(kStateFilePath);
    int folder_error = 0;
    MakeOwnerOnlyFolder(state_folder, &folder_error);
    const std::string log = state_folder + "/remote-keeper.log";
    const std::optional<char> told = RunDetached(log, RunKeeper);
    // Taken: by this user's activator, or by a keeper another --serve started
    // just now.
    if (told == kKeeperReady || told == kKeeperPipeTaken)
      link = LocalLink::Connect(KeeperPipeName());
    if (!link) {
      if (told == kKeeperPipeTaken) {
        SayJobPipeTaken();
        return kJobPipeTakenStatus;
      }
      Say("the keeper of the job pipe did not start (its log: " + log + ")");
      return 1;
    }
  }
  std::string bytes;
  for (;;) {
    const LinkRead read = link->Read(bytes, std::chrono::milliseconds(1000));
    if (read == LinkRead::kEnded) {
      Say("the keeper of the job pipe ended the link");
      return 1;
    }
    if (!bytes.empty()) break;
  }
  if (bytes[0] != kSessionTaken) {
    SayJobPipeTaken();
    return kJobPipeTakenStatus;
  }
  bytes.erase(0, 1);
  // From here on a relay of bytes; the frames are the keeper's to read.
  auto* keeper = new LocalLink(std::move(*link));  // lives until the process ends
  auto* link_ended_here = new std::atomic<bool>(false);
  if (!StartProcessThread([keeper, link_ended_here] {
        std::string in;
        for (;;) {
          in.clear();
          const LinkRead read = ReadStandardInput(in, std::chrono::milliseconds(1000));
          if (read == LinkRead::kEnded) break;
          if (read == LinkRead::kRead && !keeper->Write(in)) break;
        }
        link_ended_here->store(true);
        keeper->Shut();
      })) {
    Say("cannot start a thread");
    return 1;
  }
  for (;;) {
    if (!bytes.empty() && !WriteStandardOutput(bytes)) break;
    bytes.clear();
    if (keeper->Read(bytes, std::chrono::milliseconds(1000)) == LinkRead::kEnded) break;
  }
  // The keeper ends a link only when its first frames were wrong.
  return link_ended_here->load() ? 0 : 1;
}

}  // namespace activator::remote
