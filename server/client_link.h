// The server's side of each human client's connection: receives that notice
// a close or a silence, and what the operator's log says of them. The
// handshake and the turn exchange receive through here; they send with
// send_int, whose failures a later receive notices.
#pragma once

#include <cstdint>

#include "server/server.h"

// Makes human q's freshly accepted connection one whose silences can be
// timed, and notes its peer for the log.
void watch_client(Server& server, int32_t q);

// One receive from human q at step (named as in the protocol guide): the
// value as recv_number gives it, 0 for nothing. A close, a receive error or a
// silence as long as the client timeout marks the client broken, once, with
// a line in the log; after a time-out every later receive gives 0 at once,
// as from a closed connection. While the client is silent the log gets a
// warning every server.stall_warning.
int32_t receive_from(Server& server, int32_t q, const char* step);

// Logs that human q broke the protocol at step (expected ACK, arrived
// `arrived`, or nothing when the client is broken) and marks it broken.
void note_protocol_break(Server& server, int32_t q, const char* step, int32_t arrived);

// Whether the exchange with human q must be given up: it broke and broken
// clients are dropped.
bool must_drop(const Server& server, int32_t q);

// Closes human q's connection and serves it no more; its player stays in
// every table with its last values.
void drop_client(Server& server, int32_t q);
