// Definitions of the build constants for a lab that every user of the
// machine shares (Windows): compiled once per program beside
// base/build_constants.cpp, against that program's generated build_config.h.
// What only the program reads (the state file, the lock) and a second user's
// debug log are named after the user, found once at start-up through the
// platform, which is why these definitions live above the base layer.
#include <string>

#include "base/build_constants.h"
#include "build_config.h"
#include "platform/user.h"

namespace activator {

// One lab for every user of the machine: what only the program reads (the
// state file, the lock) is named after the user, found once at start-up. A
// user the system cannot name gets the plain names, as before there were
// users to tell apart.
namespace {

// "<path without extension>-<user><extension>".
std::string ForUser(const std::string& path, const std::string& user) {
  if (user.empty()) return path;
  const std::size_t name = path.find_last_of("\\/") + 1;
  std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < name) dot = path.size();
  return path.substr(0, dot) + "-" + user + path.substr(dot);
}

const std::string user = CurrentUserId();
const std::string state_file = ForUser(ACTIVATOR_STATE_FILE_PATH, user);
const std::string instance_lock =
    std::string(ACTIVATOR_INSTANCE_LOCK_NAME) + (user.empty() ? "" : "-" + user);
const std::string user_debug_log = ForUser(ACTIVATOR_DEBUG_LOG_PATH, user);
const std::string user_debug_log_predecessor = user_debug_log + ".1";

}  // namespace

const char* const kDebugLogPath = ACTIVATOR_DEBUG_LOG_PATH;
const char* const kUserDebugLogPath = user.empty() ? "" : user_debug_log.c_str();
const char* const kUserDebugLogPredecessorPath =
    user.empty() ? "" : user_debug_log_predecessor.c_str();
const char* const kStateFilePath = state_file.c_str();
const char* const kInstanceLockName = instance_lock.c_str();
const char* const kDebugLogPredecessorPath = ACTIVATOR_DEBUG_LOG_PREDECESSOR_PATH;
const char* const kBootstrapLibraryPath = ACTIVATOR_BOOTSTRAP_LIBRARY_PATH;
const char* const kPipeDirectory = ACTIVATOR_PIPE_DIRECTORY;
const char* const kNotificationImageUri = ACTIVATOR_NOTIFICATION_IMAGE;
const char* const kResultsPrefix = ACTIVATOR_RESULTS_PREFIX;
const char* const kRunResultsPrefix = ACTIVATOR_RUN_RESULTS_PREFIX;

// The installer (or, for the tests, the build) made the lab.
void PrepareLabFolders() noexcept {}

}  // namespace activator
