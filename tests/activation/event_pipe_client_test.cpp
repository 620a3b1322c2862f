// The event pipe client over the pipe port: what the worker receives, the
// system codes in the log, and that no connection outlives a call.
#include "activation/event_pipe_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "activation/reply_listener.h"
#include "support/log_capture.h"
#include "support/test_lab.h"

#if !defined(_WIN32)
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/pipe_names.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/unix_socket.h"
#endif

namespace activator {
namespace {

using Lines = std::vector<std::string>;
using testing::LogTail;
using testing::ReplyListener;

TEST(SendToPipe, DeliversExactlyTheMessageAndClosesTheConnection) {
  ReplyListener worker;
  ASSERT_TRUE(worker.listening());
  // Separators, non-ASCII bytes and a NUL travel as they are.
  const std::string message = std::string(
      "acao=x&id_execucao=a=b&estado=conclu\xC3\xAD"
      "do\0z",
      42);

  LogTail log;
  EXPECT_TRUE(SendToPipe(message, worker.pipe_name()));

  // Reading to the end proves the connection was closed, and that nothing
  // (no terminator, no line end) follows the message.
  EXPECT_EQ(worker.ReceiveOne(), message);
  EXPECT_EQ(log.Lines(), (Lines{"PIPE CONNECT", "PIPE SENT=" + message.substr(0, 40) + "\\x00z"}));
}

// The vanished peer is a failure, not a signal that ends the process.
TEST(SendToPipe, WorkerGoneDuringTheWriteIsAFailedWrite) {
  ReplyListener worker;
  ASSERT_TRUE(worker.listening());
  // Far more than the pipe or socket buffers hold while nobody reads, so the
  // write is still under way when the worker goes.
  const std::string message(8 << 20, 'x');

  LogTail log;
  std::promise<bool> sent;
  std::future<bool> outcome = sent.get_future();
  std::thread client([&] { sent.set_value(SendToPipe(message, worker.pipe_name())); });
  const bool connected = worker.WaitForClient();
  worker.Close();  // drops the connection, read or not
  client.join();
  ASSERT_TRUE(connected);

  EXPECT_FALSE(outcome.get());
  EXPECT_EQ(log.Lines(), (Lines{"PIPE CONNECT", "WRITE FAILED"}));
}

// The click handler runs on the platform's thread, under its lock: a worker
// that takes the connection and never reads costs one bounded wait, and the
// click goes on as if the worker were gone.
TEST(SendToPipe, WorkerThatNeverReadsIsGivenUpAtTheLimit) {
  ReplyListener worker;
  ASSERT_TRUE(worker.listening());
  const std::string message(8 << 20, 'x');  // more than every buffer holds

  LogTail log;
  auto sent =
      std::async(std::launch::async, [&] { return SendToPipe(message, worker.pipe_name()); });
  const bool returned = sent.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  worker.Close();  // releases a write that never gives up
  ASSERT_TRUE(returned);
  EXPECT_FALSE(sent.get());
  EXPECT_EQ(log.Lines(), (Lines{"PIPE CONNECT", "WRITE TIMEOUT"}));
}

#if defined(_WIN32)

// The name comes from a job message: only a pipe of this machine is opened.
// A file would be overwritten with the event, and a name on another host
// opens a network connection with this user's credentials.
TEST(SendToPipe, NameThatIsNotALocalPipeIsRefusedUnopened) {
  const std::string file = testing::LabPath(testing::UniqueName("not-a-pipe") + ".txt");
  testing::WriteFile(file, "the user's data");
  const std::string drive_less = file.substr(file.find(':') + 1);  // "\...\file.txt"
  const std::vector<std::string> names = {file,
                                          "\\\\.\\pipe\\..\\..\\" + file,
                                          "\\\\.\\pipe\\a\\..\\..\\..\\" + drive_less,
                                          "\\\\.\\pipe\\x/../../" + file,
                                          "\\\\.\\pipe\\.. \\.. \\" + drive_less.substr(1),
                                          "\\\\.\\pipe\\...\\... \\" + drive_less.substr(1),
                                          "\\\\.\\pipe\\x.\\reply",
                                          "\\\\otherhost\\pipe\\reply",
                                          "\\\\?\\" + file,
                                          "\\\\.\\" + file.substr(0, 2),
                                          "\\\\.\\pipe\\"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    LogTail log;
    EXPECT_FALSE(SendToPipe("acao=salvar&id_execucao=1&estado=concluido", name));
    EXPECT_EQ(log.Lines(), (Lines{"PIPE CONNECT", "PIPE NAO LOCAL"}));
  }
  EXPECT_EQ(testing::ReadFile(file), "the user's data");
  // Capitals in the folder's name are the same folder.
  ReplyListener worker;
  std::string upper = worker.pipe_name();
  upper.replace(4, 4, "PIPE");
  EXPECT_TRUE(SendToPipe("m", upper));
  EXPECT_EQ(worker.ReceiveOne(), "m");
}

TEST(SendToPipe, FailedOpenLogsTheSystemCode) {
  LogTail log;
  EXPECT_FALSE(SendToPipe("acao=abortar&id_execucao=1&estado=executando",
                          "\\\\.\\pipe\\" + testing::UniqueName("absent")));
  EXPECT_EQ(log.Lines(), (Lines{"PIPE CONNECT", "PIPE FAILED=2"}));  // ERROR_FILE_NOT_FOUND
}

// The worker's one instance is taken by a client it has not let go yet.
TEST(SendToPipe, BusyWorkerFailsAtOnce) {
  ReplyListener worker;
  ASSERT_TRUE(worker.listening());
  ASSERT_TRUE(SendToPipe("first", worker.pipe_name()));

  LogTail log;
  EXPECT_FALSE(SendToPipe("m", worker.pipe_name()));
  EXPECT_EQ(log.Lines(), (Lines{"PIPE CONNECT", "PIPE FAILED=231"}));  // ERROR_PIPE_BUSY
  EXPECT_EQ(worker.ReceiveOne(), "first");
}

#else  // POSIX

std::size_t OpenDescriptorCount() {
  std::size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

// Fills the listener's backlog with connections nobody accepts; returns them.
std::vector<UniqueFd> FillBacklog(const ReplyListener& worker) {
  std::vector<UniqueFd> queued;
  sockaddr_un addr;
  socklen_t length = 0;
  if (MakeSocketAddress(worker.socket_path(), &addr, &length) != 0) return queued;
  for (int i = 0; i < 256; ++i) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), length) != 0) break;
    queued.push_back(std::move(fd));
  }
  return queued;
}

TEST(SendToPipe, NameIsUsedAsReceived) {
  // A name outside the "\\.\pipe\" form is a socket path as it stands.
  ReplyListener worker;
  EXPECT_TRUE(SendToPipe("m", worker.socket_path()));
  EXPECT_EQ(worker.ReceiveOne(), "m");
}

TEST(SendToPipe, FailedOpenLogsTheSystemCode) {
  // A socket file left behind by a worker that is gone: bound, not listening.
  const std::string stale_path = SocketPathForPipe("\\\\.\\pipe\\" + testing::UniqueName("stale"));
  {
    sockaddr_un addr;
    socklen_t length = 0;
    ASSERT_EQ(MakeSocketAddress(stale_path, &addr, &length), 0);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), length), 0);
  }

  struct Case {
    std::string name;
    std::string code;
  } cases[] = {
      {"\\\\.\\pipe\\" + testing::UniqueName("absent"), "2"},  // nothing behind the name
      {"", "2"},
      {stale_path, "111"},                              // ECONNREFUSED
      {"\\\\.\\pipe\\" + std::string(200, 'n'), "36"},  // ENAMETOOLONG, never cut
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogTail log;
    EXPECT_FALSE(SendToPipe("acao=abortar&id_execucao=1&estado=executando", c.name));
    EXPECT_EQ(log.Lines(), (Lines{"PIPE CONNECT", "PIPE FAILED=" + c.code}));
  }
  ::unlink(stale_path.c_str());
}

TEST(SendToPipe, BusyWorkerFailsAtOnce) {
  ReplyListener worker(/*backlog=*/0);
  ASSERT_TRUE(worker.listening());
  std::vector<UniqueFd> queued = FillBacklog(worker);
  ASSERT_FALSE(queued.empty());

  LogTail log;
  std::promise<bool> sent;
  std::future<bool> outcome = sent.get_future();
  std::thread client([&] { sent.set_value(SendToPipe("m", worker.pipe_name())); });
  const bool returned = outcome.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!returned) worker.Close();  // frees a client stuck waiting for the backlog
  client.join();
  ASSERT_TRUE(returned) << "the client waited for a busy worker";

  EXPECT_FALSE(outcome.get());
  EXPECT_EQ(log.Lines(), (Lines{"PIPE CONNECT", "PIPE FAILED=11"}));  // EAGAIN
}

TEST(SendToPipe, NoDescriptorOutlivesACall) {
  ReplyListener worker;
  const std::size_t before = OpenDescriptorCount();
  EXPECT_TRUE(SendToPipe("m", worker.pipe_name()));
  EXPECT_FALSE(SendToPipe("m", "\\\\.\\pipe\\" + testing::UniqueName("absent")));
  EXPECT_FALSE(SendToPipe("m", ""));
  EXPECT_EQ(OpenDescriptorCount(), before);
  EXPECT_EQ(worker.ReceiveOne(), "m");
}

#endif

}  // namespace
}  // namespace activator
