// Who may join, and players who come back.
//
// With --allow, a connection from outside the listed networks is closed as
// soon as it is accepted, at the start or during the match; it never takes a
// slot or a player index.
//
// With --rejoin, the listener stays open during the match and is looked at
// between exchanges (one at a time) or with the clients' connections (all at
// once). A connection that arrives while a player's client has been dropped
// takes that slot: the lowest free one, one whose last client came from the
// same address first. It is greeted as at the start (greeting, player
// count, echo, then its player index and the map) while the turns go on,
// under --client-timeout, and plays from the next turn, placed in its first
// report at its start position. A connection that finds no free slot is
// closed at once.
#pragma once

#include <cstdint>

#include "server/server.h"

// Whether the connection just accepted may join. A refused one is logged and
// closed.
bool admit(Server& server, SocketHandle connection);

// Keeps the listener for the match, without waiting in its accepts.
void keep_listening(Server& server, SocketHandle listener);

// Takes every connection waiting on the listener, and moves each joining
// client's handshake on as far as its messages have come, without waiting.
void serve_joiners(Server& server);

// At the start of a turn: the clients that have been told the map play from
// this turn on.
void seat_joined(Server& server);

// Adds the listener and the joining clients' connections to the connections
// the server waits on; returns the new count.
size_t add_joiner_waits(Server& server, size_t count);
