// Result opening by index: when the worker cannot be told that the user asked
// for a job's result, the activator opens the result file itself, finding it
// through the index file the worker leaves in the results folder.
#pragma once

#include <optional>
#include <string>

namespace activator {

// Reads the first line of kResultsPrefix + job_id + ".path" (the job id
// inserted unchanged) and, when it names an existing file, starts the text
// editor on it. Logs every step; takes no lock. When the result could not be
// opened, says why in a sentence for the user (the log line says it for the
// developer); nothing when the editor started.
std::optional<std::string> OpenResultByIndex(const std::string& job_id);

}  // namespace activator
