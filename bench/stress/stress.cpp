// The program under load and under attack, as a hostile or faulty local
// process would try it: the real program on a private bus with a scripted
// notification server, driven through its job pipe and the bus.
//
//   stress [--small] [--skip=PHASE,...]
//
// Phases, in this order (names for --skip):
//   clients        many clients writing at once; none of their messages lost
//   malformed      random and malformed messages; each logged whole, in order
//   silent-client  a client that connects and writes nothing; intake goes on
//   server-restart the notification server killed and restarted mid-flood;
//                  every job shown, never more than 20 on screen
//   forged-signals bus signals forged by another client; nothing forgotten,
//                  no click believed, the display limit kept
//   paused-server  the notification server stopped for a while; intake goes
//                  on, and what it shows when it wakes is counted
//   hostile-index  index files that are a FIFO, a link to /dev/zero, huge;
//                  the next click still delivered, memory bounded
//   crash-restart  the program killed (SIGKILL) with jobs on screen, queued
//                  and half concluded, and started again: every job shown in
//                  its last form, none beside a stale notification of itself
//   split-messages messages written in two pieces; each read whole
//   final-states   final states of jobs never announced, with 20 on screen;
//                  never more than 20 on screen, every one shown in the end
//
// It prints what it measured and exits 1 when anything was lost or stalled
// past its bound, 2 when it could not set up. --small is the scaled-down run
// of the test suite (seconds); the default is the full run (minutes).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/build_constants.h"
#include "dbus/private_bus.h"
#include "dbus/scripted_server.h"
#include "e2e/program_process.h"
#include "platform/pipes.h"

namespace activator::stress {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::NotifyCall;
using testing::PrivateBus;
using testing::ProgramProcess;
using testing::ScriptedServer;

constexpr uint64_t kDisplayLimit = 20;

struct Scale {
  int clients;
  int messages_per_client;
  int random_messages;
  int flood_jobs;
  std::chrono::milliseconds outage;
  std::chrono::milliseconds pause;
  uint64_t huge_index_bytes;
  int split_messages;
  int unannounced_final_states;
  std::chrono::milliseconds progress_flood;  // one job's progress at 1000 messages a second
};

constexpr Scale kSmall{8, 40, 300, 40, 1500ms, 10000ms, 64ull << 20, 200, 30, 3000ms};
constexpr Scale kFull{100, 1000, 100000, 500, 5000ms, 30000ms, 1ull << 30, 2000, 300, 20000ms};

// Bounds: a wait past one of these is a stall.
constexpr auto kIntakeBound = 10s;        // a message written until it is handled
constexpr auto kServiceReturnBound = 5s;  // server back until its first Notify
constexpr auto kProgressBound = 20s;      // no job shown for this long in a flood
constexpr auto kClickBound = 10s;         // a click until the worker has its event
// Job messages written at once while the server is paused, until the last is
// handled: one call time-out (3 s, and 1 s of grace) may be in their way, not
// one for each.
constexpr auto kPausedIntakeBound = 6s;
constexpr uint64_t kRssBoundKb = 256 * 1024;
constexpr int kFdGrowthBound = 4;
// Past this the program is ended at once: a reader without a bound must not
// take the machine with it.
constexpr uint64_t kRssKillKb = 512 * 1024;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool WaitUntil(const std::function<bool()>& done, Clock::duration bound,
               std::chrono::milliseconds step = 10ms) {
  const auto deadline = Clock::now() + bound;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

// ---- what is measured and what failed --------------------------------------

struct Report {
  std::vector<std::pair<std::string, std::string>> figures;
  std::vector<std::string> failures;

  void Figure(const std::string& name, const std::string& value) {
    figures.emplace_back(name, value);
  }
  void Figure(const std::string& name, double value, const char* unit = "") {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f%s", value, unit);
    Figure(name, text);
  }
  void Figure(const std::string& name, uint64_t value) { Figure(name, std::to_string(value)); }
  void Check(bool ok, const std::string& what) {
    std::printf("  %s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) failures.push_back(what);
  }
};

// ---- the program ------------------------------------------------------------

class Program {
 public:
  bool Start(const std::string& bus_address) {
    return process_.Start(STRESS_PROGRAM, {}, {{"DBUS_SESSION_BUS_ADDRESS", bus_address}});
  }
  bool Running() { return process_.Running(); }
  void Kill() { process_.Kill(); }
  pid_t pid() const { return process_.pid(); }

  uint64_t RssKb() const {
    std::ifstream status("/proc/" + std::to_string(process_.pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
    }
    return 0;
  }
  int OpenFds() const { return static_cast<int>(FdTargets().size()); }
  // What each open descriptor refers to.
  std::multiset<std::string> FdTargets() const {
    const std::string dir = "/proc/" + std::to_string(process_.pid()) + "/fd";
    std::multiset<std::string> targets;
    if (DIR* d = ::opendir(dir.c_str())) {
      while (dirent* entry = ::readdir(d)) {
        if (entry->d_name[0] == '.') continue;
        char target[512] = {};
        const ssize_t n =
            ::readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        targets.insert(n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?");
      }
      ::closedir(d);
    }
    return targets;
  }
  int Threads() const {
    std::ifstream status("/proc/" + std::to_string(process_.pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return 0;
  }
  // User and system time, in clock ticks.
  uint64_t CpuTicks() const {
    std::ifstream stat("/proc/" + std::to_string(process_.pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos) return 0;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
      if (i == 14) utime = std::stoull(field);
      if (i == 15) {
        stime = std::stoull(field);
        break;
      }
    }
    return utime + stime;
  }

 private:
  ProgramProcess process_;
};

// Samples the program's resident memory, keeps the peak, and ends the
// program when it passes kRssKillKb.
class MemoryWatch {
 public:
  explicit MemoryWatch(Program& program) : program_(program) {
    thread_ = std::thread([this] {
      while (!stop_) {
        const uint64_t rss = program_.RssKb();
        peak_ = std::max<uint64_t>(peak_, rss);
        if (rss > kRssKillKb) {
          killed_ = true;
          ::kill(program_.pid(), SIGKILL);
        }
        std::this_thread::sleep_for(20ms);
      }
    });
  }
  ~MemoryWatch() {
    stop_ = true;
    thread_.join();
  }
  uint64_t peak_kb() const { return peak_; }
  bool killed() const { return killed_; }
  void ResetPeak() { peak_ = 0; }

 private:
  Program& program_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> peak_{0};
  std::atomic<bool> killed_{false};
  std::thread thread_;
};

// ---- the debug log ----------------------------------------------------------

// The log as it grows: the raw bytes and the lines (CR LF removed) since the
// reader was made, across a rollover (the file renamed to its predecessor).
class LogReader {
 public:
  explicit LogReader(std::string path) : path_(std::move(path)) {
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
      offset_ = static_cast<uint64_t>(st.st_size);
      inode_ = st.st_ino;
    }
  }

  void Refresh() {
    std::lock_guard<std::mutex> lock(mu_);
    struct stat now {}, before {};
    if (::stat(path_.c_str(), &now) == 0 && now.st_ino != inode_) {
      // Rolled over: the rest of the file read so far is the predecessor's.
      if (::stat(kDebugLogPredecessorPath, &before) == 0 && before.st_ino == inode_)
        raw_ += ReadFrom(kDebugLogPredecessorPath, offset_);
      inode_ = now.st_ino;
      offset_ = 0;
    }
    std::string fresh = ReadFrom(path_, offset_);
    offset_ += fresh.size();
    raw_ += fresh;
    for (std::size_t end; (end = raw_.find("\r\n", parsed_)) != std::string::npos;) {
      lines_.push_back(raw_.substr(parsed_, end - parsed_));
      parsed_ = end + 2;
    }
  }
  std::size_t LineCount() {
    Refresh();
    std::lock_guard<std::mutex> lock(mu_);
    return lines_.size();
  }
  std::vector<std::string> LinesFrom(std::size_t first) {
    Refresh();
    std::lock_guard<std::mutex> lock(mu_);
    return {lines_.begin() + static_cast<std::ptrdiff_t>(std::min(first, lines_.size())),
            lines_.end()};
  }
  std::size_t CountPrefix(const std::string& prefix, std::size_t first = 0) {
    std::size_t n = 0;
    for (const auto& line : LinesFrom(first)) n += line.rfind(prefix, 0) == 0;
    return n;
  }
  bool WaitForLine(const std::string& line, Clock::duration bound, std::size_t first = 0) {
    return WaitUntil(
        [&] {
          const auto lines = LinesFrom(first);
          return std::find(lines.begin(), lines.end(), line) != lines.end();
        },
        bound, 20ms);
  }
  // Finds each of `lines` in the raw log, in this order, from where the last
  // search ended; returns how many were found.
  std::size_t FindInOrder(const std::vector<std::string>& lines) {
    Refresh();
    std::lock_guard<std::mutex> lock(mu_);
    std::size_t found = 0;
    std::size_t at = search_from_;
    for (const auto& line : lines) {
      const std::size_t hit = raw_.find(line, at);
      if (hit == std::string::npos) continue;
      at = hit + line.size();
      ++found;
    }
    search_from_ = at;
    return found;
  }

 private:
  static std::string ReadFrom(const std::string& path, uint64_t offset) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  std::string path_;
  std::mutex mu_;
  ino_t inode_ = 0;
  uint64_t offset_ = 0;
  std::string raw_;
  std::size_t parsed_ = 0;
  std::size_t search_from_ = 0;
  std::vector<std::string> lines_;
};

// ---- the worker's side ------------------------------------------------------

// Writes one message, retrying (bounded) while the job pipe's backlog is
// full. True when it was written.
bool Send(const std::string& message, int* busy_retries = nullptr) {
  const auto deadline = Clock::now() + kIntakeBound;
  for (;;) {
    const PipeSendResult result = WriteMessageToPipe(kJobPipeName, message);
    if (result.status == PipeSendStatus::kSent) return true;
    if (Clock::now() > deadline) return false;
    if (busy_retries) ++*busy_retries;
    std::this_thread::sleep_for(1ms);
  }
}

// A value as the log writes it: each byte of a control character (C0, DEL,
// C1 in UTF-8) as \xHH, everything else as it is.
std::string Visible(const std::string& value) {
  std::string out;
  char hex[8];
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    const bool c1 = c == 0xC2 && i + 1 < value.size() &&
                    static_cast<unsigned char>(value[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(value[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
      if (c1) {
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(value[++i]));
        out += hex;
      }
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string JobPipeSocket() {
  const std::string name = kJobPipeName;
  return std::string(kPipeDirectory) + "/" + name.substr(name.rfind('\\') + 1);
}

// A worker's own connection to the job pipe, to write as it pleases; -1 when
// it could not connect.
int ConnectToJobPipe() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = JobPipeSocket();
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// A worker's reply pipe: a listening socket that records every event message.
class ReplyPipe {
 public:
  explicit ReplyPipe(std::string path) : path_(std::move(path)) {
    ::unlink(path_.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 64) != 0) {
      return;
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~ReplyPipe() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  std::vector<std::string> Received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, 50) <= 0) continue;
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::string bytes;
      char buffer[4096];
      for (int rounds = 0; rounds < 100; ++rounds) {
        pollfd cfd{client, POLLIN, 0};
        if (::poll(&cfd, 1, 20) <= 0) break;
        const ssize_t got = ::read(client, buffer, sizeof buffer);
        if (got <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(got));
      }
      ::close(client);
      std::lock_guard<std::mutex> lock(mu_);
      received_.push_back(bytes);
    }
  }

  std::string path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> received_;
};

// ---- the notification server's side -----------------------------------------

std::string JobOf(const NotifyCall& call) { return call.body.substr(call.body.rfind('\n') + 1); }

// The last Notify for `job_id`.
std::optional<NotifyCall> LastCallFor(const ScriptedServer& server, const std::string& job_id) {
  const auto calls = server.Calls();
  for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
    if (JobOf(*it) == job_id) return *it;
  }
  return std::nullopt;
}

// Closes, as the user would, every notification open for longer than
// `age`, while it runs: the display limit then lets the queue through. Only
// notifications the program's monitor (a pass every 2 s) has had time to see
// are closed; one closed sooner keeps its place under the limit for a few
// passes.
class Dismisser {
 public:
  explicit Dismisser(ScriptedServer& server, std::chrono::milliseconds age = 2500ms)
      : server_(server) {
    thread_ = std::thread([this, age] {
      std::map<uint32_t, Clock::time_point> first_seen;
      while (!stop_) {
        const auto now = Clock::now();
        const std::set<uint32_t> open = server_.OpenIds();
        std::erase_if(first_seen, [&](const auto& entry) { return open.count(entry.first) == 0; });
        for (uint32_t id : open) {
          auto [it, fresh] = first_seen.try_emplace(id, now);
          if (!fresh && now - it->second >= age) server_.Dismiss(id);
        }
        std::this_thread::sleep_for(100ms);
      }
    });
  }
  ~Dismisser() {
    stop_ = true;
    thread_.join();
  }

 private:
  ScriptedServer& server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---- the run ----------------------------------------------------------------

class Run {
 public:
  Run(const Scale& scale, std::set<std::string> skip)
      : scale_(scale), skip_(std::move(skip)), log_(kDebugLogPath) {}

  int Main() {
    if (!bus_.running()) {
      std::fprintf(stderr, "stress: no private bus: %s\n", bus_.error().c_str());
      return 2;
    }
    server_ = std::make_unique<ScriptedServer>(bus_.address());
    // A run starts from nothing kept by an earlier one.
    std::remove(kStateFilePath);
    if (!server_->ok() || !program_.Start(bus_.address()) ||
        !log_.WaitForLine("PYTHON PIPE SERVER START", kIntakeBound)) {
      std::fprintf(stderr, "stress: the program did not start (log: %s)\n", kDebugLogPath);
      return 2;
    }
    memory_ = std::make_unique<MemoryWatch>(program_);
    // Settled: one job shown and closed, so what the bus library opens on
    // first use is open before the descriptors are counted.
    Send("acao=continuar&id_execucao=WARM&estado=executando");
    if (!server_->WaitForCalls(1, 20000ms)) {
      std::fprintf(stderr, "stress: the program showed nothing (log: %s)\n", kDebugLogPath);
      return 2;
    }
    // Seen by the monitor before it is closed, so it holds no place under
    // the display limit afterwards.
    log_.WaitForLine("WARM|zorvell_processos", kIntakeBound);
    for (uint32_t id : server_->OpenIds()) server_->Dismiss(id);
    log_.WaitForLine("TOTAL=0", kIntakeBound, log_.LineCount());
    const std::multiset<std::string> fds_at_start_targets = program_.FdTargets();
    const int fds_at_start = static_cast<int>(fds_at_start_targets.size());
    const int threads_at_start = program_.Threads();
    report_.Figure("open descriptors at start", static_cast<uint64_t>(fds_at_start));
    report_.Figure("threads at start", static_cast<uint64_t>(threads_at_start));
    report_.Figure("resident memory at start (KiB)", program_.RssKb());

    Phase("clients", [this] { Clients(); });
    Phase("malformed", [this] { Malformed(); });
    Phase("silent-client", [this] { SilentClient(); });
    Phase("server-restart", [this] { ServerRestart(); });
    Phase("forged-signals", [this] { ForgedSignals(); });
    Phase("paused-server", [this] { PausedServer(); });
    Phase("hostile-index", [this] { HostileIndex(); });
    Phase("crash-restart", [this] { CrashRestart(); });
    Phase("split-messages", [this] { SplitMessages(); });
    Phase("final-states", [this] { FinalStates(); });
    Phase("progress-flood", [this] { ProgressFlood(); });

    report_.Check(program_.Running() && !memory_->killed(), "the program is still running");
    if (program_.Running()) {
      const std::multiset<std::string> fds_at_end_targets = program_.FdTargets();
      const int fds_at_end = static_cast<int>(fds_at_end_targets.size());
      report_.Figure("open descriptors at end", static_cast<uint64_t>(fds_at_end));
      std::vector<std::string> added;
      std::set_difference(fds_at_end_targets.begin(), fds_at_end_targets.end(),
                          fds_at_start_targets.begin(), fds_at_start_targets.end(),
                          std::back_inserter(added));
      std::string kinds;
      for (const auto& target : added) kinds += (kinds.empty() ? "" : " ") + target;
      if (!added.empty()) report_.Figure("descriptors opened since the start", kinds);
      report_.Figure("threads at end", static_cast<uint64_t>(program_.Threads()));
      report_.Check(fds_at_end - fds_at_start <= kFdGrowthBound,
                    "open descriptors grew by at most " + std::to_string(kFdGrowthBound));
    }
    report_.Figure("resident memory peak (KiB)", memory_->peak_kb());
    report_.Check(memory_->peak_kb() <= kRssBoundKb,
                  "resident memory stayed under " + std::to_string(kRssBoundKb / 1024) + " MiB");
    memory_.reset();
    program_.Kill();

    std::printf("\nfigures\n");
    for (const auto& [name, value] : report_.figures)
      std::printf("  %-52s %s\n", name.c_str(), value.c_str());
    if (!report_.failures.empty()) {
      std::printf("\n%zu check(s) failed:\n", report_.failures.size());
      for (const auto& failure : report_.failures) std::printf("  %s\n", failure.c_str());
      return 1;
    }
    std::printf("\nall checks passed\n");
    return 0;
  }

 private:
  void Phase(const std::string& name, const std::function<void()>& body) {
    if (skip_.count(name) != 0) {
      std::printf("\n[%s] skipped\n", name.c_str());
      report_.Figure(name + ": skipped", std::string("yes"));
      return;
    }
    std::printf("\n[%s]\n", name.c_str());
    std::fflush(stdout);
    if (!program_.Running()) {
      report_.Check(false, name + ": the program had ended before the phase");
      return;
    }
    const auto start = Clock::now();
    body();
    report_.Figure(name + ": duration (s)", Seconds(Clock::now() - start));
    report_.Figure(name + ": resident memory after (KiB)", program_.RssKb());
  }

  // (a) Many clients at once, each writing its messages one connection at a
  // time; a message that does not change the registry, so the queue stays
  // out of it.
  void Clients() {
    std::atomic<uint64_t> sent{0}, unsent{0};
    std::atomic<int> busy{0};
    std::atomic<int64_t> worst_ns{0};
    const std::size_t first_line = log_.LineCount();
    const auto start = Clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < scale_.clients; ++c) {
      clients.emplace_back([&, c] {
        int my_busy = 0;
        for (int m = 0; m < scale_.messages_per_client; ++m) {
          const auto t0 = Clock::now();
          const bool ok = Send("acao=stress&id_execucao=A" + std::to_string(c) + "_" +
                                   std::to_string(m) + "&estado=executando",
                               &my_busy);
          const int64_t ns = (Clock::now() - t0).count();
          int64_t seen = worst_ns.load();
          while (ns > seen && !worst_ns.compare_exchange_weak(seen, ns)) {
          }
          (ok ? sent : unsent)++;
        }
        busy += my_busy;
      });
    }
    for (auto& t : clients) t.join();
    const auto written = Clock::now();
    std::size_t received = 0;
    WaitUntil(
        [&] {
          received = log_.CountPrefix("PYTHON PIPE RECEIVED=acao=stress&id_execucao=A", first_line);
          return received >= sent;
        },
        kIntakeBound, 50ms);
    const double elapsed = Seconds(Clock::now() - start);
    report_.Figure("clients: clients x messages", std::to_string(scale_.clients) + " x " +
                                                      std::to_string(scale_.messages_per_client));
    report_.Figure("clients: messages sent", static_cast<uint64_t>(sent));
    report_.Figure("clients: messages received", static_cast<uint64_t>(received));
    report_.Figure("clients: sends refused while busy (retried)", static_cast<uint64_t>(busy));
    report_.Figure("clients: longest wait for one send (s)",
                   Seconds(std::chrono::nanoseconds(worst_ns)));
    report_.Figure("clients: all written after (s)", Seconds(written - start));
    report_.Figure("clients: messages per second", static_cast<double>(received) / elapsed);
    report_.Check(unsent == 0, "clients: every message could be written within " +
                                   std::to_string(kIntakeBound.count()) + " s");
    report_.Check(received == sent, "clients: every message written was received");
  }

  // (b) Random bytes and malformed messages from one client, in order: each
  // must reach the log whole (cut at 4095 bytes and at a NUL, as a message
  // is read).
  void Malformed() {
    std::vector<std::string> messages = {"a",
                                         "acao",
                                         "acao=",
                                         "acao=continuar",
                                         "&id_execucao=",
                                         "acao=&id_execucao=",
                                         "acao=continuar&id_execucao=",
                                         "id_execucao=X&acao=continuar",
                                         "acao=continuar&id_execucao=M1&pipe=",
                                         "acao=atualizar&id_execucao=M1&estado=",
                                         "acao=continuar&id_execucao=M\xff\xfe&estado=executando",
                                         std::string("acao=continuar\0&id_execucao=M2", 29),
                                         "acao=x&id_execucao=M3\r\n\r\n",
                                         "===&&&===",
                                         std::string(5000, 'A'),
                                         "acao=" + std::string(4090, '&') + "id_execucao=Z"};
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> length(1, 600), byte(0, 255);
    for (int i = 0; i < scale_.random_messages; ++i) {
      std::string message(static_cast<std::size_t>(length(random)), '\0');
      for (char& c : message) c = static_cast<char>(byte(random));
      messages.push_back(std::move(message));
    }
    std::vector<std::string> expected;
    uint64_t sent = 0;
    for (const std::string& message : messages) {
      if (!Send(message)) continue;
      ++sent;
      std::string logged = message.substr(0, 4095);
      logged = logged.substr(0, logged.find('\0'));
      expected.push_back("PYTHON PIPE RECEIVED=" + Visible(logged) + "\r\n");
    }
    // The last one handled means all were.
    Send("acao=stress&id_execucao=B_END&estado=executando");
    log_.WaitForLine("PYTHON PIPE RECEIVED=acao=stress&id_execucao=B_END&estado=executando",
                     kIntakeBound);
    const std::size_t found = log_.FindInOrder(expected);
    report_.Figure("malformed: messages sent", sent);
    report_.Figure("malformed: logged whole, in order", static_cast<uint64_t>(found));
    report_.Check(sent == messages.size(), "malformed: every message could be written");
    report_.Check(found == expected.size(), "malformed: every message was logged whole");
    report_.Check(program_.Running(), "malformed: the program survived");
  }

  // (h) Workers that write a message in two pieces, the second 0.1 ms after
  // the first, then close: each message is read whole.
  void SplitMessages() {
    const std::size_t first_line = log_.LineCount();
    const int n = scale_.split_messages;
    int written = 0;
    for (int i = 0; i < n; ++i) {
      const int fd = ConnectToJobPipe();
      if (fd < 0) continue;
      const std::string head = "acao=stress&id_execucao=SP" + std::to_string(i) + "&estado=conc";
      bool ok = ::write(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size());
      std::this_thread::sleep_for(100us);
      ok = ::write(fd, "luido", 5) == 5 && ok;
      ::close(fd);
      written += ok ? 1 : 0;
    }
    log_.WaitForLine("PYTHON ID=SP" + std::to_string(n - 1), kIntakeBound, first_line);
    uint64_t whole = 0, cut = 0;
    for (const auto& line : log_.LinesFrom(first_line)) {
      if (line == "PYTHON ESTADO=concluido") ++whole;
      if (line == "PYTHON ESTADO=conc") ++cut;
    }
    report_.Figure("split-messages: written in two pieces", static_cast<uint64_t>(written));
    report_.Figure("split-messages: read whole", whole);
    report_.Figure("split-messages: read cut", cut);
    report_.Check(written == n && whole == static_cast<uint64_t>(n),
                  "split-messages: every message written in two pieces was read whole");
  }

  // (i) With 20 jobs on screen, final states of jobs never announced: they
  // wait in the queue for a place instead of passing the display limit, and
  // each is shown once places free up.
  void FinalStates() {
    for (uint32_t id : server_->OpenIds()) server_->Dismiss(id);
    log_.WaitForLine("TOTAL=0", kIntakeBound, log_.LineCount());
    server_->ResetCalls();
    server_->ResetMaxOpen();
    for (uint64_t i = 0; i < kDisplayLimit; ++i)
      Send("acao=continuar&id_execucao=FS" + std::to_string(i) + "&estado=executando");
    WaitUntil([&] { return server_->OpenIds().size() >= kDisplayLimit; }, kProgressBound);
    const std::size_t first_line = log_.LineCount();
    const int n = scale_.unannounced_final_states;
    for (int i = 0; i < n; ++i)
      Send("acao=atualizar&id_execucao=FE" + std::to_string(i) + "&estado=erro");
    const bool queued =
        log_.WaitForLine("VELDUNA NA FILA=FE" + std::to_string(n - 1), kIntakeBound, first_line);
    const uint64_t open_while_full = server_->MaxOpen();
    std::set<std::string> shown;
    {
      Dismisser dismisser(*server_);
      WaitUntil(
          [&] {
            for (const auto& call : server_->Calls()) shown.insert(JobOf(call));
            for (int i = 0; i < n; ++i)
              if (shown.count("FE" + std::to_string(i)) == 0) return false;
            return true;
          },
          kProgressBound * (1 + n / static_cast<int>(kDisplayLimit)), 100ms);
    }
    int shown_final = 0;
    for (int i = 0; i < n; ++i) shown_final += shown.count("FE" + std::to_string(i)) != 0 ? 1 : 0;
    report_.Figure("final-states: on screen at most, while full", open_while_full);
    report_.Figure("final-states: on screen at most, in all",
                   static_cast<uint64_t>(server_->MaxOpen()));
    report_.Figure("final-states: shown in the end", static_cast<uint64_t>(shown_final));
    report_.Check(queued && open_while_full <= kDisplayLimit,
                  "final-states: final states of jobs not on screen waited for a place");
    report_.Check(server_->MaxOpen() <= kDisplayLimit,
                  "final-states: never more than 20 on screen");
    report_.Check(shown_final == n, "final-states: every final state was shown in the end");
    for (uint32_t id : server_->OpenIds()) server_->Dismiss(id);
  }

  // (j) One job's progress sent at 1000 messages a second: the screen sees
  // a few replacements a second in place, never a new notification, and the
  // last value in the end.
  void ProgressFlood() {
    if (!server_->OpenIds().empty()) {
      const std::size_t from = log_.LineCount();
      for (uint32_t id : server_->OpenIds()) server_->Dismiss(id);
      log_.WaitForLine("TOTAL=0", kIntakeBound, from);
    }
    server_->ResetCalls();
    Send("acao=continuar&id_execucao=PF&progresso=0&estado=executando");
    WaitUntil([&] { return LastCallFor(*server_, "PF").has_value(); }, kProgressBound);
    const std::size_t calls_before = server_->Calls().size();
    const auto start = Clock::now();
    uint64_t sent = 0;
    int last = 0;
    while (Clock::now() - start < scale_.progress_flood) {
      last = static_cast<int>(sent % 100) + 1;
      Send("acao=atualizar&id_execucao=PF&progresso=" + std::to_string(last) +
           "&estado=executando");
      ++sent;
      // Paced at one a millisecond, without drifting behind.
      std::this_thread::sleep_until(start + std::chrono::milliseconds(sent));
    }
    const double sending = Seconds(Clock::now() - start);
    const bool last_shown = WaitUntil(
        [&] {
          auto call = LastCallFor(*server_, "PF");
          return call && call->value == last;
        },
        kIntakeBound);
    const double elapsed = Seconds(Clock::now() - start);
    uint64_t shows = 0, new_ones = 0;
    const auto calls = server_->Calls();
    for (std::size_t i = calls_before; i < calls.size(); ++i) {
      if (JobOf(calls[i]) != "PF") continue;
      ++shows;
      if (calls[i].replaces_id == 0) ++new_ones;
    }
    const double per_second = static_cast<double>(shows) / elapsed;
    report_.Figure("progress-flood: messages per second", static_cast<double>(sent) / sending);
    report_.Figure("progress-flood: shows", shows);
    report_.Figure("progress-flood: shows per second", per_second);
    report_.Check(last_shown, "progress-flood: the last value was shown");
    report_.Check(new_ones == 0, "progress-flood: every show replaced the job's notification");
    report_.Check(per_second <= 5, "progress-flood: at most 5 shows a second");
    for (uint32_t id : server_->OpenIds()) server_->Dismiss(id);
  }

  // (c) A client that connects and writes nothing; another writes a job
  // message behind it, which must be handled within kIntakeBound.
  void SilentClient() {
    const int silent = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = JobPipeSocket();
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(silent, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      report_.Check(false, "silent-client: could not connect to " + path);
      ::close(silent);
      return;
    }
    const std::size_t first_line = log_.LineCount();
    const auto start = Clock::now();
    const std::string probe = "acao=stress&id_execucao=C_BEHIND&estado=executando";
    // Into the backlog: the write completes whatever the server is doing.
    const bool written = WriteMessageToPipe(kJobPipeName, probe).status == PipeSendStatus::kSent;
    const bool handled =
        log_.WaitForLine("PYTHON PIPE RECEIVED=" + probe, kIntakeBound, first_line);
    const double stall = Seconds(Clock::now() - start);
    ::close(silent);
    if (!handled) log_.WaitForLine("PYTHON PIPE RECEIVED=" + probe, kIntakeBound, first_line);
    report_.Figure("silent-client: message behind it handled after (s)", stall);
    report_.Check(written && handled,
                  "silent-client: a message behind a silent client was handled within " +
                      std::to_string(kIntakeBound.count()) + " s");
  }

  // (d) A flood of jobs; the server vanishes a third of the way in and comes
  // back a while later. Every job must be shown, in order, never more than
  // the display limit at once; updates sent during the outage must be shown
  // once it is back; the program must not spin meanwhile.
  void ServerRestart() {
    // Stopped while the server changes: it must not close what is gone.
    auto dismisser = std::make_unique<Dismisser>(*server_);
    const int n = scale_.flood_jobs;
    auto id = [](int i) { return "D" + std::to_string(i); };
    uint64_t max_open = 0;
    std::set<std::string> shown;
    auto collect = [&](const ScriptedServer& server) {
      for (const auto& call : server.Calls()) shown.insert(JobOf(call));
      max_open = std::max<uint64_t>(max_open, server.MaxOpen());
    };
    int sent = 0;
    for (int i = 0; i < n / 3; ++i)
      sent += Send("acao=continuar&id_execucao=" + id(i) + "&estado=executando");
    WaitUntil([&] { return server_->Calls().size() >= 10; }, kProgressBound);
    // Two shown jobs conclude while no server is there.
    const std::vector<std::string> concluded = {id(0), id(1)};

    dismisser.reset();
    server_->Vanish();
    collect(*server_);
    const std::size_t outage_line = log_.LineCount();
    const uint64_t cpu_before = program_.CpuTicks();
    const auto outage_start = Clock::now();
    for (int i = n / 3; i < 2 * n / 3; ++i)
      sent += Send("acao=continuar&id_execucao=" + id(i) + "&estado=executando");
    for (const auto& job : concluded)
      Send("acao=atualizar&id_execucao=" + job + "&estado=concluido");
    std::this_thread::sleep_for(
        scale_.outage - std::min<Clock::duration>(scale_.outage, Clock::now() - outage_start));
    const double outage = Seconds(Clock::now() - outage_start);
    const uint64_t cpu_ticks = program_.CpuTicks() - cpu_before;
    const std::size_t tries = log_.CountPrefix("VELDUNA PROCESSANDO=", outage_line);

    const std::size_t calls_before = server_->Calls().size();
    server_->ResetCalls();
    const auto back = Clock::now();
    server_->Return();
    dismisser = std::make_unique<Dismisser>(*server_);
    const bool first_back = server_->WaitForCalls(
        1, std::chrono::duration_cast<std::chrono::milliseconds>(kServiceReturnBound));
    const double return_delay = Seconds(Clock::now() - back);
    for (int i = 2 * n / 3; i < n; ++i)
      sent += Send("acao=continuar&id_execucao=" + id(i) + "&estado=executando");

    // Until every job is shown, or nothing more is shown for kProgressBound.
    std::size_t last_count = 0;
    auto last_progress = Clock::now();
    auto all_shown = [&] {
      std::set<std::string> now = shown;
      for (const auto& call : server_->Calls()) now.insert(JobOf(call));
      for (int i = 0; i < n; ++i)
        if (now.count(id(i)) == 0) return false;
      return true;
    };
    while (!all_shown()) {
      const std::size_t count = server_->Calls().size();
      if (count != last_count) {
        last_count = count;
        last_progress = Clock::now();
      }
      if (Clock::now() - last_progress > kProgressBound) break;
      std::this_thread::sleep_for(50ms);
    }
    collect(*server_);
    std::vector<std::string> missing;
    for (int i = 0; i < n; ++i)
      if (shown.count(id(i)) == 0) missing.push_back(id(i));
    bool concluded_shown = true;
    for (const auto& job : concluded) {
      bool found = false;
      for (const auto& call : server_->Calls())
        found = found || (JobOf(call) == job && call.body.rfind("Processo Concluido", 0) == 0);
      concluded_shown = concluded_shown && found;
    }
    // In order: the restarted server sees the queued jobs by number.
    int last = -1;
    bool in_order = true;
    std::set<std::string> first_shows;
    for (const auto& call : server_->Calls()) {
      const std::string job = JobOf(call);
      if (job.size() < 2 || job[0] != 'D' || call.body.rfind("Processo em andamento", 0) != 0)
        continue;
      const int number = std::stoi(job.substr(1));
      // A job shown already may be shown again in place (the count of
      // waiting jobs moving to another notification): only its first show
      // tells the queue's order.
      if (!first_shows.insert(job).second) continue;
      in_order = in_order && number > last;
      last = std::max(last, number);
    }

    report_.Figure("server-restart: jobs announced", static_cast<uint64_t>(sent));
    report_.Figure("server-restart: jobs shown",
                   static_cast<uint64_t>(n - static_cast<int>(missing.size())));
    report_.Figure("server-restart: Notify calls before the outage",
                   static_cast<uint64_t>(calls_before));
    report_.Figure("server-restart: outage (s)", outage);
    report_.Figure("server-restart: CPU time during the outage (s)",
                   static_cast<double>(cpu_ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK)));
    report_.Figure("server-restart: shows tried during the outage", static_cast<uint64_t>(tries));
    report_.Figure("server-restart: first Notify after the return (s)", return_delay);
    report_.Figure("server-restart: most notifications open at once", max_open);
    report_.Check(missing.empty(), "server-restart: every job was shown (" +
                                       std::to_string(missing.size()) + " missing" +
                                       (missing.empty() ? "" : ", first " + missing[0]) + ")");
    report_.Check(first_back, "server-restart: shows resumed within " +
                                  std::to_string(kServiceReturnBound.count()) + " s of the return");
    report_.Check(concluded_shown,
                  "server-restart: updates sent during the outage were shown after it");
    report_.Check(in_order, "server-restart: queued jobs were shown in order after the return");
    report_.Check(max_open <= kDisplayLimit, "server-restart: never more than 20 on screen");
    report_.Check(tries <= 4, "server-restart: at most 4 shows tried while the server was away");
  }

  // (e) Another client sends the bus's and the server's signals to the
  // program directly. Nothing may be forgotten, no click believed, and the
  // display limit must hold.
  void ForgedSignals() {
    for (uint32_t id : server_->OpenIds()) server_->Dismiss(id);
    const std::size_t phase_line = log_.LineCount();
    ReplyPipe worker("/tmp/activator-stress-" + std::to_string(::getpid()) + ".sock");
    const std::size_t calls_before = server_->Calls().size();
    for (int i = 0; i < 5; ++i)
      Send("acao=continuar&id_execucao=E" + std::to_string(i) + "&pipe=" + worker.path() +
           "&estado=executando");
    server_->WaitForCalls(calls_before + 5, 20000ms);
    // Seen by the monitor: TOTAL=5.
    const bool counted = log_.WaitForLine("TOTAL=5", kProgressBound, phase_line);
    const std::size_t forged_line = log_.LineCount();

    ScriptedServer impostor(bus_.address(), /*claim_name=*/false);
    const auto target = LastCallFor(*server_, "E0");
    uint64_t forged = 0;
    if (impostor.ok() && target) {
      const std::string us = target->sender;
      impostor.SendOwnerChanged(server_->UniqueName(), impostor.UniqueName(), us);
      impostor.SendOwnerChanged(server_->UniqueName(), "", us);
      impostor.SendOwnerChanged("", ":1.999", us);
      forged += 3;
      for (int i = 0; i < 5; ++i) {
        if (auto call = LastCallFor(*server_, "E" + std::to_string(i))) {
          impostor.SendActionInvoked(call->id, call->actions.at(0), us);
          impostor.SendClosed(call->id, us);
          forged += 2;
        }
      }
      impostor.Flush(us);
    }
    // Two monitor passes: whatever the forgeries changed shows in its count.
    std::this_thread::sleep_for(4500ms);
    std::size_t dropped = 0;
    for (const auto& line : log_.LinesFrom(forged_line)) {
      dropped += line == "TOTAL=0" || line == "TOTAL=1" || line == "TOTAL=2" || line == "TOTAL=3" ||
                 line == "TOTAL=4";
    }
    const std::size_t events_from_forgeries = worker.Received().size();

    // The true server's click still counts.
    bool clicked = false;
    if (auto call = LastCallFor(*server_, "E0")) {
      server_->Click(call->id, call->actions.at(0));
      clicked = WaitUntil([&] { return !worker.Received().empty(); }, kClickBound);
    }
    // The limit still holds: 25 more jobs with 4 on screen.
    server_->ResetMaxOpen();
    for (int i = 0; i < 25; ++i)
      Send("acao=continuar&id_execucao=X" + std::to_string(i) + "&estado=executando");
    WaitUntil([&] { return server_->OpenIds().size() >= kDisplayLimit; }, kProgressBound);
    std::this_thread::sleep_for(4500ms);  // two monitor passes: room would be used by now
    const uint64_t max_open = server_->MaxOpen();
    {
      Dismisser dismisser(*server_);
      WaitUntil([&] { return LastCallFor(*server_, "X24").has_value(); }, kProgressBound * 2);
    }
    for (uint32_t id : server_->OpenIds()) server_->Dismiss(id);

    report_.Figure("forged-signals: signals forged", forged);
    report_.Figure("forged-signals: event messages caused by them",
                   static_cast<uint64_t>(events_from_forgeries));
    report_.Figure("forged-signals: most notifications open at once after", max_open);
    report_.Check(counted, "forged-signals: the monitor counted the 5 jobs before the forgeries");
    report_.Check(dropped == 0, "forged-signals: the monitor's count did not drop");
    report_.Check(events_from_forgeries == 0, "forged-signals: no forged click reached the worker");
    report_.Check(clicked, "forged-signals: the true server's click reached the worker");
    report_.Check(max_open <= kDisplayLimit, "forged-signals: never more than 20 on screen");
  }

  // A server stopped for a while (SIGSTOP): job messages keep coming, among
  // them updates that must be shown. None may wait for more than one call
  // time-out, and what the server shows when it wakes must be counted.
  void PausedServer() {
    for (uint32_t id : server_->OpenIds()) server_->Dismiss(id);
    const std::size_t phase_line = log_.LineCount();
    for (int i = 0; i < 3; ++i)
      Send("acao=continuar&id_execucao=K" + std::to_string(i) + "&estado=executando");
    const bool settled = log_.WaitForLine("K2|zorvell_processos", kProgressBound, phase_line);

    server_->Pause(scale_.pause);
    const auto pause_start = Clock::now();
    const std::vector<std::string> messages = {
        "acao=continuar&id_execucao=K3&estado=executando",
        "acao=continuar&id_execucao=K4&estado=executando",
        "acao=atualizar&id_execucao=K0&estado=concluido",
        "acao=atualizar&id_execucao=K1&estado=erro",
        "acao=atualizar&id_execucao=K2&estado=concluido",
        "acao=atualizar&id_execucao=K3&estado=concluido",
    };
    // Written at once, as a worker concluding several jobs would: the last
    // is handled only after every update before it.
    const std::size_t from = log_.LineCount();
    for (const std::string& message : messages) Send(message);
    log_.WaitForLine("PYTHON PIPE RECEIVED=" + messages.back(), scale_.pause + kProgressBound,
                     from);
    const double worst = Seconds(Clock::now() - pause_start);
    const double sent_within = Seconds(Clock::now() - pause_start);
    // Once it wakes: every job in its last form, and the monitor counting
    // what the server has open.
    auto last_form_is = [&](const std::string& job, const char* title) {
      auto call = LastCallFor(*server_, job);
      return call && call->body.rfind(title, 0) == 0;
    };
    const bool all_shown = WaitUntil(
        [&] {
          return last_form_is("K0", "Processo Concluido") &&
                 last_form_is("K1", "Processo com erro") &&
                 last_form_is("K2", "Processo Concluido") &&
                 last_form_is("K3", "Processo Concluido") &&
                 last_form_is("K4", "Processo em andamento");
        },
        scale_.pause + kProgressBound);
    std::string total;
    const bool counted = WaitUntil(
        [&] {
          total = "TOTAL=" + std::to_string(server_->OpenIds().size());
          std::string last;
          for (const auto& line : log_.LinesFrom(phase_line))
            if (line.rfind("TOTAL=", 0) == 0) last = line;
          return last == total;
        },
        kProgressBound);
    for (uint32_t id : server_->OpenIds()) server_->Dismiss(id);

    report_.Figure("paused-server: pause (s)", Seconds(scale_.pause));
    report_.Figure("paused-server: messages written during it",
                   static_cast<uint64_t>(messages.size()));
    report_.Figure("paused-server: all written after (s)", sent_within);
    report_.Figure("paused-server: all handled after (s)", worst);
    report_.Figure("paused-server: open at the server once it woke", total);
    report_.Check(settled, "paused-server: the first jobs were shown and seen");
    report_.Check(worst <= std::chrono::duration<double>(kPausedIntakeBound).count(),
                  "paused-server: the messages were handled within " +
                      std::to_string(kPausedIntakeBound.count()) + " s");
    report_.Check(all_shown, "paused-server: every job was shown in its last form once it woke");
    report_.Check(counted,
                  "paused-server: the monitor counted every notification open at the server");
  }

  // (f) Index files a careless or hostile worker could leave: a FIFO, a link
  // to /dev/zero, a huge file. Their clicks must not block the next click or
  // take the machine's memory.
  void HostileIndex() {
    memory_->ResetPeak();
    const std::string prefix = kResultsPrefix;
    const std::vector<std::string> hostile = {"H_FIFO", "H_ZERO", "H_HUGE"};
    ::unlink((prefix + "H_FIFO.path").c_str());
    ::unlink((prefix + "H_ZERO.path").c_str());
    ::unlink((prefix + "H_HUGE.path").c_str());
    bool made = ::mkfifo((prefix + "H_FIFO.path").c_str(), 0600) == 0;
    made = made && ::symlink("/dev/zero", (prefix + "H_ZERO.path").c_str()) == 0;
    const int huge =
        ::open((prefix + "H_HUGE.path").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    made = made && huge >= 0 && ::ftruncate(huge, static_cast<off_t>(scale_.huge_index_bytes)) == 0;
    if (huge >= 0) ::close(huge);
    report_.Check(made, "hostile-index: the index files were made");

    ReplyPipe worker("/tmp/activator-stress-w-" + std::to_string(::getpid()) + ".sock");
    for (const auto& job : hostile) {
      Send("acao=continuar&id_execucao=" + job + "&estado=executando");
      Send("acao=atualizar&id_execucao=" + job + "&estado=concluido");
    }
    Send("acao=continuar&id_execucao=H_WORKER&pipe=" + worker.path() + "&estado=executando");
    Send("acao=atualizar&id_execucao=H_WORKER&estado=concluido");
    auto concluded = [&](const std::string& job) {
      auto call = LastCallFor(*server_, job);
      return call && call->body.rfind("Processo Concluido", 0) == 0 ? call : std::nullopt;
    };
    WaitUntil([&] { return concluded("H_WORKER").has_value(); }, kProgressBound);
    for (const auto& job : hostile) {
      if (auto call = concluded(job)) server_->Click(call->id, call->actions.at(0));
    }
    const auto start = Clock::now();
    bool delivered = false;
    if (auto call = concluded("H_WORKER")) {
      server_->Click(call->id, call->actions.at(0));
      delivered = WaitUntil([&] { return !worker.Received().empty(); }, kClickBound);
    }
    const double delay = Seconds(Clock::now() - start);
    // Lets a reader stuck on the FIFO go.
    const int fifo = ::open((prefix + "H_FIFO.path").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fifo >= 0) ::close(fifo);
    std::this_thread::sleep_for(1s);

    report_.Figure("hostile-index: huge index (MiB)", scale_.huge_index_bytes >> 20);
    report_.Figure("hostile-index: next click delivered after (s)", delay);
    report_.Figure("hostile-index: resident memory peak (KiB)", memory_->peak_kb());
    report_.Check(delivered, "hostile-index: a worker's click after them was delivered within " +
                                 std::to_string(kClickBound.count()) + " s");
    report_.Check(!memory_->killed(), "hostile-index: resident memory stayed under " +
                                          std::to_string(kRssKillKb / 1024) + " MiB");
    for (const auto& job : hostile) ::unlink((prefix + job + ".path").c_str());
  }

  // (g) A flood of jobs, half of them concluded, and the program killed
  // (SIGKILL) while notifications are on screen and jobs still wait in the
  // queue; then started again, as the session service would, and the other
  // half concluded. Every job must end shown in its concluded form, and no
  // job may have two notifications open: the restarted program replaces what
  // its predecessor showed. The server here tells every connection of a
  // close, so the notifications left from before are counted down as the
  // user closes them.
  void CrashRestart() {
    server_->BroadcastSignals(true);
    server_->ResetCalls();
    server_->ResetMaxOpen();
    auto dismisser = std::make_unique<Dismisser>(*server_);
    const int n = scale_.flood_jobs;
    auto id = [](int i) { return "R" + std::to_string(i); };
    for (int i = 0; i < n; ++i) Send("acao=continuar&id_execucao=" + id(i) + "&estado=executando");
    for (int i = 0; i < n / 2; ++i)
      Send("acao=atualizar&id_execucao=" + id(i) + "&estado=concluido");
    const bool received = log_.WaitForLine(
        "VELDUNA ESTADO REGISTRADO=" + id(n / 2 - 1) + " ESTADO=concluido", kIntakeBound);
    const std::size_t shown_before = server_->Calls().size();

    const std::size_t restart_line = log_.LineCount();
    program_.Kill();
    const auto restart = Clock::now();
    const bool restarted = program_.Start(bus_.address()) &&
                           log_.WaitForLine("PYTHON PIPE SERVER START", kIntakeBound, restart_line);
    const double restart_s = Seconds(Clock::now() - restart);
    std::string restored;
    for (const auto& line : log_.LinesFrom(restart_line))
      if (line.rfind("ESTADO ", 0) == 0) restored = line;
    for (int i = n / 2; i < n; ++i)
      Send("acao=atualizar&id_execucao=" + id(i) + "&estado=concluido");

    // Until every job's last form is the concluded one, or nothing more is
    // shown for kProgressBound.
    std::map<uint32_t, std::string> job_of_id;
    auto concluded = [&] {
      std::map<std::string, bool> last;
      for (const auto& call : server_->Calls()) {
        last[JobOf(call)] = call.body.rfind("Processo Concluido", 0) == 0;
        job_of_id[call.id] = JobOf(call);
      }
      int done = 0;
      for (int i = 0; i < n; ++i) done += last[id(i)] ? 1 : 0;
      return done;
    };
    int done = 0, last_done = -1;
    auto last_progress = Clock::now();
    while ((done = concluded()) < n && Clock::now() - last_progress <= kProgressBound) {
      if (done != last_done) {
        last_done = done;
        last_progress = Clock::now();
      }
      std::this_thread::sleep_for(50ms);
    }
    dismisser.reset();
    concluded();
    std::map<std::string, int> open_per_job;
    int doubled = 0;
    for (uint32_t open : server_->OpenIds())
      if (++open_per_job[job_of_id[open]] == 2) ++doubled;
    for (uint32_t open : server_->OpenIds()) server_->Dismiss(open);
    server_->BroadcastSignals(false);

    report_.Figure("crash-restart: jobs", static_cast<uint64_t>(n));
    report_.Figure("crash-restart: shown before the kill", static_cast<uint64_t>(shown_before));
    report_.Figure("crash-restart: restarted and serving after (s)", restart_s);
    report_.Figure("crash-restart: restored", restored);
    report_.Figure("crash-restart: concluded form shown", static_cast<uint64_t>(done));
    report_.Figure("crash-restart: most open at once", static_cast<uint64_t>(server_->MaxOpen()));
    report_.Check(received && restarted, "crash-restart: the program took the jobs and restarted");
    report_.Check(done == n, "crash-restart: every job was shown in its concluded form");
    report_.Check(doubled == 0, "crash-restart: no job had two notifications open");
  }

  Scale scale_;
  std::set<std::string> skip_;
  PrivateBus bus_;
  std::unique_ptr<ScriptedServer> server_;
  Program program_;
  std::unique_ptr<MemoryWatch> memory_;
  LogReader log_;
  Report report_;
};

}  // namespace
}  // namespace activator::stress

int main(int argc, char** argv) {
  using namespace activator::stress;
  Scale scale = kFull;
  std::set<std::string> skip;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--small") {
      scale = kSmall;
    } else if (arg.rfind("--skip=", 0) == 0) {
      std::stringstream names(arg.substr(7));
      for (std::string name; std::getline(names, name, ',');)
        if (!name.empty()) skip.insert(name);
    } else {
      std::fprintf(stderr, "usage: %s [--small] [--skip=PHASE,...]\n", argv[0]);
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  return Run(scale, std::move(skip)).Main();
}
