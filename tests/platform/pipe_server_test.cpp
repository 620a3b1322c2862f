// The server end of the pipe port, driven by bare socket clients.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "platform/pipes.h"
#include "platform/posix/pipe_names.h"
#include "platform/socket_test_client.h"
#include "support/test_lab.h"

namespace activator {
namespace {

using testing::ConnectToSocket;
using testing::ReadFile;
using testing::SendToSocket;
using testing::UniqueName;
using testing::WriteFile;

std::string UniquePipeName() { return "\\\\.\\pipe\\" + UniqueName("server"); }

PipeServerInstance CreateOrFail(const std::string& name) {
  PipeErrorCode error = 0;
  auto instance = PipeServerInstance::Create(name, &error);
  EXPECT_TRUE(instance.has_value()) << "errno " << error;
  if (!instance) std::abort();
  return std::move(*instance);
}

// One read as the job pipe server makes it; the clients here write at once.
std::optional<std::string> Read(PipeServerInstance& instance) {
  PipeReadResult read =
      instance.ReadMessage(4095, std::chrono::seconds(30), std::chrono::seconds(30));
  if (read.status != PipeReadStatus::kRead) return std::nullopt;
  return std::move(read.bytes);
}

// Serves one connection the way the job pipe server does.
std::optional<std::string> ServeOne(const std::string& name) {
  PipeServerInstance instance = CreateOrFail(name);
  EXPECT_TRUE(instance.WaitForClient());
  auto read = Read(instance);
  instance.DisconnectAndClose();
  return read;
}

// A socket file with nobody accepting on it, as a server that died leaves it.
void LeaveStaleSocketFile(const std::string& path) {
  sockaddr_un addr;
  socklen_t length = 0;
  ASSERT_EQ(MakeSocketAddress(path, &addr, &length), 0);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), length), 0);
  ASSERT_EQ(::listen(fd.get(), 1), 0);
}

TEST(PipeServerTest, ReadsWhatAClientWroteAndNothingFromOneThatClosedAtOnce) {
  const std::string name = UniquePipeName();
  const std::string path = SocketPathForPipe(name);
  PipeServerInstance first = CreateOrFail(name);  // makes the socket
  ASSERT_TRUE(SendToSocket(path, "acao=continuar&id_execucao=J1"));
  ASSERT_TRUE(first.WaitForClient());
  EXPECT_EQ(Read(first), "acao=continuar&id_execucao=J1");
  first.DisconnectAndClose();

  {
    UniqueFd silent = ConnectToSocket(path);
    ASSERT_TRUE(silent);
  }
  EXPECT_EQ(ServeOne(name), std::nullopt);
}

TEST(PipeServerTest, OneReadTakesAtMostTheLimitAndClosingDropsTheRest) {
  const std::string name = UniquePipeName();
  const std::string path = SocketPathForPipe(name);
  PipeServerInstance instance = CreateOrFail(name);
  ASSERT_TRUE(SendToSocket(path, std::string(5000, 'a')));
  ASSERT_TRUE(SendToSocket(path, "next"));
  ASSERT_TRUE(instance.WaitForClient());
  EXPECT_EQ(Read(instance), std::string(4095, 'a'));
  instance.DisconnectAndClose();
  EXPECT_EQ(ServeOne(name), "next");
}

TEST(PipeServerTest, ClientsThatConnectBetweenInstancesWaitAndKeepTheirOrder) {
  const std::string name = UniquePipeName();
  const std::string path = SocketPathForPipe(name);
  CreateOrFail(name).DisconnectAndClose();
  // No instance exists now; a named-pipe server would turn these away.
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(SendToSocket(path, "m" + std::to_string(i)));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ServeOne(name), "m" + std::to_string(i));
}

TEST(PipeServerTest, SocketIsOwnerOnly) {
  const std::string name = UniquePipeName();
  const mode_t old_umask = ::umask(0);  // the mode must not depend on the umask
  PipeServerInstance instance = CreateOrFail(name);
  ::umask(old_umask);
  struct stat st {};
  ASSERT_EQ(::lstat(SocketPathForPipe(name).c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(PipeServerTest, StaleSocketFileIsReplaced) {
  const std::string name = UniquePipeName();
  const std::string path = SocketPathForPipe(name);
  LeaveStaleSocketFile(path);
  ASSERT_TRUE(SendToSocket(path, "x") == false);  // nobody accepts on it
  PipeServerInstance instance = CreateOrFail(name);
  ASSERT_TRUE(SendToSocket(path, "after restart"));
  ASSERT_TRUE(instance.WaitForClient());
  EXPECT_EQ(Read(instance), "after restart");
}

TEST(PipeServerTest, LiveSocketOfAnotherServerMakesCreateFailAndIsLeftAlone) {
  const std::string name = UniquePipeName();
  const std::string path = SocketPathForPipe(name);
  sockaddr_un addr;
  socklen_t length = 0;
  ASSERT_EQ(MakeSocketAddress(path, &addr, &length), 0);
  UniqueFd other(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(other.get(), reinterpret_cast<const sockaddr*>(&addr), length), 0);
  ASSERT_EQ(::listen(other.get(), 8), 0);

  for (int attempt = 0; attempt < 2; ++attempt) {
    PipeErrorCode error = 0;
    EXPECT_FALSE(PipeServerInstance::Create(name, &error).has_value());
    EXPECT_EQ(error, static_cast<PipeErrorCode>(EADDRINUSE));
  }
  // The other server still owns the path and gets the next client, after the
  // two probes, which it sees as clients that closed without writing.
  ASSERT_TRUE(SendToSocket(path, "for the other"));
  std::vector<ssize_t> reads;
  for (int i = 0; i < 3; ++i) {
    UniqueFd accepted(::accept4(other.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    char buffer[32] = {};
    reads.push_back(::recv(accepted.get(), buffer, sizeof buffer, 0));
  }
  EXPECT_EQ(reads, (std::vector<ssize_t>{0, 0, 13}));
}

TEST(PipeServerTest, FileThatIsNotASocketIsNeverRemoved) {
  const std::string name = UniquePipeName();
  const std::string path = SocketPathForPipe(name);
  WriteFile(path, "someone's data");
  PipeErrorCode error = 0;
  EXPECT_FALSE(PipeServerInstance::Create(name, &error).has_value());
  EXPECT_EQ(error, static_cast<PipeErrorCode>(EADDRINUSE));
  EXPECT_EQ(ReadFile(path), "someone's data");
}

TEST(PipeServerTest, UnusablePathsReportTheirErrno) {
  PipeErrorCode error = 0;
  // Cutting the path to fit would bind some other socket.
  EXPECT_FALSE(PipeServerInstance::Create("\\\\.\\pipe\\" + std::string(200, 'x'), &error));
  EXPECT_EQ(error, static_cast<PipeErrorCode>(ENAMETOOLONG));
  EXPECT_FALSE(PipeServerInstance::Create(testing::LabPath("no-such-folder/sock"), &error));
  EXPECT_EQ(error, static_cast<PipeErrorCode>(ENOENT));
}

TEST(PipeServerTest, RemovedSocketFileIsBoundAgain) {
  const std::string name = UniquePipeName();
  const std::string path = SocketPathForPipe(name);
  CreateOrFail(name).DisconnectAndClose();
  ASSERT_EQ(::unlink(path.c_str()), 0);
  PipeServerInstance instance = CreateOrFail(name);
  ASSERT_TRUE(SendToSocket(path, "reachable again"));
  ASSERT_TRUE(instance.WaitForClient());
  EXPECT_EQ(Read(instance), "reachable again");
}

TEST(PipeServerTest, EveryDescriptorIsCloseOnExec) {
  const std::string name = UniquePipeName();
  const std::string path = SocketPathForPipe(name);
  LeaveStaleSocketFile(path);  // so the stale probe runs too
  PipeServerInstance instance = CreateOrFail(name);
  UniqueFd client = ConnectToSocket(path);
  ASSERT_TRUE(client);
  ASSERT_TRUE(instance.WaitForClient());

  int sockets = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  ASSERT_NE(dir, nullptr);
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::stoi(entry->d_name);
    char target[64] = {};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    if (::readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
    if (std::string(target).rfind("socket:", 0) != 0) continue;
    ++sockets;
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
  }
  ::closedir(dir);
  EXPECT_GE(sockets, 3);  // listener, accepted connection, test client
}

}  // namespace
}  // namespace activator
