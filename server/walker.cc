#include "server/walker.h"

#include <algorithm>
#include <cinttypes>

#include "console/console.h"
#include "console/log.h"
#include "match/match.h"
#include "net/protocol.h"
#include "server/turn_rules.h"
#include "server/watch.h"

namespace {

bool counted(Step step) {
  return step >= Step::RelayA;
}

// Sends the server's steps up to the client's next step, or up to `stop`.
// A joiner goes straight from its echo to its index: every other human is in
// already. The seat's next wait begins at `now`, and runs while what was sent
// waits for the client to read it.
void send_server_steps(Walker& walker, Seat& seat, const SeatRules& rules, const Shown& shown,
                       Step stop, Clock::time_point now) {
  seat_start_wait(seat, now);
  const int32_t players = player_count(*shown.match);
  for (;;) {
    if (seat.at.step == Step::Joined && seat.join == JoinStage::Greeting) {
      seat.at = {Step::PlayerIndex, 0};
    }
    if (speaker(seat.at.step) != Speaker::Server || seat.at.step == stop) break;
    const Step step = seat.at.step;
    const bool row = step >= Step::RowX && step <= Step::RowHeading;
    seat_send(seat, rules, server_step_name(step),
              value_sent(*shown.match, shown.ledger, seat.index, seat.at), row ? seat.at.row : -1);
    if (counted(step)) {
      ++walker.messages;
      ++seat.messages;
    }
    seat.at = next_step(seat.at, 0, players);
  }
}

// Whether the walk still waits for the seat: for its client to read what
// was sent to it, or for its next message.
bool waits_for(const Seat& seat, Step stop) {
  if (!in_play(seat)) return false;
  return has_output(seat) || (seat.at.step != stop && speaker(seat.at.step) != Speaker::Nobody &&
                              seat.report.ended_at == Step::Done);
}

// One message (or a close) from a joiner, and the server's answers.
void step_joiner(Walker& walker, Lobby& lobby, Seat& seat, const SeatRules& rules,
                 const Shown& shown, Received received, int32_t value) {
  if (received == Received::Closed || seat.status != SeatStatus::Playing) {
    lobby_give_back(lobby, seat);
    return;
  }
  const Step step = seat.at.step;
  seat_take_message(seat, rules, &value);
  const int32_t players = player_count(*shown.match);
  if (step == Step::Greeting && value != ACK && !rules.check_clients) {
    log_line(LogLevel::Warning, "player %d (%s) greeted with %d, not 147",
             static_cast<int>(seat.index), seat.who, static_cast<int>(value));
  }
  if (step == Step::Echo && value != players && !rules.check_clients) {
    log_line(LogLevel::Warning, "player %d (%s) echoed %d, not the player count %d",
             static_cast<int>(seat.index), seat.who, static_cast<int>(value),
             static_cast<int>(players));
  }
  send_server_steps(walker, seat, rules, shown, Step::Numbered, Clock::now());
  if (seat.at.step == Step::Numbered) {
    seat.join = JoinStage::Ready;
    log_line(LogLevel::Info,
             "player %d (%s) rejoined in turn %" PRIu64 "; it plays from the next turn",
             static_cast<int>(seat.index), seat.who, rules.turn);
  }
}

// Looks at every joiner's time, and moves each on as far as its messages
// have come (each receive gives up at once: their sockets never block).
void serve_joiners(Walker& walker, Seats& seats, Lobby& lobby, const SeatRules& rules,
                   const Shown& shown, Clock::time_point now, bool look_at_all) {
  for (size_t i = 0; i < seats.seat.size(); ++i) {
    Seat& seat = seats.seat[i];
    if (seat.join != JoinStage::Greeting) continue;
    seat_check_time(seat, rules, now);
    if (!look_at_all || !seat_flush(seat)) continue;
    int32_t value = 0;
    const Received received = seat_receive(seat, rules, &value);
    if (received != Received::Nothing) {
      step_joiner(walker, lobby, seat, rules, shown, received, value);
    }
  }
}

// The seat's exchange has ended: the view is told at the next wake-up.
void note_exchange_end(Walker& walker, const Seat& seat) {
  if (seat.at.step == Step::Done && walker.ended_count < walker.ended.size()) {
    walker.ended[walker.ended_count++] = seat.index;
  }
}

}  // namespace

void seats_drop(Seats& seats, Seat& seat, const SeatRules& rules, Watch* watch) {
  if (seat.status == SeatStatus::Dropped) return;
  --seats.left;
  seat_drop(seat, rules, seats.left);
  watch_seat_dropped(watch, seat.index);
}

void seats_join_ready(Seats& seats, Watch* watch) {
  for (Seat& seat : seats.seat) {
    if (seat.join != JoinStage::Ready) continue;
    seat.join = JoinStage::InMatch;
    seat.place_at_start = true;
    ++seats.left;
    watch_seat_rejoined(watch, seat.index, seat.peer);
  }
}

void walker_set_up(Walker& walker, int32_t humans) {
  // Every seat (each either playing or joining), and the listener.
  walker.waits.assign(static_cast<size_t>(humans) + 1, SocketWait{});
  walker.waited.assign(static_cast<size_t>(humans) + 1, -1);
  walker.ended.assign(static_cast<size_t>(humans), -1);
  walker.ended_count = 0;
}

WalkEnd walk(Walker& walker, Seats& seats, Lobby& lobby, const SeatRules& rules, const Shown& shown,
             Watch* watch, int32_t first, int32_t end, Step stop) {
  // The first seat that broke the protocol: one of the range's, when this
  // walk goes on after a command.
  int32_t broke = seats.ended_by >= first && seats.ended_by < end ? seats.ended_by : end;
  const auto slice = std::chrono::duration_cast<std::chrono::nanoseconds>(rules.wait_slice);
  // Seats at one of the server's steps are answered first.
  for (int32_t q = first; q < end; ++q) {
    Seat& seat = seats.seat[static_cast<size_t>(q)];
    if (!waits_for(seat, stop) || speaker(seat.at.step) != Speaker::Server) continue;
    send_server_steps(walker, seat, rules, shown, stop, Clock::now());
    note_exchange_end(walker, seat);
  }
  for (;;) {
    if (walker.command_waiting != nullptr &&
        walker.command_waiting->load(std::memory_order_relaxed)) {
      return WalkEnd::CommandWaiting;
    }
    if (console_stop_asked() != nullptr) return WalkEnd::Stopped;
    const auto now = Clock::now();
    // The seats waited on, each one's time looked at, and the one waited on
    // longest.
    WalkNews news{now, -1, now, walker.ended.data(), walker.ended_count, walker.messages};
    size_t count = 0;
    bool any_at_once = false;
    bool any_blocking = false;
    auto next = slice;
    for (int32_t q = first; q < broke; ++q) {
      Seat& seat = seats.seat[static_cast<size_t>(q)];
      if (!waits_for(seat, stop)) continue;
      next = std::min(next, seat_check_time(seat, rules, now));
      // A connection that never was gives its nothing at once.
      any_at_once = any_at_once || seat.socket == INVALID_SOCKET_HANDLE;
      any_blocking = any_blocking || !seat.nonblocking;
      walker.waits[count] =
          SocketWait{seat.socket, seat.socket == INVALID_SOCKET_HANDLE, has_output(seat)};
      walker.waited[count++] = q;
      if (news.oldest < 0 || seat.time.since < news.since) {
        news.oldest = q;
        news.since = seat.time.since;
      }
    }
    watch_walk(watch, seats, news);
    walker.ended_count = 0;
    size_t with_lobby = count;
    if (count > 0 && lobby_listening(lobby, now)) {
      walker.waits[with_lobby] = SocketWait{lobby.listener, false};
      walker.waited[with_lobby++] = -1;
    }
    for (const Seat& seat : seats.seat) {
      if (count == 0 || seat.join != JoinStage::Greeting) continue;
      walker.waits[with_lobby] = SocketWait{seat.socket, false, has_output(seat)};
      walker.waited[with_lobby++] = seat.index;
    }
    if (count == 1 && with_lobby == 1 && any_blocking) {
      // One seat and nothing else: its own receive waits, as long as its
      // socket's time-out says.
      walker.waits[0].ready = true;
    } else if (count > 0 && !any_at_once) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next).count();
      const int ready =
          socket_poll(walker.waits.data(), with_lobby, static_cast<int>(std::max<int64_t>(ms, 0)));
      // Nothing for a while: each seat is asked once all the same, so that
      // a readiness the poll failed to report cannot hold a turn for ever.
      // A receive with nothing there gives up at once.
      if (ready == 0) {
        for (size_t i = 0; i < count; ++i) walker.waits[i].ready = !any_blocking;
      }
    }
    // The joiners and the lobby: a joiner's time counts only its own
    // silence. Once the walk has reached its step they are served as far as
    // their messages have come, without waiting.
    bool joiners_ready = count == 0 && lobby.open_in_match;
    for (size_t i = count; i < with_lobby; ++i)
      joiners_ready = joiners_ready || walker.waits[i].ready;
    if (with_lobby > count || joiners_ready) {
      if (joiners_ready) lobby_take_waiting(lobby, seats.seat, rules);
      serve_joiners(walker, seats, lobby, rules, shown, Clock::now(), joiners_ready);
    }
    if (count == 0) break;
    for (size_t i = 0; i < count; ++i) {
      if (!walker.waits[i].ready) continue;
      const int32_t q = walker.waited[i];
      if (q >= broke) continue;
      Seat& seat = seats.seat[static_cast<size_t>(q)];
      // What its client has not read yet goes first: its next message
      // answers that.
      if (!seat_flush(seat)) continue;
      if (walker.waits[i].write) continue;
      int32_t value = 0;
      const Received received = seat_receive(seat, rules, &value);
      if (received == Received::Nothing) continue;
      // A closed or timed-out seat goes on with 0, as from a closed connection.
      const auto came_at = Clock::now();
      seat.time.used += came_at - seat.time.since;
      if (counted(seat.at.step)) ++walker.messages;
      const MessageMeans outcome = seat_take_message(seat, rules, &value);
      if (outcome == MessageMeans::ProtocolBreak) {
        broke = q;
        if (seats.ended_by < 0 || q < seats.ended_by) seats.ended_by = q;
        continue;
      }
      if (outcome == MessageMeans::Drop) {
        // Dropped while reporting: its report ends here, and it is dropped
        // once the report is applied.
        if (in_report(seat.at.step)) continue;
        seats_drop(seats, seat, rules, watch);
        if (seats.left == 0) return WalkEnd::NoClientLeft;
        continue;
      }
      send_server_steps(walker, seat, rules, shown, stop, came_at);
      note_exchange_end(walker, seat);
    }
  }
  return broke < end ? WalkEnd::ProtocolBreak : WalkEnd::Reached;
}

void walk_joiners(Walker& walker, Seats& seats, Lobby& lobby, const SeatRules& rules,
                  const Shown& shown) {
  if (!lobby.open_in_match) return;
  lobby_take_waiting(lobby, seats.seat, rules);
  serve_joiners(walker, seats, lobby, rules, shown, Clock::now(), true);
}
