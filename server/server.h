// The server: what is match-wide, and the pieces it puts together - the
// operator's settings, the match tables, the humans' seats and the rules of
// their time, the lobby, the walker, the ledger of what each client is
// shown, the view and the recording. Created once by the match driver.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "match/match.h"
#include "server/lobby.h"
#include "server/operator_hand.h"
#include "server/options.h"
#include "server/seat.h"
#include "server/turn_rules.h"
#include "server/walker.h"
#include "server/watch.h"

struct Server {
  Options options;
  Match match;
  Seats seats;      // per human, by player index
  SeatRules rules;  // what every seat's time and log need; its turn kept by the driver
  Lobby lobby;
  Walker walker;
  // Served at once (--concurrent): what each client is shown while the
  // tables already hold the end of the turn.
  ViewLedger ledger;
  StartFile start;               // where the start position file is read from
  std::unique_ptr<Watch> watch;  // --http and --record; null without them
  // The operator's commands (server/operator_hand.h): null without a channel.
  std::shared_ptr<OperatorHand> hand;  // shared with the console's thread
};

// The humans' seats, the rules and the walker for a match whose human count
// is known: each seat numbered, none connected yet.
void set_up_seats(Server& server);
