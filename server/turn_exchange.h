// The human clients' part of a turn: each client walks the turn's
// conversation with the server (net/conversation.h), 4 x player_count + 7
// messages each way, + 8 with a hit; the turn rules (server/turn_rules.h)
// say what its report does and what it is shown; the walker
// (server/walker.h) waits.
//
// Two schedulers serve it. One after another, in player index order: each
// seat is walked to the end of its report, the report applied, then walked
// to the end of its exchange, before the next seat begins. All at once
// (--concurrent): every seat is walked to the end of its report at its own
// pace; the reports are applied in player index order; then every seat is
// walked to the end at once, each client sent exactly what one after
// another would have sent it. A turn then takes the slowest client's
// exchange instead of the sum of them.
#pragma once

#include "server/server.h"

enum class TurnResult {
  Played,
  ProtocolBreak,  // a reply to relay_a was not ACK: the match must end, exit code 1
  NoClientLeft,   // broken clients are dropped and the last one was
  Stopped,        // the operator asked the server to end
};

// Serves every human client's exchange of the turn. A client that breaks is
// served to the end of the exchange as always, unless broken clients are
// dropped: then it is dropped there. Joiners (--rejoin) are served
// meanwhile; those that finished joining play once seats_join_ready has
// made them players, at a turn's start.
// REQUIRES: set_up_tables(match) and set_up_seats(server) have run, and
// served at once, ledger_set_up(server.ledger, match).
TurnResult serve_turn(Server& server);
