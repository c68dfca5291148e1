// The walker: the one loop that waits. It walks a range of seats through
// their conversations (net/conversation.h) until each has reached a step,
// with one wait over those seats, the joining clients and the lobby's
// listener: each message is taken and answered up to the client's next
// step, the seats' times are looked at, joiners are served and the stop
// flag is seen at every wake-up. Its wait set is sized once.
//
// One seat on a blocking socket with nothing else to watch (one at a time,
// without --rejoin) is waited for in its own receive: one send and one
// receive per message, no poll. Otherwise the seats' sockets do not block
// and one poll covers them all.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "server/lobby.h"
#include "server/seat.h"

struct Match;
struct ViewLedger;
struct Watch;

struct Walker {
  std::vector<SocketWait> waits;  // sized once: every seat, and the listener
  std::vector<int32_t> waited;    // the seat of each wait
  uint64_t messages = 0;          // of the turn exchanges, both ways
  // The seats whose exchange ended since the view was last told; sized once.
  std::vector<int32_t> ended;
  size_t ended_count = 0;
  // Raised while an operator's command waits for the match thread, looked
  // at on every wake-up; null: the match takes no commands.
  const std::atomic<bool>* command_waiting = nullptr;
};

// What the server's messages say: the match, and with served at once the
// ledger of what each client is shown (null: the tables as they stand).
struct Shown {
  const Match* match = nullptr;
  const ViewLedger* ledger = nullptr;
};

enum class WalkEnd : uint8_t {
  Reached,         // every seat of the range is at the step, or out of play
  Stopped,         // the stop flag was raised
  ProtocolBreak,   // a reply to relay_a was not ACK: the match ends (seats.ended_by)
  NoClientLeft,    // broken clients are dropped and the last one was
  CommandWaiting,  // an operator's command waits: the caller runs it, then walks on
};

// Drops the seat's client (seat_drop) and shows it dropped, once: a seat
// dropped already is left as it is.
void seats_drop(Seats& seats, Seat& seat, const SeatRules& rules, Watch* watch);

// At a turn's start: the clients that finished joining play from this turn
// on, each placed at its start in its first report, and shown rejoined.
void seats_join_ready(Seats& seats, Watch* watch);

// Sizes the wait set for `humans` seats.
void walker_set_up(Walker& walker, int32_t humans);

// Walks seats [first, end) until each is at `stop` (or out of play, or its
// report ended by a drop). A seat that breaks is served on, as always,
// unless broken clients are dropped: then it is dropped there, but for a
// break in its report, which ends the report and leaves the drop to the
// caller, once the report is applied. After a protocol break the seats
// after the breaker are served no more; those before it reach `stop`.
// Joiners (seats in JoinStage::Greeting) and the lobby are served meanwhile,
// and once more, without waiting, when the range has reached `stop`. A walk that
// ended for a waiting command goes on where it stood when called again with
// the same range and step.
WalkEnd walk(Walker& walker, Seats& seats, Lobby& lobby, const SeatRules& rules, const Shown& shown,
             Watch* watch, int32_t first, int32_t end, Step stop);

// Serves the joiners and the lobby as far as their messages have come,
// without waiting (between turns, while the match is paused).
void walk_joiners(Walker& walker, Seats& seats, Lobby& lobby, const SeatRules& rules,
                  const Shown& shown);

// Walks with `walk_once` (a call of walk()) until the walk ends for another
// reason than a waiting command, running the waiting commands with
// `run_commands` in between, where the walk left off.
template <typename Walk, typename RunCommands>
WalkEnd walk_running_commands(const Seats& seats, Walk walk_once, RunCommands run_commands) {
  for (;;) {
    const WalkEnd end = walk_once();
    if (end != WalkEnd::CommandWaiting) return end;
    run_commands();
    // A kick may have dropped the last client.
    if (seats.left == 0 && !seats.seat.empty()) return WalkEnd::NoClientLeft;
  }
}
