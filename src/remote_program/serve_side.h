// activator-remote --serve: the server's end of the link, started by ssh on
// the server with the link as its standard input and output.
#pragma once

namespace activator::remote {

// Relays the link to this user's keeper on the server, started here when none
// runs: a process of its own that serves the job pipe from one link to the
// next. Every job message goes into the keeper's spool and down the link as a
// Job frame; the desktop's Events go to the reply pipes the jobs named, and
// its FetchResults are answered with a copy of the job's result. Returns the
// exit status: 0 when the link ended, kJobPipeTakenStatus when another
// program serves the job pipe (or the keeper has a link already), 1 when the
// keeper could not start or the link's first frames were wrong. Where no
// server side is built (Windows) it says so and returns 1.
int RunServeSide();

// The job pipe is served by another program on the server: this user's own
// activator there, or the keeper, for another link. That one keeps it.
inline constexpr int kJobPipeTakenStatus = 3;

}  // namespace activator::remote
