// A command's words as one line that a shell would take back as those words.
#pragma once

#include <string>
#include <vector>

namespace activator {

// Plain words as they are, any other in single quotes, a quote inside one
// written '\''. What the user reads of a run (the notification's line, the
// result's header) is then the command they could type again.
std::string QuotedCommand(const std::vector<std::string>& command);

}  // namespace activator
