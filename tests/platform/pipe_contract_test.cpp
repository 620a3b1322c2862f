// What the program relies on from a pipe, checked against each port: Unix
// domain sockets on POSIX, the system's named pipes on Windows (under wine).
// Only the seam is used here, so the same cases run on both.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipes.h"
#include "platform/silent_client.h"
#include "support/platform_guard.h"
#include "support/test_lab.h"

#if defined(_WIN32)
// clang-format off
#include "platform/os/windows_support.h"
#include <aclapi.h>
#include <sddl.h>
// clang-format on
#endif

namespace activator {
namespace {

constexpr std::size_t kReadLimit = 4095;  // what the job pipe server reads at once
// Far more than a client that writes at once ever needs.
constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(30);

std::string FreshPipeName() { return "\\\\.\\pipe\\" + testing::UniqueName("contract"); }

PipeServerInstance MakeInstance(const std::string& name) {
  PipeErrorCode error = 0;
  std::optional<PipeServerInstance> instance = PipeServerInstance::Create(name, &error);
  EXPECT_TRUE(instance.has_value()) << "error " << error;
  if (!instance) std::abort();
  return std::move(*instance);
}

std::optional<std::string> Read(PipeServerInstance& instance) {
  PipeReadResult read = instance.ReadMessage(kReadLimit, kPatience, kPatience);
  if (read.status != PipeReadStatus::kRead) return std::nullopt;
  return std::move(read.bytes);
}

// A client that wrote and closed before the server waited for it (the job
// pipe server creates the next instance only after handling a message) still
// delivers every byte, NULs and bytes above 0x7F included; a client that
// wrote nothing gives no message.
TEST(PipeContractTest, MessagesArriveExactlyAndEmptyConnectionsGiveNothing) {
  const std::string name = FreshPipeName();
  const std::string message = std::string("continuar|J1|\\\\.\\pipe\\r\0\xff\xc3\xa9", 23) + "end";
  {
    PipeServerInstance instance = MakeInstance(name);
    PipeSendResult sent = WriteMessageToPipe(name, message);
    ASSERT_EQ(sent.status, PipeSendStatus::kSent) << "error " << sent.error;
    ASSERT_TRUE(instance.WaitForClient());
    EXPECT_EQ(Read(instance), message);
    instance.DisconnectAndClose();
  }
  {
    PipeServerInstance instance = MakeInstance(name);
    EXPECT_EQ(WriteMessageToPipe(name, "").status, PipeSendStatus::kSent);
    ASSERT_TRUE(instance.WaitForClient());
    EXPECT_EQ(Read(instance), std::nullopt);
    instance.DisconnectAndClose();
  }
}

// One read takes at most the limit; what is left of a longer message goes with
// the connection.
TEST(PipeContractTest, OneReadTakesAtMostTheLimit) {
  const std::string name = FreshPipeName();
  std::string message(5000, 'x');
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>('a' + i % 26);
  PipeServerInstance instance = MakeInstance(name);
  // The client may have to wait for the server to read before its one write
  // completes (a named pipe buffers 4096 bytes), so it runs on its own thread.
  auto client = std::async(std::launch::async, [&] { return WriteMessageToPipe(name, message); });
  ASSERT_TRUE(instance.WaitForClient());
  const PipeReadResult first = instance.ReadMessage(kReadLimit, kPatience, kPatience);
  ASSERT_EQ(first.status, PipeReadStatus::kRead);
  EXPECT_LE(first.bytes.size(), kReadLimit);
  EXPECT_EQ(first.bytes, message.substr(0, first.bytes.size()));
  EXPECT_EQ(first.end, PipeReadEnd::kFull);
  instance.DisconnectAndClose();
  ASSERT_EQ(client.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  // Whether the client heard of the lost rest depends on the port's buffers.
  EXPECT_NE(client.get().status, PipeSendStatus::kOpenFailed);
}

// The pipe is a byte stream: a message written in two calls is read whole,
// up to the client's close or, while it stays connected, up to a pause after
// its last byte or the limit of the whole read. The read says which: only a
// close vouches that nothing more was on its way.
TEST(PipeContractTest, MessageWrittenInPiecesIsReadWhole) {
  const std::string name = FreshPipeName();
  struct Case {
    bool close_after;
    std::chrono::milliseconds limit;
    std::chrono::milliseconds pause;
    PipeReadEnd end;
  };
  using std::chrono::milliseconds;
  for (const Case c : {Case{true, kPatience, kPatience, PipeReadEnd::kClosed},
                       Case{false, kPatience, milliseconds(50), PipeReadEnd::kPause},
                       Case{false, milliseconds(1000), kPatience, PipeReadEnd::kLimit}}) {
    PipeServerInstance instance = MakeInstance(name);
    testing::SilentClient client(name);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(instance.WaitForClient());
    auto read = std::async(std::launch::async,
                           [&] { return instance.ReadMessage(kReadLimit, c.limit, c.pause); });
    ASSERT_TRUE(client.Write("acao=atualizar&id_execucao=SP1&estado=conc"));
    // Long enough for the server to take the first piece on its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(client.Write("luido"));
    if (c.close_after) client.Close();
    const bool ended = read.wait_for(kPatience) == std::future_status::ready;
    client.Close();  // releases a read that would not end
    ASSERT_TRUE(ended);
    const PipeReadResult result = read.get();
    EXPECT_EQ(result.status, PipeReadStatus::kRead);
    EXPECT_EQ(result.end, c.end);
    if (c.close_after) {
      EXPECT_EQ(result.bytes, "acao=atualizar&id_execucao=SP1&estado=concluido");
    }
    instance.DisconnectAndClose();
  }
}

// A client that connects and writes nothing is given up once the limit has
// passed, and the next instance serves the next client as before.
TEST(PipeContractTest, SilentClientIsGivenUpAtTheLimit) {
  const std::string name = FreshPipeName();
  {
    PipeServerInstance instance = MakeInstance(name);
    testing::SilentClient silent(name);
    ASSERT_TRUE(silent.connected());
    ASSERT_TRUE(instance.WaitForClient());
    auto read = std::async(std::launch::async, [&] {
      return instance.ReadMessage(kReadLimit, std::chrono::milliseconds(200),
                                  std::chrono::milliseconds(200));
    });
    const bool ended = read.wait_for(kPatience) == std::future_status::ready;
    silent.Close();  // releases a read that never gives up
    EXPECT_TRUE(ended);
    const PipeReadResult result = read.get();
    EXPECT_EQ(result.status, PipeReadStatus::kTimedOut);
    EXPECT_TRUE(result.bytes.empty());
  }
  // The same short limit costs a client that has written nothing.
  PipeServerInstance instance = MakeInstance(name);
  ASSERT_EQ(WriteMessageToPipe(name, "next").status, PipeSendStatus::kSent);
  ASSERT_TRUE(instance.WaitForClient());
  const PipeReadResult next = instance.ReadMessage(kReadLimit, std::chrono::milliseconds(200),
                                                   std::chrono::milliseconds(200));
  EXPECT_EQ(next.status, PipeReadStatus::kRead);
  EXPECT_EQ(next.bytes, "next");
}

// A peer that takes the connection and never reads holds the writer only until
// the limit: the message is larger than every buffer between them.
TEST(PipeContractTest, WriteToAPeerThatNeverReadsIsGivenUpAtTheLimit) {
  const std::string name = FreshPipeName();
  PipeServerInstance instance = MakeInstance(name);
  auto write = std::async(std::launch::async, [&] {
    return WriteMessageToPipe(name, std::string(8 << 20, 'x'), std::chrono::milliseconds(200));
  });
  const bool ended = write.wait_for(kPatience) == std::future_status::ready;
  instance.DisconnectAndClose();  // releases a write that never gives up
  EXPECT_TRUE(ended);
  EXPECT_EQ(write.get().status, PipeSendStatus::kTimedOut);
}

// ERROR_FILE_NOT_FOUND on Windows, ENOENT on POSIX: both are 2.
TEST(PipeContractTest, NameWithNothingBehindItFailsWithCodeTwo) {
  PipeSendResult result = WriteMessageToPipe(FreshPipeName(), "x");
  EXPECT_EQ(result.status, PipeSendStatus::kOpenFailed);
  EXPECT_EQ(result.error, 2u);
}

// A named pipe of one instance is busy while a client holds it: the next
// client fails at once with ERROR_PIPE_BUSY instead of waiting, and the
// first client's message is unharmed. (On POSIX a later client waits in the
// listen backlog instead; the event pipe client's tests cover a full one.)
TEST(PipeContractTest, BusyPipeFailsAtOnce) {
  if (!testing::kWindowsPort) GTEST_SKIP() << "a Unix socket queues later clients";
  const std::string name = FreshPipeName();
  PipeServerInstance instance = MakeInstance(name);
  ASSERT_EQ(WriteMessageToPipe(name, "first").status, PipeSendStatus::kSent);
  PipeSendResult second = WriteMessageToPipe(name, "second");
  EXPECT_EQ(second.status, PipeSendStatus::kOpenFailed);
  EXPECT_EQ(second.error, 231u);  // ERROR_PIPE_BUSY
  ASSERT_TRUE(instance.WaitForClient());
  EXPECT_EQ(Read(instance), "first");
}

#if defined(_WIN32)

std::string SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return "?";
  const std::wstring wide(text);
  ::LocalFree(text);
  return std::string(wide.begin(), wide.end());
}

// The pipe's access list names this user and the system, and nobody else: the
// default one lets everyone and anonymous clients read, and another user's
// process could open it.
TEST(PipeContractTest, OnlyThisUserAndTheSystemMayOpenThePipe) {
  const std::string name = FreshPipeName();
  PipeServerInstance instance = MakeInstance(name);
  UniqueHandle client(
      ::CreateFileA(name.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(client) << ::GetLastError();
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(::GetSecurityInfo(client.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(dacl, nullptr);
  std::vector<std::string> granted;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    granted.push_back(SidText(&ace->SidStart));
  }
  ::LocalFree(descriptor);

  HANDLE token = nullptr;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
  UniqueHandle owned_token(token);
  alignas(TOKEN_USER) char user[512];
  DWORD size = 0;
  ASSERT_TRUE(::GetTokenInformation(token, TokenUser, user, sizeof user, &size));
  std::sort(granted.begin(), granted.end());
  std::vector<std::string> expected = {"S-1-5-18",  // SYSTEM
                                       SidText(reinterpret_cast<TOKEN_USER*>(user)->User.Sid)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(granted, expected);
}

// The job pipe's name is the machine's: a pipe of that name owned by another
// user (another user's activator, or a program of theirs waiting for this
// user's jobs) gets no message, however open its access list. A worker run as
// administrator owns its pipe as the Administrators group, which is as
// trusted as this user when this user is an administrator (wine's user is
// one). A pipe without an owner, which only wine makes (NULL security), says
// nothing of whose it is. Wine keeps an owner given at creation and checks no
// privilege for it, so the other user is a pipe made here with another SID as
// its owner.
TEST(PipeContractTest, OnlyAPipeOfThisUserOrItsAdministratorsGetsTheMessage) {
  struct Case {
    const wchar_t* descriptor;  // nullptr: NULL security
    PipeSendStatus status;
  };
  const Case cases[] = {
      {L"O:S-1-5-21-1004336348-1177238915-682003330-1001D:(A;;GA;;;WD)",
       PipeSendStatus::kOtherUser},
      {L"O:BAD:(A;;GA;;;WD)", PipeSendStatus::kSent},
      {nullptr, PipeSendStatus::kUnknownOwner},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.descriptor != nullptr ? std::wstring(c.descriptor) : L"NULL security");
    const std::string name = FreshPipeName();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (c.descriptor != nullptr) {
      ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          c.descriptor, SDDL_REVISION_1, &descriptor, nullptr));
    }
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    UniqueHandle server(::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND,
                                           PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                           descriptor != nullptr ? &security : nullptr));
    ::LocalFree(descriptor);
    ASSERT_TRUE(server) << ::GetLastError();
    EXPECT_EQ(WriteMessageToPipe(name, "job").status, c.status);
    DWORD waiting = 0;
    if (::PeekNamedPipe(server.get(), nullptr, 0, nullptr, &waiting, nullptr))
      EXPECT_EQ(waiting, c.status == PipeSendStatus::kSent ? 3u : 0u);
    else
      EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  }
}

#endif

}  // namespace
}  // namespace activator
