// Result opening by index: when the worker cannot be told that the user asked
// for a job's result, the activator opens the result file itself, finding it
// through the index file the worker leaves in the results folder.
#pragma once

#include <string>

namespace activator {

// Reads the first line of kResultsPrefix + job_id + ".path" (the job id
// inserted unchanged) and, when it names an existing file, starts the text
// editor on it. Reports only to the debug log; takes no lock.
void OpenResultByIndex(const std::string& job_id);

}  // namespace activator
