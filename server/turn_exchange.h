// The human clients' part of a turn: each client walks the turn's
// conversation with the server (net/conversation.h), 4 x player_count + 7
// messages each way, + 8 with a hit; the turn rules (server/turn_rules.h)
// say what its report does and what it is shown.
//
// Two schedulers serve it. One at a time, in player index order, each
// exchange over before the next begins: every receive waits. All at once
// (--concurrent): every client reports at its own pace, answered as it goes;
// once every report is in, they are applied in player index order, and every
// client's table transfer runs at the same time, each client sent exactly
// what one at a time would have sent it. A turn then takes the slowest
// client's exchange instead of the sum of them.
#pragma once

#include <cstdint>

#include "server/server.h"

enum class TurnResult {
  Played,
  ProtocolBreak,  // a reply to relay_a was not ACK: the match must end, exit code 1
  NoClientLeft,   // broken clients are dropped and the last one was
};

// Serves every human client's exchange of the turn, one at a time or, with
// --concurrent, all at once. In the first turn (turn_count 1) each report
// also reads the start position file. A client that breaks is served to the
// end of the exchange as always, unless broken clients are dropped: then it
// is dropped there.
// REQUIRES: set_up_tables(match) has run; with --concurrent,
// set_up_serving_at_once(server) too.
TurnResult serve_turn(Server& server);

// Sizes what serving at once needs, once the tables are set up.
void set_up_serving_at_once(Server& server);
