#include "remote_program/desktop_side.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/build_constants.h"
#include "base/mutex.h"
#include "jobs/job_message.h"
#include "jobs/job_protocol.h"
#include "platform/byte_link.h"
#include "platform/child_process.h"
#include "platform/files.h"
#include "platform/pipes.h"
#include "platform/shell.h"
#include "platform/threads.h"
#include "platform/user.h"
#include "remote/link_frames.h"
#include "remote/remote_ids.h"
#include "remote/spool.h"
#include "remote_program/serve_side.h"

namespace activator::remote {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kLinkPoll{20};
constexpr int kFirstBackoffSeconds = 1;
constexpr int kLastBackoffSeconds = 60;
constexpr milliseconds kActivatorRetry{250};
constexpr milliseconds kActivatorBusyPause{1};
// The seen file grows by a line per message shown and is written whole again
// after this many, well within what is read of it at start.
constexpr std::size_t kSeenAppendsBetweenWrites = 1000;
// How long the activator may take to act on a message before it is taken as
// done anyway (it is alive, only slow).
constexpr milliseconds kActivatorActs{8000};

void Say(const std::string& line) {
  std::fprintf(stderr, "activator-remote: %s\n", line.c_str());
  std::fflush(stderr);
}

// The file `name` in the folder of `path`, joined with the separator the
// path uses (a Windows lab's paths hold backslashes).
std::string BesideFile(const std::string& path, const std::string& name) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? name : path.substr(0, slash + 1) + name;
}

// A name a file of the desktop may be given without leaving its folder.
bool SafeFileStem(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// The events the desktop's activator writes on this program's reply pipe,
// for the link's thread to send.
class EventInbox {
 public:
  void Put(std::string event) EXCLUDES(lock_) {
    MutexLock hold(lock_);
    if (events_.size() < 1024) events_.push_back(std::move(event));
  }
  std::vector<std::string> TakeAll() EXCLUDES(lock_) {
    MutexLock hold(lock_);
    std::vector<std::string> all(events_.begin(), events_.end());
    events_.clear();
    return all;
  }

 private:
  Mutex lock_;
  std::deque<std::string> events_ GUARDED_BY(lock_);
};

void ServeReplyPipe(PipeServerInstance instance, const std::string& name, EventInbox& inbox) {
  for (;;) {
    if (!instance.WaitForClient()) {
      PipeErrorCode error = 0;
      std::optional<PipeServerInstance> again;
      while (!(again = PipeServerInstance::Create(name, &error)))
        std::this_thread::sleep_for(std::chrono::seconds(1));
      instance = std::move(*again);
      continue;
    }
    const PipeReadResult read =
        instance.ReadMessage(kMaxJobMessageBytes, kJobMessageWait, milliseconds(50));
    if (read.status == PipeReadStatus::kRead)
      inbox.Put(std::string(JobMessageFromBytes(read.bytes)));
    instance.Disconnect();
  }
}

// A click on its way to the server.
struct PendingEvent {
  std::string desktop_id;
  std::string worker_id;
  std::string action;
  std::string message;  // as the worker gets it
};

class DesktopLink {
 public:
  DesktopLink(const RemoteOptions& options, std::string ssh_program, std::string reply_pipe,
              EventInbox& inbox)
      : options_(options),
        ssh_program_(std::move(ssh_program)),
        label_(MakeServerLabel(options.destination)),
        host_(DisplayHost(options.destination)),
        reply_pipe_(std::move(reply_pipe)),
        inbox_(inbox),
        // A Windows lab's State folder is every user's: the file is named
        // after the user there.
        seen_path_(BesideFile(kStateFilePath, NameForThisUser("remote-seen-" + label_) + ".txt")),
        clicks_path_(
            BesideFile(kStateFilePath, NameForThisUser("remote-clicks-" + label_) + ".txt")) {
    const FileReadResult seen = ReadFileStart(seen_path_, 1 << 20);
    if (seen.status == FileReadStatus::kRead) {
      seen_.Decode(seen.bytes);
      // Appends of earlier runs count towards the next whole write.
      appended_ = static_cast<std::size_t>(std::count(seen.bytes.begin(), seen.bytes.end(), '\n'));
    }
    LoadWaitingClicks();
  }

  // One link, from ssh's start to its end; true when it got as far as the
  // server side's Hello.
  bool RunOnce(int* ssh_status);

  const std::string& host() const { return host_; }
  // False when the last RunOnce could not start ssh at all.
  bool ssh_started() const { return ssh_started_; }

 private:
  void TakeEvents(LinkedProcess& ssh);
  void SendEvent(LinkedProcess& ssh, const PendingEvent& event);
  bool Handle(LinkedProcess& ssh, const Frame& frame);
  bool Deliver(LinkedProcess& ssh, const JobFrame& job);
  void Commit(LinkedProcess& ssh);
  void KeepCopy(const ResultCopy& copy);
  void LoadWaitingClicks();
  void TellOnScreen(const PendingEvent& event, const std::string& why);
  void SaveWaitingClicks();

  const RemoteOptions& options_;
  const std::string ssh_program_;
  const std::string label_;
  const std::string host_;
  const std::string reply_pipe_;
  EventInbox& inbox_;
  const std::string seen_path_;
  const std::string clicks_path_;  // waiting_, for the next start
  SeenSeqs seen_;
  std::size_t appended_ = 0;  // lines appended to the seen file since it was written whole
  HashedIdMemory hashed_;
  bool greeted_ = false;
  bool ssh_started_ = false;
  uint64_t generation_ = 0;
  uint64_t next_request_ = 1;
  std::deque<PendingEvent> waiting_;  // clicks made while the link was down
  std::map<uint64_t, PendingEvent> sent_;
  bool told_no_activator_ = false;
  uint64_t handled_ = 0;  // the highest seq handled on this link
  uint64_t acked_ = 0;    // and acked
};

void DesktopLink::TakeEvents(LinkedProcess& ssh) {
  for (const std::string& bytes : inbox_.TakeAll()) {
    std::string_view fields = bytes;
    DropFinalLineEnd(fields);
    ParsedJobMessage parsed = ParseJobMessage(fields);
    if (parsed.problem != JobMessageProblem::kNone) continue;
    const std::string desktop_id = parsed.message.job_id;
    std::optional<std::string> worker_id = WorkerJobIdOf(label_, desktop_id);
    if (!worker_id) worker_id = hashed_.Find(desktop_id);
    if (!worker_id) continue;  // not one of this server's jobs
    JobMessage event = parsed.message;
    event.job_id = *worker_id;
    event.reply_pipe.clear();
    PendingEvent pending{desktop_id, *worker_id, event.action, FormatJobMessage(event)};
    if (greeted_) {
      SendEvent(ssh, pending);
    } else {
      // Kept for the next link: abortar still means something to a job that
      // runs on, and salvar then fetches the result as it would now.
      waiting_.push_back(std::move(pending));
      SaveWaitingClicks();
      Say("the link to " + host_ + " is down: " + waiting_.back().action + " for " + desktop_id +
          " goes once it is back");
    }
  }
}

// The clicks that wait for a link are kept on disk as the event frames they
// will be, so that ending this program loses none.
void DesktopLink::SaveWaitingClicks() {
  std::string frames;
  for (const PendingEvent& event : waiting_)
    frames += EncodeFrame(Event{0, event.worker_id, event.message});
  if (!ReplaceFileWhole(clicks_path_, frames)) Say("cannot keep the waiting clicks in " + clicks_path_);
}

void DesktopLink::LoadWaitingClicks() {
  const FileReadResult kept = ReadFileStart(clicks_path_, 1 << 20);
  if (kept.status != FileReadStatus::kRead) return;
  FrameReader reader;
  std::vector<Frame> frames;
  reader.Feed(kept.bytes, frames);
  for (const Frame& frame : frames) {
    const auto* event = std::get_if<Event>(&frame);
    if (event == nullptr) continue;
    const ParsedJobMessage parsed = ParseJobMessage(event->message);
    if (parsed.problem != JobMessageProblem::kNone) continue;
    waiting_.push_back({DesktopJobId(label_, event->job_id), event->job_id,
                        parsed.message.action, event->message});
  }
  if (!waiting_.empty())
    Say(std::to_string(waiting_.size()) + " clicks kept from before go once " + host_ +
        " is linked");
}

void DesktopLink::SendEvent(LinkedProcess& ssh, const PendingEvent& event) {
  const uint64_t request = next_request_++;
  sent_[request] = event;
  ssh.Write(EncodeFrame(Event{request, event.worker_id, event.message}));
}

// Hands one of the server's job messages to the desktop's activator, its id
// and reply pipe this program's; true once the activator took it. A missing
// activator is waited for: the server keeps the message until it is acked.
bool DesktopLink::Deliver(LinkedProcess& ssh, const JobFrame& job) {
  std::string_view fields = job.message;
  DropFinalLineEnd(fields);
  const ParsedJobMessage parsed = ParseJobMessage(fields);
  if (parsed.problem != JobMessageProblem::kNone) return true;  // nothing the activator could use
  JobMessage message = parsed.message;
  message.job_id = DesktopJobId(label_, parsed.message.job_id);
  hashed_.Remember(message.job_id, parsed.message.job_id);
  // Every click comes here, also for a worker that named no pipe: then the
  // result is fetched from the server.
  message.reply_pipe = reply_pipe_;
  if (message.description || message.action == kActionAnnounce.text())
    message.description = RemoteDescription(host_, message.description.value_or(""));
  const std::string text = FormatJobMessage(message);
  while (!EndRequested()) {
    // Taken means acted on: an activator killed with the message in hand is
    // no taker, and the next one gets it again. (Killed just after it acted,
    // it is given the message twice, which only shows the same form again.)
    const PipeSendResult sent =
        WriteMessageToPipe(kJobPipeName, text, kPipeWriteLimit, kActivatorActs);
    if (sent.status == PipeSendStatus::kSent && sent.handled != PipeHandled::kServerEnded) {
      told_no_activator_ = false;
      return true;
    }
    // A busy pipe has an activator behind it, taking another client.
    const bool busy =
        sent.status == PipeSendStatus::kOpenFailed && PipeWasBusy(sent.error);
    if (!told_no_activator_ && !busy) {
      // What was shown already must not be shown again should this program
      // be ended while it waits.
      Commit(ssh);
      Say("no activator takes jobs at " + PipeLocation(kJobPipeName) + "; " + host_ +
          "'s jobs wait on the server until one does");
      told_no_activator_ = true;
    }
    // A full backlog empties within moments: no pause that would cost a
    // flood its pace.
    std::this_thread::sleep_for(busy ? kActivatorBusyPause : kActivatorRetry);
  }
  return false;
}

void DesktopLink::KeepCopy(const ResultCopy& copy) {
  const auto it = sent_.find(copy.request);
  if (it == sent_.end()) return;
  const PendingEvent event = it->second;
  sent_.erase(it);
  if (copy.status != ResultCopyStatus::kOk && copy.status != ResultCopyStatus::kCut) {
    const bool no_index = copy.status == ResultCopyStatus::kNoIndex;
    const bool unreadable = copy.status == ResultCopyStatus::kNotFound;
    Say("no result of " + event.desktop_id + " from " + host_ + ": " +
        (no_index     ? "the job left no result index"
         : unreadable ? "its result file cannot be read"
                      : "the server refused it"));
    TellOnScreen(event, no_index     ? "o trabalho não deixou índice de resultado"
                        : unreadable ? "o arquivo de resultado não pôde ser lido"
                                     : "o servidor recusou");
    return;
  }
  // Every local name is this program's: the server's name of the file is
  // made safe, and the copy lives in the results folder beside the indexes.
  const std::string path =
      // Windows users share the results folder: each one's copies are named
      // apart (on POSIX the name is as it is).
      BesideFile(kResultsPrefix,
                 ResultCopyFileName(NameForThisUser(label_), event.worker_id, copy.name));
  if (!ReplaceFileWhole(path, copy.content)) {
    Say("cannot write the result copy " + path);
    TellOnScreen(event, "a cópia não pôde ser gravada aqui");
    return;
  }
  if (SafeFileStem(event.desktop_id))
    ReplaceFileWhole(kResultsPrefix + event.desktop_id + ".path", path + "\n");
  const EditorStart started = StartTextEditor(path);
  if (!started.started()) Say("the editor did not open " + path);
}

// Where people look: the job's notification comes back in its form with
// the reason a click on Exibir Resultado brought nothing as its line.
void DesktopLink::TellOnScreen(const PendingEvent& event, const std::string& why) {
  const ParsedJobMessage clicked = ParseJobMessage(event.message);
  JobMessage form;
  form.action = std::string(kActionUpdate.text());
  form.job_id = event.desktop_id;
  form.reply_pipe = reply_pipe_;
  form.job_state = clicked.message.job_state;
  form.description = RemoteDescription(host_, "resultado não trazido: " + why);
  WriteMessageToPipe(kJobPipeName, FormatJobMessage(form), kPipeWriteLimit, kActivatorActs);
}

// Notes on disk what was handled, then lets the server release it.
void DesktopLink::Commit(LinkedProcess& ssh) {
  if (handled_ <= acked_) return;
  if (appended_ >= kSeenAppendsBetweenWrites) {
    if (!ReplaceFileWhole(seen_path_, seen_.Encode())) return;
    appended_ = 0;
  }
  ssh.Write(EncodeFrame(Ack{handled_}));
  acked_ = handled_;
}

bool DesktopLink::Handle(LinkedProcess& ssh, const Frame& frame) {
  if (!greeted_) {
    const auto* hello = std::get_if<Hello>(&frame);
    const std::string why =
        hello != nullptr ? HelloProblem(*hello, kSideServe) : "the server side sent no Hello first";
    if (!why.empty()) {
      Say(host_ + ": " + why);
      return false;
    }
    greeted_ = true;
    generation_ = hello->generation;
    Say("linked to " + host_ + ": its jobs show here");
    if (!waiting_.empty()) {
      while (!waiting_.empty()) {
        SendEvent(ssh, waiting_.front());
        waiting_.pop_front();
      }
      SaveWaitingClicks();
    }
    return true;
  }
  if (const auto* job = std::get_if<JobFrame>(&frame)) {
    // Sent again after a restart of either side: shown once already.
    if (job->seq > seen_.Highest(label_, generation_)) {
      if (!Deliver(ssh, *job)) return false;  // an end was asked for: this one is not acked
      seen_.FirstTime(label_, generation_, job->seq);
      // Noted at once, not with the batch's acknowledgement: this program
      // killed in between must not show it again. One append; the file is
      // written whole now and then.
      if (AppendToFile(seen_path_, SeenSeqs::EncodeOne(label_, generation_, job->seq)))
        ++appended_;
      else
        appended_ = kSeenAppendsBetweenWrites;
    }
    handled_ = std::max(handled_, job->seq);
  } else if (const auto* dropped = std::get_if<Dropped>(&frame)) {
    Say(host_ + "'s spool was full and let " + std::to_string(dropped->count) + " job messages go");
  } else if (const auto* result = std::get_if<EventResult>(&frame)) {
    const auto it = sent_.find(result->request);
    if (it == sent_.end()) return true;
    if (!result->delivered && it->second.action == kButtonSave.text()) {
      // The worker is gone: its result comes over the link instead.
      ssh.Write(EncodeFrame(FetchResult{result->request, it->second.worker_id}));
      return true;
    }
    // The queue notice is for a worker that still waits on its job; one that
    // left has no use for it, and nobody need be told.
    if (!result->delivered && it->second.action != kEventQueued.text())
      Say(it->second.action + " for " + it->second.desktop_id + " did not reach its worker on " +
          host_);
    sent_.erase(it);
  } else if (const auto* copy = std::get_if<ResultCopy>(&frame)) {
    KeepCopy(*copy);
  }
  return true;
}

bool DesktopLink::RunOnce(int* ssh_status) {
  greeted_ = false;
  sent_.clear();
  handled_ = acked_ = 0;
  ChildStartFailure failure;
  std::optional<LinkedProcess> ssh =
      LinkedProcess::Start(SshCommandLine(options_, ssh_program_), &failure);
  if (!ssh) {
    Say("cannot start " + ssh_program_ + ": " + failure.message);
    *ssh_status = failure.status;
    ssh_started_ = false;
    return false;
  }
  ssh_started_ = true;
  ssh->Write(EncodeFrame(Hello{kLinkProtocolVersion, kSideDesktop, "", 0}));
  FrameReader reader;
  std::vector<Frame> frames;
  std::string bytes;
  bool was_greeted = false;
  for (;;) {
    if (EndRequested()) {
      ssh->RequestStop();
      break;
    }
    TakeEvents(*ssh);
    bytes.clear();
    const LinkRead read = ssh->Read(bytes, kLinkPoll);
    if (read == LinkRead::kEnded) break;
    if (read == LinkRead::kNothing) continue;
    frames.clear();
    const FrameError problem = reader.Feed(bytes, frames);
    bool go_on = true;
    for (const Frame& frame : frames) {
      if (!Handle(*ssh, frame)) {
        go_on = false;
        break;
      }
    }
    was_greeted = was_greeted || greeted_;
    // Once per read, not per message: a flood costs one write of the file
    // per batch.
    Commit(*ssh);
    if (problem != FrameError::kNone) {
      Say(host_ + " sent a bad frame (" + std::string(DescribeFrameError(problem)) + ")");
      go_on = false;
    }
    if (!go_on) {
      ssh->RequestStop();
      break;
    }
  }
  *ssh_status = ssh->Wait();
  // Whether these reached the worker is not known: they go again on the next
  // link (a worker told abortar twice ends once), rather than being lost.
  for (auto& [request, event] : sent_) {
    (void)request;
    if (event.action == kEventQueued.text()) continue;
    Say(event.action + " for " + event.desktop_id +
        " got no answer before the link dropped; it goes again once the link is back");
    waiting_.push_back(std::move(event));
  }
  sent_.clear();
  if (!waiting_.empty()) SaveWaitingClicks();
  return was_greeted;
}

}  // namespace

std::string DisplayHost(const std::string& destination) {
  std::string host = destination.substr(destination.rfind('@') + 1);
  if (host.empty()) host = destination;
  std::string shown;
  for (const char c : host) {
    if (shown.size() >= 64) break;
    shown += (c > 0x20 && c < 0x7f) ? c : '?';
  }
  return shown;
}

std::string RemoteDescription(const std::string& host, const std::string& description) {
  std::string line = description.empty() ? host : host + ": " + description;
  if (line.size() <= kMaxDescriptionBytes) return line;
  // Cut on a character's boundary, the cut said with an ellipsis.
  const std::string ellipsis = "\xE2\x80\xA6";
  std::size_t end = kMaxDescriptionBytes - ellipsis.size();
  while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) --end;
  return line.substr(0, end) + ellipsis;
}

int RunDesktopSide(const RemoteOptions& options, const std::string& ssh_program) {
  CatchEndRequests();
  // One name per server, the same at every start: the activator keeps the
  // pipe each job named, also across a restart of this program, and a click
  // on a job shown before must still come here. (On POSIX it lies in the
  // lab's owner-only pipe folder; on Windows, whose pipe names are the
  // machine's, it is named after the user.)
  const std::string reply_pipe =
      NameForThisUser("\\\\.\\pipe\\activator-remote-" + MakeServerLabel(options.destination));
  PipeErrorCode error = 0;
  std::optional<PipeServerInstance> listener = PipeServerInstance::Create(reply_pipe, &error);
  if (!listener && PipeServerInstance::IsNameTaken(error)) {
    Say("another activator-remote links to " + DisplayHost(options.destination) +
        " already; this one ends");
    return 1;
  }
  if (!listener) {
    Say("cannot make a reply pipe for the clicks (error " + std::to_string(error) + ")");
    return 1;
  }
  auto* inbox = new EventInbox();  // the reply pipe's thread keeps it to the end
  auto held = std::make_shared<PipeServerInstance>(std::move(*listener));
  if (!StartProcessThread(
          [held, reply_pipe, inbox] { ServeReplyPipe(std::move(*held), reply_pipe, *inbox); })) {
    Say("cannot start a thread");
    return 1;
  }
  DesktopLink link(options, ssh_program, reply_pipe, *inbox);
  int backoff = kFirstBackoffSeconds;
  while (!EndRequested()) {
    int status = 0;
    const bool linked = link.RunOnce(&status);
    if (EndRequested()) break;
    if (linked) backoff = kFirstBackoffSeconds;
    std::string why = "ssh ended with status " + std::to_string(status);
    if (status == kJobPipeTakenStatus)
      why = "another program serves the job pipe on " + link.host();
    else if (!link.ssh_started())
      why = "ssh could not be started";
    else if (status == 127)
      why = "no activator-remote on the server's PATH (give --server-program PATH)";
    Say((linked ? "the link to " + link.host() + " dropped ("
                : "no link to " + link.host() + " (") +
        why + "); trying again in " + std::to_string(backoff) + " s");
    const Clock::time_point again = Clock::now() + std::chrono::seconds(backoff);
    while (!EndRequested() && Clock::now() < again) std::this_thread::sleep_for(milliseconds(50));
    backoff = std::min(backoff * 2, kLastBackoffSeconds);
  }
  Say("ended");
  return 0;
}

}  // namespace activator::remote
