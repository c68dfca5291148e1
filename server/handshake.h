// The connection phase: every human client in turn is taken by the lobby,
// greeted and told the player count (joining pass), and once all are in,
// each is told its player index and the map (numbering pass). Each client's
// part is a walk of its seat through the handshake's steps. Progress shows
// on the console in French; a check that fails prints its message and the
// phase goes on, so it never ends the match.
//
// What one client sees (each row one message, strictly alternating):
//   in  greeting, ACK          out player_count      in  echo of player_count
//   ... waits until every human has connected ...
//   out its player index       in  any one message   out map_number
// After that the client speaks first: its first turn exchange.
#pragma once

#include "server/server.h"

// Fills `wanted` seats of the human_count, in accept order (the lowest free,
// one a resumed match's client last held from the same address first); a seat whose accept
// failed holds INVALID_SOCKET_HANDLE and is served like any other. The
// lobby's listener may be INVALID_SOCKET_HANDLE (the port could not be
// bound): then every accept fails. With --drop-broken-clients or --rejoin,
// a connection that closes before it greets takes no seat. Returns once
// every one wanted has been numbered, or false when a stop came first; the
// other seats are left free, dropped. With no humans the listener is never
// listened on.
// REQUIRES: set_up_seats(server) has run.
bool run_handshake(Server& server, int32_t wanted);
