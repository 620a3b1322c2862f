// Windows byte links: the desktop's end of activator-remote. Its ssh runs
// with two anonymous pipes for standard input and output; as those cannot be
// read with a wait, a thread of the link's own reads the program's output and
// hands it over under a lock. The server's end (this process's own standard
// link, the keeper's local links, the detached copy) runs on Linux only: here
// those parts fail at once, as the header says.
#include "platform/byte_link.h"

#include <atomic>
#include <condition_variable>
#include <thread>
#include <utility>

#include "base/mutex.h"
#include "platform/os/windows_support.h"
#include "platform/windows/command_line.h"
#include "platform/windows/console_control.h"

namespace activator {

namespace {

std::atomic<bool> g_end_requested{false};

// A program ended with TerminateProcess reports what a shell says of one
// ended by SIGTERM, as on POSIX.
constexpr UINT kStoppedStatus = 128 + 15;
// How long a program whose output ended may take to exit before it is ended.
constexpr DWORD kExitGrace = 3000;

BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      g_end_requested.store(true);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The system ends the process once this returns, and soon whatever it
      // does: the main thread gets what time there is to end in order.
      g_end_requested.store(true);
      ::Sleep(kCloseTime);
      return TRUE;
    default:
      return FALSE;
  }
}

// `program` as CreateProcess is to run it, ".exe" added when it has no
// extension: a name without a folder is looked for along PATH only, never in
// the current folder first, as CreateProcess's own search would. Empty when
// there is no such file.
std::wstring FindProgram(const std::wstring& program) {
  std::wstring path;
  if (program.find_first_of(L"\\/:") == std::wstring::npos) {
    const DWORD path_size = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (path_size == 0) return std::wstring();
    path.resize(path_size);
    path.resize(::GetEnvironmentVariableW(L"PATH", path.data(), path_size));
  }
  std::wstring found(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::SearchPathW(path.empty() ? nullptr : path.c_str(), program.c_str(), L".exe",
                      static_cast<DWORD>(found.size()), found.data(), nullptr);
    if (length == 0) return std::wstring();
    if (length < found.size()) {
      found.resize(length);
      return found;
    }
    found.resize(length);
  }
}

// What the reader thread hands over; shared with it, so that a link let go
// while the thread still waits in a read stays valid until that read ends.
struct Output {
  Mutex lock;
  std::condition_variable changed;
  std::string bytes GUARDED_BY(lock);
  bool ended GUARDED_BY(lock) = false;

  bool ReadyLocked() REQUIRES(lock) { return !bytes.empty() || ended; }
};

// Reads the program's output until it ends.
void ReadOutput(UniqueHandle pipe, std::shared_ptr<Output> output) {
  std::string buffer(64 * 1024, '\0');
  DWORD got = 0;
  while (::ReadFile(pipe.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
         got > 0) {
    MutexLock hold(output->lock);
    output->bytes.append(buffer.data(), got);
    output->changed.notify_all();
  }
  MutexLock hold(output->lock);
  output->ended = true;
  output->changed.notify_all();
}

}  // namespace

struct LinkedProcess::Impl {
  UniqueHandle process;
  UniqueHandle job;  // holds what the program starts; may be empty
  UniqueHandle to_child;
  std::shared_ptr<Output> output;
  std::optional<int> status;
};

LinkedProcess::LinkedProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LinkedProcess::LinkedProcess(LinkedProcess&&) noexcept = default;
LinkedProcess& LinkedProcess::operator=(LinkedProcess&&) noexcept = default;

LinkedProcess::~LinkedProcess() {
  if (!impl_ || impl_->status) return;
  impl_->to_child.reset();
  RequestStop();
  Wait();
}

std::optional<LinkedProcess> LinkedProcess::Start(const std::vector<std::string>& argv,
                                                  ChildStartFailure* failure) {
  auto fail = [&](int status, const std::string& message) -> std::optional<LinkedProcess> {
    if (failure != nullptr) *failure = {status, message};
    return std::nullopt;
  };
  if (argv.empty() || argv[0].empty()) return fail(127, "no program given");
  const std::wstring program = FindProgram(WidenUtf8(argv[0]));
  if (program.empty()) return fail(127, argv[0] + ": no such program (along PATH)");
  std::wstring line = CommandLineOf(argv);

  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
  if (!::CreatePipe(&in_read, &in_write, &inheritable, 0))
    return fail(126, "cannot make a pipe, error " + std::to_string(::GetLastError()));
  UniqueHandle child_in(in_read), to_child(in_write);
  if (!::CreatePipe(&out_read, &out_write, &inheritable, 0))
    return fail(126, "cannot make a pipe, error " + std::to_string(::GetLastError()));
  UniqueHandle from_child(out_read), child_out(out_write);
  ::SetHandleInformation(to_child.get(), HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(from_child.get(), HANDLE_FLAG_INHERIT, 0);
  // Our standard error, so that what ssh says reaches the user; none when we
  // have none.
  UniqueHandle errors;
  {
    const HANDLE ours = ::GetStdHandle(STD_ERROR_HANDLE);
    HANDLE copy = nullptr;
    if (ours != nullptr && ours != INVALID_HANDLE_VALUE &&
        ::DuplicateHandle(::GetCurrentProcess(), ours, ::GetCurrentProcess(), &copy, 0, TRUE,
                          DUPLICATE_SAME_ACCESS))
      errors.reset(copy);
  }

  // Only these are inherited: a pipe end of ours in the program would keep
  // the link open after this process let it go.
  std::vector<HANDLE> inherited = {child_in.get(), child_out.get()};
  if (errors) inherited.push_back(errors.get());
  SIZE_T list_size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<char> list_memory(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
  if (list_size == 0 || !::InitializeProcThreadAttributeList(list, 1, 0, &list_size))
    return fail(126,
                "cannot list the inherited handles, error " + std::to_string(::GetLastError()));
  struct ListOwner {
    LPPROC_THREAD_ATTRIBUTE_LIST list;
    ~ListOwner() { ::DeleteProcThreadAttributeList(list); }
  } list_owner{list};
  if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                   inherited.size() * sizeof(HANDLE), nullptr, nullptr))
    return fail(126,
                "cannot list the inherited handles, error " + std::to_string(::GetLastError()));

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = child_in.get();
  startup.StartupInfo.hStdOutput = child_out.get();
  startup.StartupInfo.hStdError = errors ? errors.get() : nullptr;
  startup.lpAttributeList = list;
  PROCESS_INFORMATION info{};
  // The console stays shared, so that ssh can ask for a password on it.
  if (!::CreateProcessW(
          program.c_str(), line.data(), nullptr, nullptr, TRUE,
          CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT, nullptr,
          nullptr, &startup.StartupInfo, &info)) {
    const DWORD error = ::GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return fail(missing ? 127 : 126,
                argv[0] + ": cannot be started, error " + std::to_string(error));
  }
  UniqueHandle thread(info.hThread);
  auto impl = std::make_unique<Impl>();
  impl->process.reset(info.hProcess);
  // What ssh starts (a ProxyCommand, say) goes with it when the link is
  // ended, or when this process dies. Without a job it still runs: ending
  // ssh itself ends the link.
  impl->job.reset(::CreateJobObjectW(nullptr, nullptr));
  if (impl->job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(impl->job.get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits) ||
        !::AssignProcessToJobObject(impl->job.get(), impl->process.get()))
      impl->job.reset();
  }
  ::ResumeThread(thread.get());
  // The program's ends are its own now: its output ends when it exits.
  child_in.reset();
  child_out.reset();
  impl->to_child = std::move(to_child);
  impl->output = std::make_shared<Output>();
  try {
    std::thread(ReadOutput, std::move(from_child), impl->output).detach();
  } catch (const std::system_error&) {
    ::TerminateProcess(impl->process.get(), kStoppedStatus);
    ::WaitForSingleObject(impl->process.get(), kExitGrace);
    return fail(126, "cannot start a thread to read " + argv[0]);
  }
  return LinkedProcess(std::move(impl));
}

bool LinkedProcess::Write(std::string_view bytes) {
  if (!impl_->to_child) return false;
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 20));
    if (!::WriteFile(impl_->to_child.get(), bytes.data(), size, &written, nullptr) || written == 0)
      return false;
    bytes.remove_prefix(written);
  }
  return true;
}

LinkRead LinkedProcess::Read(std::string& bytes, std::chrono::milliseconds wait) {
  Output& output = *impl_->output;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  MutexLock hold(output.lock);
  while (!output.ReadyLocked() && output.lock.WaitUntil(output.changed, deadline)) {
  }
  if (!output.bytes.empty()) {
    bytes.append(output.bytes);
    output.bytes.clear();
    return LinkRead::kRead;
  }
  return output.ended ? LinkRead::kEnded : LinkRead::kNothing;
}

void LinkedProcess::RequestStop() {
  if (impl_->status) return;
  if (impl_->job)
    ::TerminateJobObject(impl_->job.get(), kStoppedStatus);
  else
    ::TerminateProcess(impl_->process.get(), kStoppedStatus);
}

int LinkedProcess::Wait() {
  if (impl_->status) return *impl_->status;
  if (::WaitForSingleObject(impl_->process.get(), kExitGrace) != WAIT_OBJECT_0) {
    RequestStop();
    ::WaitForSingleObject(impl_->process.get(), INFINITE);
  }
  DWORD code = 1;
  ::GetExitCodeProcess(impl_->process.get(), &code);
  impl_->to_child.reset();
  impl_->status = static_cast<int>(code);
  return *impl_->status;
}

void PrepareStandardLink() {}

LinkRead ReadStandardInput(std::string&, std::chrono::milliseconds) { return LinkRead::kEnded; }

bool WriteStandardOutput(std::string_view) { return false; }

void CatchEndRequests() { ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE); }

bool EndRequested() noexcept { return g_end_requested.load(); }

LocalLink::LocalLink(int fd) : fd_(fd) {}
LocalLink::LocalLink(LocalLink&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
LocalLink& LocalLink::operator=(LocalLink&& other) noexcept {
  fd_ = std::exchange(other.fd_, -1);
  return *this;
}
LocalLink::~LocalLink() = default;
std::optional<LocalLink> LocalLink::Connect(const std::string&) { return std::nullopt; }
LinkRead LocalLink::Read(std::string&, std::chrono::milliseconds) { return LinkRead::kEnded; }
bool LocalLink::Write(std::string_view) { return false; }
void LocalLink::Shut() {}

LocalLinkServer::LocalLinkServer(LocalLinkServer&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}
LocalLinkServer& LocalLinkServer::operator=(LocalLinkServer&& other) noexcept {
  fd_ = std::exchange(other.fd_, -1);
  return *this;
}
LocalLinkServer::~LocalLinkServer() = default;
std::optional<LocalLinkServer> LocalLinkServer::Listen(const std::string&) { return std::nullopt; }
std::optional<LocalLink> LocalLinkServer::Accept(std::chrono::milliseconds) { return std::nullopt; }

std::optional<char> RunDetached(const std::string&,
                                const std::function<int(const std::function<void(char)>& tell)>&) {
  return std::nullopt;
}

}  // namespace activator
