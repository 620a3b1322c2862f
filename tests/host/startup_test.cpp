#include "host/startup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#include "base/build_constants.h"
#include "jobs/job_registry.h"
#include "platform/com.h"
#include "platform/fake/fake_notification_centre.h"
#include "support/log_capture.h"
#include "support/platform_guard.h"
#include "support/test_lab.h"

namespace activator {
namespace {

using testing::LogTail;

// What the stand-in thread bodies saw. They record and return, so a test can
// see which handle each got without running the real threads.
struct ThreadRecord {
  std::mutex lock;
  std::condition_variable changed;
  int started = 0;
  const void* consumer_impl = nullptr;
  const AppNotificationManager* consumer_handle = nullptr;
  const AppNotificationManager* pipe_server_handle = nullptr;
  const AppNotificationManager* monitor_handle = nullptr;
};
ThreadRecord g_threads;

void Note(const std::function<void()>& change) {
  std::lock_guard<std::mutex> hold(g_threads.lock);
  change();
  ++g_threads.started;
  g_threads.changed.notify_all();
}

void StubQueueConsumer(AppNotificationManager manager) {
  Note([&] {
    g_threads.consumer_impl = manager.impl().get();
    g_threads.consumer_handle = &manager;
  });
}
void StubJobPipeServer(const AppNotificationManager& manager) {
  Note([&] { g_threads.pipe_server_handle = &manager; });
}
void StubMonitor(const AppNotificationManager& manager) {
  Note([&] { g_threads.monitor_handle = &manager; });
}
void StubUpdater(const AppNotificationManager&) {}

bool WaitForThreads(int count) {
  std::unique_lock<std::mutex> hold(g_threads.lock);
  return g_threads.changed.wait_for(hold, std::chrono::seconds(10),
                                    [&] { return g_threads.started >= count; });
}

// A class identifier of its own for each run: a successful start leaves its
// class object registered for good.
std::string FreshClassId() {
  static int counter = 0;
  char text[40];
  std::snprintf(text, sizeof text, "{8B9C4F9A-5A8D-4B9D-AE65-%012X}", ++counter);
  return text;
}

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    TheJobRegistry().ResetForTesting();
    std::lock_guard<std::mutex> hold(g_threads.lock);
    g_threads.started = 0;
    g_threads.consumer_impl = nullptr;
    g_threads.consumer_handle = g_threads.pipe_server_handle = g_threads.monitor_handle = nullptr;
  }

  StartupSettings Settings(const std::string& library = STANDIN_BOOTSTRAP_LIBRARY) {
    return StartupSettings{library, FreshClassId(),
                           WorkerThreadBodies{&StubQueueConsumer, &StubJobPipeServer, &StubMonitor,
                                              &StubUpdater},
                           std::string(), std::nullopt};
  }

  // Runs start-up on a new thread, as the program's main thread would: one
  // that has not joined an apartment yet (unless `before` makes it join one).
  // `after` runs on that thread once start-up returned.
  std::optional<int> Start(const StartupSettings& settings,
                           const std::function<void()>& before = {},
                           const std::function<void()>& after = {}) {
    std::optional<int> exit_code;
    std::thread main_thread([&] {
      if (before) before();
      exit_code = StartActivator(settings, manager_);
      if (after) after();
    });
    main_thread.join();
    return exit_code;
  }

  // Kept for the whole test program: stand-in threads may look at it late.
  static inline std::optional<AppNotificationManager> manager_;
};

const std::vector<std::string> kStartLines = {"================", "ZORVELL ACTIVATOR START",
                                              "COM INIT=0"};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(StartupTest, FullStartLogsEveryStepInOrder) {
  fake::ForeignNotification("J0", "zorvell_processos");
  LogTail tail;
  const StartupSettings settings = Settings();
  ASSERT_EQ(Start(settings), std::nullopt);
  ASSERT_TRUE(WaitForThreads(3));
  EXPECT_EQ(tail.Lines(),
            Concat(kStartLines, {"BOOTSTRAP RESULT=0", "COM REGISTER=0", "COM ACTIVATOR READY",
                                 "WPN CALLBACK REGISTERED", "WPN REGISTER OK", "GETALL TOTAL=1",
                                 "GETALL TAG=J0 GROUP=zorvell_processos", "VELDUNA QUEUE READY",
                                 "PYTHON PIPE READY"}));

  // Subscribed before registering, once.
  EXPECT_EQ(fake::HandlerCount(), 1u);
  std::vector<std::string> record = fake::Record();
  EXPECT_EQ(record, (std::vector<std::string>{"Subscribe", "Register"}));

  // The consumer has a handle of its own on the same manager; the other two
  // use start-up's.
  ASSERT_TRUE(manager_);
  {
    std::lock_guard<std::mutex> hold(g_threads.lock);
    EXPECT_EQ(g_threads.consumer_impl, manager_->impl().get());
    EXPECT_NE(g_threads.consumer_handle, &*manager_);
    EXPECT_EQ(g_threads.pipe_server_handle, &*manager_);
    EXPECT_EQ(g_threads.monitor_handle, &*manager_);
  }

  // The class object is COM's now, and answers for the class identifier.
  // (Under wine, another thread of the registering process is told the class
  // is not registered, REGDB_E_CLASSNOTREG: the lookup is the stand-in's.)
  if (testing::kWindowsPort) return;
  std::optional<CLSID> clsid = ParseGuid(settings.class_id);
  ASSERT_TRUE(clsid);
  // (COM answers only a thread that joined an apartment.)
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  void* class_object = nullptr;
  ASSERT_EQ(
      CoGetClassObject(*clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, &class_object),
      S_OK);
  auto* factory = static_cast<IClassFactory*>(class_object);
  void* instance = nullptr;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &instance), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(instance)->Release(), 0u);
  EXPECT_EQ(factory->Release(), 1u);  // COM's reference alone is left
  CoUninitialize();
}

TEST_F(StartupTest, FailuresThatDoNotStopTheStart) {
  // The one-activator lock cannot be had, Register and the inventory fail:
  // all logged, and the threads still start.
  fake::FailOperation(fake::Operation::Register, kHrNotConnected);
  fake::FailOperation(fake::Operation::GetAllAsync, kHrNotConnected);
  LogTail tail;
  StartupSettings settings = Settings();
  settings.instance_lock_error = 13;
  ASSERT_EQ(Start(settings), std::nullopt);
  ASSERT_TRUE(WaitForThreads(3));
  EXPECT_EQ(tail.Lines(), (std::vector<std::string>{
                              "================", "ZORVELL ACTIVATOR START",
                              "INSTANCIA UNICA FALHOU=13", "COM INIT=0", "BOOTSTRAP RESULT=0",
                              "COM REGISTER=0", "COM ACTIVATOR READY", "WPN CALLBACK REGISTERED",
                              "WPN REGISTER FAILED", "GETALL ERRO: EXCECAO AO CONSULTAR GETALL",
                              "VELDUNA QUEUE READY", "PYTHON PIPE READY"}));
  // A second start in the same process (the apartment already joined) goes on.
  LogTail again;
  ASSERT_EQ(Start(Settings(), [] { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }), std::nullopt);
  ASSERT_TRUE(WaitForThreads(6));
  auto lines = again.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[2], "COM INIT=1");
  EXPECT_EQ(lines.back(), "PYTHON PIPE READY");
}

// The exit paths: each ends with its line, starts no thread, and leaves the
// apartment again where it had joined it.
TEST_F(StartupTest, MissingBootstrapLibraryEndsWithTen) {
  LogTail tail;
  HRESULT rejoin = E_FAIL;
  EXPECT_EQ(Start(Settings(testing::LabPath("DLL/absent.so")), {},
                  [&] { rejoin = CoInitializeEx(nullptr, COINIT_MULTITHREADED); }),
            kExitBootstrapLibraryFailed);
  EXPECT_EQ(tail.Lines(), Concat(kStartLines, {"BOOTSTRAP DLL ERROR=126"}));
  EXPECT_EQ(rejoin, S_OK);  // CoUninitialize was called
  EXPECT_EQ(g_threads.started, 0);
}

TEST_F(StartupTest, BootstrapWithoutEntryPointEndsWithEleven) {
  LogTail tail;
  HRESULT rejoin = E_FAIL;
  EXPECT_EQ(Start(Settings(BOOTSTRAP_WITHOUT_ENTRY_LIBRARY), {},
                  [&] { rejoin = CoInitializeEx(nullptr, COINIT_MULTITHREADED); }),
            kExitBootstrapFunctionMissing);
  EXPECT_EQ(tail.Lines(), Concat(kStartLines, {"BOOTSTRAP FUNCTION ERROR"}));
  EXPECT_EQ(rejoin, S_OK);
}

// No runtime of the version asked for (the bootstrap's
// STATEREPOSITORY_E_DEPENDENCY_NOT_RESOLVED): none of its classes could be
// activated, so the start ends, saying what to install.
TEST_F(StartupTest, RefusedRuntimeEndsWithTwelve) {
  LogTail tail;
  HRESULT rejoin = E_FAIL;
  EXPECT_EQ(Start(Settings(REFUSING_BOOTSTRAP_LIBRARY), {},
                  [&] { rejoin = CoInitializeEx(nullptr, COINIT_MULTITHREADED); }),
            kExitBootstrapFailed);
  const std::vector<std::string> lines = tail.Lines();
  ASSERT_EQ(lines.size(), kStartLines.size() + 3) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[kStartLines.size()], "BOOTSTRAP RESULT=-2140733418");
  EXPECT_NE(lines[kStartLines.size() + 1].find("WindowsAppRuntimeInstall-x64.exe"),
            std::string::npos);
  EXPECT_EQ(lines.back(), "BOOTSTRAP FAILED=-2140733418");
  EXPECT_EQ(rejoin, S_OK);
  EXPECT_EQ(g_threads.started, 0);
  EXPECT_TRUE(fake::Record().empty());
}

TEST_F(StartupTest, ComInitFailureEndsWithTwentyAndNothingElse) {
  LogTail tail;
  // A thread already in a single-threaded apartment cannot join the
  // multithreaded one.
  EXPECT_EQ(Start(Settings(), [] { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }),
            kExitComInitFailed);
  EXPECT_EQ(tail.Lines(), (std::vector<std::string>{"================", "ZORVELL ACTIVATOR START",
                                                    "COM INIT=-2147417850"}));
  EXPECT_TRUE(fake::Record().empty());
}

TEST_F(StartupTest, ClassRegistrationFailureEndsWithTwentyOne) {
  const StartupSettings settings = Settings();
  std::optional<CLSID> clsid = ParseGuid(settings.class_id);
  ASSERT_TRUE(clsid);
  // Someone else holds the class already.
  struct Holder final : IUnknown {
    HRESULT QueryInterface(REFIID, void** out) override {
      *out = this;
      return S_OK;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
  };
  static Holder holder;
  // The POSIX stand-in refuses a second registration of a class; the system's
  // COM, under wine at least, accepts it.
  if (!testing::kWindowsPort) {
    std::thread([&] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      DWORD cookie = 0;
      ASSERT_EQ(
          CoRegisterClassObject(*clsid, &holder, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie),
          S_OK);
    }).join();

    LogTail tail;
    EXPECT_EQ(Start(settings), kExitComRegisterFailed);
    EXPECT_EQ(tail.Lines(), Concat(kStartLines, {"BOOTSTRAP RESULT=0", "COM REGISTER=-2147220997",
                                                 "COM REGISTER FAILED"}));
    EXPECT_TRUE(fake::Record().empty());
    EXPECT_EQ(fake::HandlerCount(), 0u);
  }

  // A class identifier that does not parse is refused the same way.
  StartupSettings unparsable = Settings();
  unparsable.class_id = "8B9C4F9A";
  LogTail tail2;
  EXPECT_EQ(Start(unparsable), kExitComRegisterFailed);
  EXPECT_EQ(tail2.Lines().back(), "COM REGISTER FAILED");
}

TEST_F(StartupTest, NotificationManagerFailuresEndTheStartWithALine) {
  fake::FailOperation(fake::Operation::Default, kHrNotConnected);
  LogTail tail;
  EXPECT_EQ(Start(Settings()), kExitNoNotificationManager);
  EXPECT_EQ(tail.Lines().back(), "WPN DEFAULT FAILED=-2147022646");

  fake::FailOperation(fake::Operation::Subscribe, kHrInvalidArg);
  LogTail tail2;
  HRESULT rejoin = E_FAIL;
  EXPECT_EQ(Start(Settings(), {}, [&] { rejoin = CoInitializeEx(nullptr, COINIT_MULTITHREADED); }),
            kExitSubscribeFailed);
  EXPECT_EQ(tail2.Lines().back(), "WPN CALLBACK FAILED=-2147024809");
  EXPECT_EQ(rejoin, S_OK);

  // Not every failure carries a result code.
  fake::FailOperationWithOtherError(fake::Operation::Subscribe);
  LogTail tail3;
  EXPECT_EQ(Start(Settings()), kExitSubscribeFailed);
  EXPECT_EQ(tail3.Lines().back(), "WPN CALLBACK FAILED=-2147467259");

  EXPECT_EQ(g_threads.started, 0);
  EXPECT_EQ(fake::HandlerCount(), 0u);
}

TEST_F(StartupTest, TheProgramsSettingsAreTheBuildConstants) {
  StartupSettings settings = ActivatorStartupSettings();
  EXPECT_EQ(settings.bootstrap_library_path, kBootstrapLibraryPath);
  EXPECT_EQ(settings.state_file_path, kStateFilePath);
  EXPECT_EQ(settings.class_id, "{8B9C4F9A-5A8D-4B9D-AE65-7A4D6C3F92B1}");
  EXPECT_NE(settings.threads.queue_consumer, nullptr);
  EXPECT_NE(settings.threads.job_pipe_server, nullptr);
  EXPECT_NE(settings.threads.notification_monitor, nullptr);
}

}  // namespace
}  // namespace activator
