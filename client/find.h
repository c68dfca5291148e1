// zolt-client --find: the servers on the local networks (and those asked
// by address), found through the server query (net/query.h).
#pragma once

#include "client/options.h"

// How long --find waits for answers.
inline constexpr int FIND_WAIT_MS = 1000;

// Broadcasts INFO to options.port on every local network and sends it to
// each of options.ask, answers the challenges that come back, and prints
// one line per server that answered within FIND_WAIT_MS, sorted by
// address. Returns EXIT_PLAYED when one did at least, EXIT_UNREACHABLE
// otherwise (and after a failure of the sockets, said on standard error).
int find_servers(const ClientOptions& options);
