// Byte links: a program started with its standard input and output as pipes
// this process owns (activator-remote's ssh), this process's own standard
// input and output as one link (the server side under ssh), and the requests
// to end that a long-running link program obeys.
//
// On Windows only the desktop's parts are built: LinkedProcess and the end
// requests. The server's (the standard link, LocalLink, LocalLinkServer,
// RunDetached) fail there at once: reads end, writes fail, nothing connects,
// listens or starts.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/child_process.h"

namespace activator {

enum class LinkRead {
  kRead,     // bytes were appended
  kNothing,  // none came within the wait
  kEnded,    // the other end closed, or the read failed
};

class LinkedProcess {
 public:
  // Starts `argv` (argv[0] found along PATH) with its standard input and
  // output connected to this process alone; its standard error is this
  // process's, so what it says reaches the user. It shares this process's
  // terminal, so a password prompt still works.
  static std::optional<LinkedProcess> Start(const std::vector<std::string>& argv,
                                            ChildStartFailure* failure);

  LinkedProcess(LinkedProcess&&) noexcept;
  LinkedProcess& operator=(LinkedProcess&&) noexcept;
  ~LinkedProcess();  // ends the program if it still runs, and reaps it

  // Writes all of `bytes`; false once the program no longer reads.
  bool Write(std::string_view bytes);
  // Appends what the program wrote, waiting at most `wait` for a first byte.
  LinkRead Read(std::string& bytes, std::chrono::milliseconds wait);
  // Asks it to end (SIGTERM; on Windows it is terminated, with what it
  // started, and reports 143 as a shell would for SIGTERM).
  void RequestStop();
  // Waits for it to end: its status as a shell reports it (128 + a signal).
  int Wait();

  struct Impl;

 private:
  explicit LinkedProcess(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// This process's own standard input and output, as a link of raw bytes.
// Call PrepareStandardLink first: writes to a reader that went away then fail
// instead of ending the process.
void PrepareStandardLink();
LinkRead ReadStandardInput(std::string& bytes, std::chrono::milliseconds wait);
bool WriteStandardOutput(std::string_view bytes);

// From now on SIGINT and SIGTERM (on Windows the console's Ctrl-C, Ctrl-Break
// and close) only set a flag the program polls, so it can end in order. A
// closed console leaves the process a few seconds for that.
void CatchEndRequests();
bool EndRequested() noexcept;

// A byte stream between two processes of this user on this machine, at the
// socket of the pipe name `name` (SocketPathForPipe): activator-remote's
// server side and the keeper that outlives its links.
class LocalLink {
 public:
  // Connects to the keeper serving `name`; nullopt when none listens there.
  static std::optional<LocalLink> Connect(const std::string& name);
  LocalLink(LocalLink&&) noexcept;
  LocalLink& operator=(LocalLink&&) noexcept;
  ~LocalLink();
  LinkRead Read(std::string& bytes, std::chrono::milliseconds wait);
  bool Write(std::string_view bytes);
  // Ends both directions, for the peer and for this process's other threads,
  // before the link itself is let go.
  void Shut();
  explicit LocalLink(int fd);

 private:
  int fd_ = -1;
};

class LocalLinkServer {
 public:
  // Listens at `name`, replacing whatever socket was there: the caller holds
  // the single-instance rule already (the job pipe).
  static std::optional<LocalLinkServer> Listen(const std::string& name);
  LocalLinkServer(LocalLinkServer&&) noexcept;
  LocalLinkServer& operator=(LocalLinkServer&&) noexcept;
  ~LocalLinkServer();
  // The next peer of this user within `wait`; others are dropped unheard.
  std::optional<LocalLink> Accept(std::chrono::milliseconds wait);

 private:
  explicit LocalLinkServer(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Runs `body` in a copy of this process that leaves its session and
// terminal, with standard input from /dev/null and standard output and error
// written afresh to `log_path`, and ends with what body returns. Body's
// `tell` hands one byte back to this process, which waits for it: the byte,
// or nullopt when the copy ended (or could not start) without telling. Only
// for a process that has no threads yet.
std::optional<char> RunDetached(
    const std::string& log_path,
    const std::function<int(const std::function<void(char)>& tell)>& body);

}  // namespace activator
