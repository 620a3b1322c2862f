// POSIX: a program always has its starter's standard streams.
#include "platform/console.h"

namespace activator {

void ReachStartersConsole() noexcept {}

}  // namespace activator
