// Definitions of the build constants. Compiled once per program, each time
// against that program's generated build_config.h.
#include "base/build_constants.h"

#include "build_config.h"

namespace activator {

const char* const kDebugLogPath = ACTIVATOR_DEBUG_LOG_PATH;
const char* const kDebugLogPredecessorPath = ACTIVATOR_DEBUG_LOG_PREDECESSOR_PATH;
const uint64_t kDebugLogLimit = ACTIVATOR_DEBUG_LOG_LIMIT;
const char* const kBootstrapLibraryPath = ACTIVATOR_BOOTSTRAP_LIBRARY_PATH;
const char* const kJobPipeName = ACTIVATOR_JOB_PIPE_NAME;
const char* const kPipeDirectory = ACTIVATOR_PIPE_DIRECTORY;
const char* const kNotificationImageUri = ACTIVATOR_NOTIFICATION_IMAGE;
const char* const kResultsPrefix = ACTIVATOR_RESULTS_PREFIX;
const char* const kTextEditor = ACTIVATOR_TEXT_EDITOR;
const char* const kActivatorClassId = ACTIVATOR_CLASS_ID;

}  // namespace activator
