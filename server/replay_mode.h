// The server's second mode (--replay FILE): no match, no console dialogue,
// no game port; a recording (record/replay.h) served on the live view until
// the process is stopped.
#pragma once

#include "server/options.h"

// Returns the exit code (server/exit_codes.h): a recording that cannot be read is a usage error, a
// view port that cannot be bound is EXIT_CANNOT_LISTEN.
int run_replay(const Options& options);
