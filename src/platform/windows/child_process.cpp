// Windows child process: CreateProcessW into a job object, so that one call
// ends the command and everything it started, in a process group of its own,
// so that a Ctrl-Break reaches it and not us. Its standard output and error
// come back through two pipes, each drained by a thread of its own. The
// command inherits its three standard handles and nothing else of ours.
#include "platform/child_process.h"

// clang-format off
#include "platform/os/windows_support.h"
#include <shellapi.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/windows/command_line.h"
#include "platform/windows/console_control.h"

namespace activator {

namespace {

// The command interrupts go to, for the console's control handler, which runs
// on a thread of the system's: it works on copies of these handles, so that
// the command's end closing them cannot pull them from under it.
struct ForwardTarget {
  std::mutex lock;
  DWORD group = 0;  // 0: nothing to forward to
  UniqueHandle process;
  UniqueHandle job;
};

ForwardTarget& Target() {
  static auto* target = new ForwardTarget();  // the handler may run while the process exits
  return *target;
}

UniqueHandle Duplicate(HANDLE handle) {
  HANDLE copy = nullptr;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      !::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
    return UniqueHandle();
  return UniqueHandle(copy);
}

}  // namespace

BOOL WINAPI ForwardConsoleControl(DWORD event) {
  DWORD group = 0;
  UniqueHandle process;
  UniqueHandle job;
  {
    ForwardTarget& target = Target();
    std::lock_guard<std::mutex> hold(target.lock);
    group = target.group;
    process = Duplicate(target.process.get());
    job = Duplicate(target.job.get());
  }
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (group != 0) ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, group);
      return TRUE;  // we stay until the command ends, and report it
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
      // The system ends this process once the handler returns, whatever it
      // returns, and does not wait long for it (5 s for a closed console).
      // The command is asked to end, then ended with everything it started,
      // and the caller's thread, woken by its end, is given the rest of the
      // time to report it before this process goes.
      if (group != 0) ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, group);
      const ULONGLONG deadline = ::GetTickCount64() + kCloseTime;
      ::WaitForSingleObject(process.get(), kCloseGrace);
      // Whether or not the command ended, what it started goes now.
      ::TerminateJobObject(job.get(), 1);
      ::WaitForSingleObject(process.get(), kCloseGrace);
      const ULONGLONG now = ::GetTickCount64();
      if (now < deadline) ::Sleep(static_cast<DWORD>(deadline - now));
      return TRUE;
    }
    default:
      return FALSE;
  }
}

namespace {

std::string NarrowUtf16(const wchar_t* text) {
  const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 1) return std::string();
  std::string out(static_cast<std::size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), needed, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(needed) - 1);
  return out;
}

}  // namespace

struct ChildProcess::Impl {
  UniqueHandle process;
  UniqueHandle job;
  UniqueHandle out;
  UniqueHandle err;
  DWORD id = 0;
};

std::optional<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                ChildStartFailure* failure) {
  auto fail = [&](int status, const std::string& message) -> std::optional<ChildProcess> {
    if (failure != nullptr) *failure = ChildStartFailure{status, message};
    return std::nullopt;
  };
  if (argv.empty() || argv[0].empty()) return fail(127, "no command given");

  std::wstring line = CommandLineOf(argv);

  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
  if (!::CreatePipe(&out_read, &out_write, &inheritable, 0))
    return fail(126, "cannot make a pipe, error " + std::to_string(::GetLastError()));
  UniqueHandle out_reader(out_read), out_writer(out_write);
  if (!::CreatePipe(&err_read, &err_write, &inheritable, 0))
    return fail(126, "cannot make a pipe, error " + std::to_string(::GetLastError()));
  UniqueHandle err_reader(err_read), err_writer(err_write);
  // Only the child's ends are inherited.
  ::SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  // Our standard input, as an inheritable handle of its own; none when we
  // have none.
  UniqueHandle input;
  {
    const HANDLE ours = ::GetStdHandle(STD_INPUT_HANDLE);
    HANDLE copy = nullptr;
    if (ours != nullptr && ours != INVALID_HANDLE_VALUE &&
        ::DuplicateHandle(::GetCurrentProcess(), ours, ::GetCurrentProcess(), &copy, 0, TRUE,
                          DUPLICATE_SAME_ACCESS))
      input.reset(copy);
  }

  UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return fail(126, "cannot make a job object, error " + std::to_string(::GetLastError()));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  // Should we die, the command and its children go with us.
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);

  // The handles the command inherits, named one by one: every other
  // inheritable handle of this process (its own standard handles, another
  // thread's pipe) stays here. One the command held would keep a pipe open
  // after its owner closed it, for as long as the command runs.
  std::vector<HANDLE> inherited = {out_writer.get(), err_writer.get()};
  if (input) inherited.push_back(input.get());
  SIZE_T list_size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<char> list_memory(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
  if (list_size == 0 || !::InitializeProcThreadAttributeList(list, 1, 0, &list_size))
    return fail(126,
                "cannot list the inherited handles, error " + std::to_string(::GetLastError()));
  std::unique_ptr<std::remove_pointer_t<LPPROC_THREAD_ATTRIBUTE_LIST>,
                  decltype(&::DeleteProcThreadAttributeList)>
      list_owner(list, &::DeleteProcThreadAttributeList);
  if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                   inherited.size() * sizeof(HANDLE), nullptr, nullptr))
    return fail(126,
                "cannot list the inherited handles, error " + std::to_string(::GetLastError()));

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input ? input.get() : nullptr;
  startup.StartupInfo.hStdOutput = out_writer.get();
  startup.StartupInfo.hStdError = err_writer.get();
  startup.lpAttributeList = list;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                        CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT |
                            EXTENDED_STARTUPINFO_PRESENT,
                        nullptr, nullptr, &startup.StartupInfo, &info)) {
    const DWORD error = ::GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return fail(missing ? 127 : 126,
                argv[0] + ": cannot be started, error " + std::to_string(error));
  }
  UniqueHandle thread(info.hThread);
  UniqueHandle process(info.hProcess);
  // In the job before it runs a single instruction, so nothing it starts
  // escapes the job. Outside it, abortar and our own end would miss what the
  // command starts: it is not run at all then.
  if (!::AssignProcessToJobObject(job.get(), process.get())) {
    const DWORD error = ::GetLastError();
    ::TerminateProcess(process.get(), 126);
    ::WaitForSingleObject(process.get(), 10000);
    return fail(126, argv[0] + ": not run, as it cannot be put in a job of its own (error " +
                         std::to_string(error) + "), where abortar would reach it");
  }
  ::ResumeThread(thread.get());

  auto impl = std::make_unique<Impl>();
  impl->process = std::move(process);
  impl->job = std::move(job);
  impl->out = std::move(out_reader);
  impl->err = std::move(err_reader);
  impl->id = info.dwProcessId;
  return ChildProcess(std::move(impl));
}

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&&) noexcept = default;
ChildProcess::~ChildProcess() = default;

void ChildProcess::PumpOutput(const std::function<bool(OutputStream, std::string_view)>& sink) {
  // The sink is called by one thread at a time.
  std::mutex sink_lock;
  auto drain = [&](HANDLE pipe, OutputStream stream) {
    std::string buffer(64 * 1024, '\0');
    DWORD got = 0;
    while (::ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
           got > 0) {
      std::lock_guard<std::mutex> hold(sink_lock);
      if (!sink(stream, std::string_view(buffer.data(), got))) break;
    }
  };
  std::thread errors(drain, impl_->err.get(), OutputStream::kStandardError);
  drain(impl_->out.get(), OutputStream::kStandardOutput);
  errors.join();
  impl_->out.reset();
  impl_->err.reset();
}

int ChildProcess::Wait() {
  ::WaitForSingleObject(impl_->process.get(), INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(impl_->process.get(), &code);
  ForwardTarget& target = Target();
  std::lock_guard<std::mutex> hold(target.lock);
  if (target.group == impl_->id) {
    target.group = 0;
    target.process.reset();
    target.job.reset();
  }
  return static_cast<int>(code);
}

int ChildProcess::EndingSignal() const { return 0; }

bool ChildProcess::LeftProcessesBehind() const { return false; }

void ChildProcess::RequestStop() { ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, impl_->id); }

void ChildProcess::ForceStop() { ::TerminateJobObject(impl_->job.get(), 1); }

void ChildProcess::ForwardInterrupts() {
  {
    ForwardTarget& target = Target();
    std::lock_guard<std::mutex> hold(target.lock);
    target.group = impl_->id;
    target.process = Duplicate(impl_->process.get());
    target.job = Duplicate(impl_->job.get());
  }
  ::SetConsoleCtrlHandler(&ForwardConsoleControl, TRUE);
}

long CurrentProcessId() noexcept { return static_cast<long>(::GetCurrentProcessId()); }

std::string ActivatorStartHint(const std::string& /*pipe_location*/) {
  return "start one with: start activator.exe";
}

std::string MakePrivatePipeName(const std::string& stem) {
  // PipeServerInstance makes the pipe for this user (and the system) only.
  return "\\\\.\\pipe\\activator-run-" + std::to_string(::GetCurrentProcessId()) + "-" +
         std::to_string(::GetTickCount64()) + "-" + stem;
}

void RemovePrivatePipe(const std::string&) noexcept {
  // A named pipe goes with its last handle.
}

void ExitAsCommandEnded(int status, int) {
  std::fflush(nullptr);
  std::_Exit(status);
}

std::vector<std::string> CommandLineArguments(int, char**) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 0; wide != nullptr && i < count; ++i) args.push_back(NarrowUtf16(wide[i]));
  if (wide != nullptr) ::LocalFree(wide);
  return args;
}

}  // namespace activator
