// One human client's part of a turn. The client reports two relay values, its
// position, at most one hit and its heading; the server answers each with
// ACK, then sends relay_a (the reply must be ACK), relay_b, and the whole
// player table: pos_x, pos_y, health, heading of every player in player index
// order, each answered by the client except the very last heading.
//
// One exchange is 4 x player_count + 7 messages each way, + 8 with a hit.
#pragma once

#include <cstdint>

#include "server/server.h"

enum class ExchangeResult {
  Completed,
  ProtocolBreak,  // the reply to relay_a was not ACK: the match must end, exit code 1
  Dropped,        // the client broke and broken clients are dropped: it was
};

// Runs the exchange with human q over client_socket[q]. In the first turn
// (turn_count 1) it also reads the start position file after the position.
// A client that breaks is served to the end of the exchange as always,
// unless broken clients are dropped: then the exchange stops there.
// REQUIRES: 0 <= q < human_count, set_up_tables(match) has run, q not dropped.
ExchangeResult turn_exchange(Server& server, int32_t q);
