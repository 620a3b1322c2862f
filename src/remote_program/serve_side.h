// activator-remote --serve: the server's end of the link, started by ssh on
// the server with the link as its standard input and output.
#pragma once

namespace activator::remote {

// Serves this user's job pipe on the server for as long as the link lasts:
// every job message goes into the spool and down the link as a Job frame;
// the desktop's Events go to the reply pipes the jobs named, and its
// FetchResults are answered with a copy of the job's result. Returns the
// exit status: 0 when the link ended, kJobPipeTakenStatus when another
// program serves the job pipe, 1 when the link's first frames were wrong.
int RunServeSide();

// The job pipe is served by another program on the server: this user's own
// activator there, or the server side of another link. That one keeps it.
inline constexpr int kJobPipeTakenStatus = 3;

}  // namespace activator::remote
