// Definitions of the build constants. Compiled once per program, each time
// against that program's generated build_config.h.
#include "base/build_constants.h"

#include "build_config.h"

#if ACTIVATOR_PER_USER_LAB
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#endif

namespace activator {

#if ACTIVATOR_PER_USER_LAB
// An installed program of a package: the lab root is the user's, found once
// at start-up, and the image and the bootstrap library lie beside the
// program's own installation. The strings live as long as the process.
namespace {

// $XDG_DATA_HOME/<folder>, or ~/.local/share/<folder> when it is unset or not
// absolute (the base directory rule).
std::string UserLabRoot() {
  const char* data_home = std::getenv("XDG_DATA_HOME");
  if (data_home != nullptr && data_home[0] == '/')
    return std::string(data_home) + "/" ACTIVATOR_LAB_FOLDER;
  const char* home = std::getenv("HOME");
  // Without a home folder the lab is one nobody may create: the program runs
  // and says in its pipe failures that it cannot serve.
  return std::string(home != nullptr && home[0] == '/' ? home : "") +
         "/.local/share/" ACTIVATOR_LAB_FOLDER;
}

std::filesystem::path ProgramFolder() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path("/usr/bin") : self.parent_path();
}

std::string BesideProgram(const char* relative) {
  return (ProgramFolder() / relative).lexically_normal().string();
}

const std::string lab_root = UserLabRoot();
const std::string debug_log = lab_root + ACTIVATOR_DEBUG_LOG_PATH;
const std::string debug_log_predecessor = lab_root + ACTIVATOR_DEBUG_LOG_PREDECESSOR_PATH;
const std::string state_file = lab_root + ACTIVATOR_STATE_FILE_PATH;
const std::string instance_lock = lab_root + ACTIVATOR_INSTANCE_LOCK_NAME;
const std::string pipe_directory = lab_root + ACTIVATOR_PIPE_DIRECTORY;
const std::string results_prefix = lab_root + ACTIVATOR_RESULTS_PREFIX;
const std::string run_results_prefix = lab_root + ACTIVATOR_RUN_RESULTS_PREFIX;
const std::string bootstrap_library = BesideProgram(ACTIVATOR_BOOTSTRAP_LIBRARY_PATH);
const std::string image = "file://" + BesideProgram(ACTIVATOR_NOTIFICATION_IMAGE);

}  // namespace

const char* const kDebugLogPath = debug_log.c_str();
const char* const kUserDebugLogPath = "";
const char* const kUserDebugLogPredecessorPath = "";
const char* const kDebugLogPredecessorPath = debug_log_predecessor.c_str();
const char* const kStateFilePath = state_file.c_str();
const char* const kInstanceLockName = instance_lock.c_str();
const char* const kBootstrapLibraryPath = bootstrap_library.c_str();
const char* const kPipeDirectory = pipe_directory.c_str();
const char* const kNotificationImageUri = image.c_str();
const char* const kResultsPrefix = results_prefix.c_str();
const char* const kRunResultsPrefix = run_results_prefix.c_str();

void PrepareLabFolders() noexcept {
  // Owner-only, as the lab holds the job pipe and the results. Logs is left
  // to the user: its presence turns the debug log on.
  const std::string results_folder = results_prefix.substr(0, results_prefix.rfind('/'));
  const std::string state_folder = state_file.substr(0, state_file.rfind('/'));
  for (const std::string& folder : {lab_root, pipe_directory, results_folder, state_folder}) {
    std::error_code error;
    const std::filesystem::path path(folder);
    if (std::filesystem::create_directories(path, error))
      std::filesystem::permissions(path, std::filesystem::perms::owner_all, error);
  }
}
#elif !ACTIVATOR_PER_USER_NAMES
// (A lab every user shares names the user's own things in it:
// platform/user_named_constants.cpp defines these then.)
const char* const kDebugLogPath = ACTIVATOR_DEBUG_LOG_PATH;
const char* const kUserDebugLogPath = "";
const char* const kUserDebugLogPredecessorPath = "";
const char* const kStateFilePath = ACTIVATOR_STATE_FILE_PATH;
const char* const kInstanceLockName = ACTIVATOR_INSTANCE_LOCK_NAME;
const char* const kDebugLogPredecessorPath = ACTIVATOR_DEBUG_LOG_PREDECESSOR_PATH;
const char* const kBootstrapLibraryPath = ACTIVATOR_BOOTSTRAP_LIBRARY_PATH;
const char* const kPipeDirectory = ACTIVATOR_PIPE_DIRECTORY;
const char* const kNotificationImageUri = ACTIVATOR_NOTIFICATION_IMAGE;
const char* const kResultsPrefix = ACTIVATOR_RESULTS_PREFIX;
const char* const kRunResultsPrefix = ACTIVATOR_RUN_RESULTS_PREFIX;

// The build (or cmake --install) made the lab.
void PrepareLabFolders() noexcept {}
#endif

const uint64_t kDebugLogLimit = ACTIVATOR_DEBUG_LOG_LIMIT;
const char* const kJobPipeName = ACTIVATOR_JOB_PIPE_NAME;
const char* const kTextEditor = ACTIVATOR_TEXT_EDITOR;
const char* const kActivatorClassId = ACTIVATOR_CLASS_ID;
const char* const kVersion = ACTIVATOR_VERSION;

}  // namespace activator
