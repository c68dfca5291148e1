// The match driver: one match per process, in fixed phases - start-up,
// console dialogue, first read of the bot route file, connection phase,
// second read (only with bots), start banner and table set-up, then turns
// until a client breaks the protocol. A match without players ends at once.
#pragma once

#include "match/match.h"

// Exit codes of the server process.
inline constexpr int EXIT_MATCH_OVER = 0;      // after the end banner
inline constexpr int EXIT_PROTOCOL_BREAK = 1;  // a client's reply to relay_a was not ACK
inline constexpr int EXIT_NO_OPERATOR = 2;     // the console input ended during the dialogue

// Runs the whole match. host_name is the name whose first IPv4 address is
// shown as the server's (null: this machine's own name). Returns the exit code.
int run_server(const char* host_name);

// The turn loop on a match whose tables are set up. Returns the exit code.
int run_turns(Match& match);
