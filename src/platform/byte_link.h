// Byte links: a program started with its standard input and output as pipes
// this process owns (activator-remote's ssh), this process's own standard
// input and output as one link (the server side under ssh), and the requests
// to end that a long-running link program obeys.
#pragma once

#include <chrono>
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
  // Asks it to end (SIGTERM; on Windows it is terminated).
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

// From now on SIGINT and SIGTERM (on Windows the console's Ctrl-C and close)
// only set a flag the program polls, so it can end in order.
void CatchEndRequests();
bool EndRequested() noexcept;

}  // namespace activator
