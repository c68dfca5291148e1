// The match driver: one match per process, in fixed phases - start-up,
// console dialogue, first read of the bot route file, connection phase,
// second read (only with bots), start banner and table set-up, then turns
// until a client breaks the protocol. A match without players ends at once.
// The operator's log follows each phase.
#pragma once

#include "server/exit_codes.h"
#include "server/options.h"
#include "server/server.h"

// Runs the whole match with the operator's options. Returns the exit code
// (server/exit_codes.h).
// Without any option, the console, the wire and the exit codes are exactly
// the historic server's: then a port that cannot be bound leaves every
// accept failing, and the match breaks at its first exchange.
int run_server(const Options& options);

// The driver's own: how far the match has come and since when, and how
// often the log says so.
struct MatchProgress {
  uint64_t turns_played = 0;
  Clock::time_point started{};  // the start banner's time; unset: run_turns sets it
  std::chrono::milliseconds status_interval{60000};  // a status line in the log this often
};

// The turn loop on a match whose tables are set up. Returns the exit code.
int run_turns(Server& server, MatchProgress& progress);
