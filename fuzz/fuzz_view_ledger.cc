// What each client served at once is shown, against the plain rule: for
// every client q, every cell it is shown equals the tables after the reports
// of clients 0..q applied one after the other.
//
// Input layout: humans (1..8), bots (0..6), turns (1..3), then per turn and
// human a report: the step it ended at (any report step, or whole), then
// relay_a, relay_b, x, y, damage, target, heading as small numbers that hit
// the rules' special values often.
#include <cinttypes>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "match/match.h"
#include "net/protocol.h"
#include "server/turn_rules.h"

namespace {

int32_t take_value(FuzzInput& input, int32_t players) {
  const uint8_t kind = input.take_byte();
  switch (kind % 6) {
    case 0:
      return NO_VALUE;
    case 1:
      return CLEAR_VALUE;
    case 2:
      return input.take_small(0, players + 1);  // a target, or near one
    case 3:
      return input.take_int32();
    default:
      return static_cast<int32_t>(kind) - 128;
  }
}

// The tables the rules work on.
struct Tables {
  Match match;
  ViewLedger ledger;
  StartFile start;
};

std::unique_ptr<Tables> make_server(int32_t humans, int32_t bots) {
  auto server = std::make_unique<Tables>();
  Match& match = server->match;
  match.human_count = humans;
  match.bot_count = bots;
  create_route_tables(match);
  create_client_table(match);
  set_up_tables(match);
  // Past the first turn: no start position file is read.
  match.turn_count = 2;
  return server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const int32_t humans = input.take_small(1, 8);
  const int32_t bots = input.take_small(0, 6);
  const int32_t turns = input.take_small(1, 3);
  const auto at_once = make_server(humans, bots);
  const auto in_turn = make_server(humans, bots);
  ledger_set_up(at_once->ledger, at_once->match);
  const int32_t players = humans + bots;
  const int32_t cells = relay_b_cell(players) + 1;

  for (int32_t turn = 0; turn < turns; ++turn) {
    std::vector<Report> reports(static_cast<size_t>(humans));
    for (Report& report : reports) {
      const int32_t end = input.take_small(0, 8);
      report.ended_at =
          end == 8 ? Step::Done : static_cast<Step>(static_cast<int32_t>(Step::RelayA) + 2 * end);
      report.relay_a = take_value(input, players);
      report.relay_b = take_value(input, players);
      report.x = take_value(input, players);
      report.y = take_value(input, players);
      report.damage = take_value(input, players);
      report.target = take_value(input, players);
      report.heading = take_value(input, players);
    }
    ledger_clear(at_once->ledger);
    for (int32_t q = 0; q < humans; ++q) {
      apply_report(at_once->match, q, reports[static_cast<size_t>(q)], false, at_once->start,
                   &at_once->ledger, nullptr);
    }
    for (int32_t q = 0; q < humans; ++q) {
      apply_report(in_turn->match, q, reports[static_cast<size_t>(q)], false, in_turn->start,
                   nullptr, nullptr);
      for (int32_t cell = 0; cell < cells; ++cell) {
        const int32_t shown =
            ledger_view(at_once->ledger, cell, q, cell_value(at_once->match, cell));
        FUZZ_REQUIRE(shown == cell_value(in_turn->match, cell),
                     "turn %" PRId32 ": client %" PRId32 " is shown %" PRId32 " in cell %" PRId32
                     ", one at a time %" PRId32,
                     turn, q, shown, cell, cell_value(in_turn->match, cell));
      }
    }
  }
  return 0;
}
