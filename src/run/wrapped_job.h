// One run of activator-run: the command as a job of the activator, from its
// announcement to its final state.
#pragma once

#include "run/run_options.h"

namespace activator {

// Announces the job, runs the command with its output going to the terminal
// and into the job's result file, serves the job's reply pipe ("abortar" ends
// the command) and reports the final state. Returns the command's status.
// Nothing about the activator stands between the user and the command: when
// the activator cannot be reached the command runs all the same, with one
// warning on standard error. `ending_signal` gets the signal that ended the
// command (0: none).
int RunWrappedJob(const RunOptions& options, int* ending_signal);

}  // namespace activator
