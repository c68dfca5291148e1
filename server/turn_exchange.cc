#include "server/turn_exchange.h"

#include "server/operator_hand.h"
#include "server/walker.h"
#include "server/watch.h"

namespace {

TurnResult result_of(WalkEnd end) {
  switch (end) {
    case WalkEnd::Reached:
      return TurnResult::Played;
    case WalkEnd::Stopped:
      return TurnResult::Stopped;
    case WalkEnd::ProtocolBreak:
      return TurnResult::ProtocolBreak;
    case WalkEnd::NoClientLeft:
    case WalkEnd::CommandWaiting:  // served by walk_to, never returned
      break;
  }
  return TurnResult::NoClientLeft;
}

WalkEnd walk_to(Server& server, const Shown& shown, int32_t first, int32_t end, Step stop) {
  const auto walk_once = [&] {
    return walk(server.walker, server.seats, server.lobby, server.rules, shown, server.watch.get(),
                first, end, stop);
  };
  return walk_running_commands(server.seats, walk_once, [&server] { operator_serve(server); });
}

void begin_exchange(Seat& seat, const SeatRules& rules, Clock::time_point now) {
  seat.at = EXCHANGE_START;
  seat.report = Report{};
  seat_start_time(seat, rules, now);
}

// Applies the seat's report; a seat whose report ended with a drop is
// dropped then, in its place in the order. False when no client is left.
bool apply(Match& match, StartFile& start, Seats& seats, const SeatRules& rules, Watch* watch,
           Seat& seat, ViewLedger* ledger) {
  apply_report(match, seat.index, seat.report, seat.place_at_start, start, ledger, watch);
  seat.place_at_start = false;
  if (seat.report.ended_at == Step::Done) return true;
  seats_drop(seats, seat, rules, watch);
  return seats.left > 0;
}

TurnResult one_after_another(Server& server) {
  const Shown live{&server.match, nullptr};
  for (Seat& seat : server.seats.seat) {
    if (!in_play(seat)) continue;
    const int32_t q = seat.index;
    begin_exchange(seat, server.rules, Clock::now());
    WalkEnd end = walk_to(server, live, q, q + 1, Step::SendRelayA);
    if (end != WalkEnd::Reached) return result_of(end);
    if (!in_play(seat)) continue;
    if (!apply(server.match, server.start, server.seats, server.rules, server.watch.get(), seat,
               nullptr)) {
      return TurnResult::NoClientLeft;
    }
    if (!in_play(seat)) continue;
    end = walk_to(server, live, q, q + 1, Step::Done);
    if (end != WalkEnd::Reached) return result_of(end);
  }
  return TurnResult::Played;
}

TurnResult all_at_once(Server& server) {
  Seats& seats = server.seats;
  const auto now = Clock::now();
  for (Seat& seat : seats.seat) {
    if (in_play(seat)) begin_exchange(seat, server.rules, now);
  }
  const auto humans = static_cast<int32_t>(seats.seat.size());
  // Every client's report, at its own pace.
  WalkEnd end = walk_to(server, {&server.match, nullptr}, 0, humans, Step::SendRelayA);
  if (end != WalkEnd::Reached) return result_of(end);
  // The reports in player index order, each noted for what it shows.
  ledger_clear(server.ledger);
  for (Seat& seat : seats.seat) {
    if (in_play(seat) && !apply(server.match, server.start, seats, server.rules, server.watch.get(),
                                seat, &server.ledger)) {
      return TurnResult::NoClientLeft;
    }
  }
  // Every client's relay values and table, at once.
  end = walk_to(server, {&server.match, &server.ledger}, 0, humans, Step::Done);
  return result_of(end);
}

}  // namespace

TurnResult serve_turn(Server& server) {
  // Each walk ends by serving the joiners as far as their messages have come.
  return server.options.concurrent ? all_at_once(server) : one_after_another(server);
}
