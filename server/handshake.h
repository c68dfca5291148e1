// The connection phase: every human client in turn is accepted on the
// listener, greeted and told the player count (joining pass), and once all
// are in, each is told its player index and the map (numbering pass).
// Progress shows on the console in French; a check that fails prints its
// message and the phase goes on, so it never ends the match.
//
// What one client sees (each row one message, strictly alternating):
//   in  greeting, ACK          out player_count      in  echo of player_count
//   ... waits until every human has connected ...
//   out its player index       in  any one message   out map_number
// After that the client speaks first: its first turn exchange.
#pragma once

#include "server/server.h"

// Fills match.client_socket and client_state, human_count entries, in accept
// order; an entry whose accept failed holds INVALID_SOCKET_HANDLE and is
// served like any other. listener may be INVALID_SOCKET_HANDLE (the port
// could not be bound): then every accept fails. Returns once every human has
// been numbered. With no humans the listener is never listened on.
// REQUIRES: create_client_table(match) has run.
void run_handshake(Server& server, SocketHandle listener);
