// Windows child process: CreateProcessW into a job object, so that one call
// ends the command and everything it started, in a process group of its own,
// so that a Ctrl-Break reaches it and not us. Its standard output and error
// come back through two pipes, each drained by a thread of its own.
#include "platform/child_process.h"

// clang-format off
#include "platform/os/windows_support.h"
#include <shellapi.h>
// clang-format on

#include <mutex>
#include <thread>

namespace activator {

namespace {

// The process group interrupts go to, for the console's control handler.
DWORD g_forward_group = 0;

BOOL WINAPI ForwardToGroup(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      if (g_forward_group != 0) ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, g_forward_group);
      return TRUE;  // we stay until the command ends
    default:
      return FALSE;
  }
}

// One argument as the C runtime's command-line parser reads it back:
// backslashes are literal except before a quote.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      line.append(backslashes * 2 + 1, L'\\');
    else
      line.append(backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

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

  std::wstring line;
  for (const std::string& arg : argv) {
    if (!line.empty()) line += L' ';
    AppendQuoted(line, WidenUtf8(arg));
  }

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

  UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return fail(126, "cannot make a job object, error " + std::to_string(::GetLastError()));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  // Should we die, the command and its children go with us.
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out_writer.get();
  startup.hStdError = err_writer.get();
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                        CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT,
                        nullptr, nullptr, &startup, &info)) {
    const DWORD error = ::GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return fail(missing ? 127 : 126,
                argv[0] + ": cannot be started, error " + std::to_string(error));
  }
  UniqueHandle thread(info.hThread);
  UniqueHandle process(info.hProcess);
  // In the job before it runs a single instruction, so nothing it starts
  // escapes the job.
  ::AssignProcessToJobObject(job.get(), process.get());
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
  g_forward_group = 0;
  return static_cast<int>(code);
}

int ChildProcess::EndingSignal() const { return 0; }

bool ChildProcess::LeftProcessesBehind() const { return false; }

void ChildProcess::RequestStop() { ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, impl_->id); }

void ChildProcess::ForceStop() { ::TerminateJobObject(impl_->job.get(), 1); }

void ChildProcess::ForwardInterrupts() {
  g_forward_group = impl_->id;
  ::SetConsoleCtrlHandler(&ForwardToGroup, TRUE);
}

long CurrentProcessId() noexcept { return static_cast<long>(::GetCurrentProcessId()); }

const char* ActivatorStartHint() noexcept { return "start activator.exe"; }

std::string MakePrivatePipeName(const std::string& stem) {
  // A named pipe's default access lets only its creator (and the system and
  // administrators) write to it.
  return "\\\\.\\pipe\\activator-run-" + std::to_string(::GetCurrentProcessId()) + "-" +
         std::to_string(::GetTickCount64()) + "-" + stem;
}

void RemovePrivatePipe(const std::string&) noexcept {
  // A named pipe goes with its last handle.
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
