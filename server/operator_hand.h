// The operator's hand on a running match: the commands typed at the console
// (--console-commands, or a console that is a terminal) and those that come
// over the remote console (--rcon, server/rcon_listener.h) queue here, and
// the match thread runs them (server/operator_commands.h) where it already
// wakes: in the walker's loop, between turns, and while paused. Without
// either channel there is no hand, and the match thread never looks.
//
// The queue is the one thing the channels' threads and the match thread
// share: a mutex guards it; `pending` lets the match thread see it is empty
// without taking the mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"
#include "server/options.h"
#include "server/rcon_listener.h"
#include "server/seat.h"
#include "server/walker.h"

struct Server;
struct Watch;

struct OperatorRequest {
  std::string line;
  std::string origin;   // "console", "rcon 127.0.0.1:50122"
  uint64_t ticket = 0;  // 0: the console's, answered on standard output
};

struct OperatorHand {
  std::mutex mutex;
  std::condition_variable requested;  // the match thread, while paused
  std::condition_variable answered;   // the remote console's thread
  std::deque<OperatorRequest> requests;
  std::vector<std::pair<uint64_t, std::string>> answers;  // for tickets still waited for
  std::vector<uint64_t> abandoned;  // tickets whose waiter gave up: no answer is kept
  uint64_t next_ticket = 1;
  std::atomic<bool> pending{false};
  // The match thread's own.
  bool console_commands = false;  // lines typed at the console are commands
  bool paused = false;
  // While the clients are awaited at the start: how many; -1 once the match runs.
  int32_t waiting_for = -1;
  // The pace status shows is counted from the match's start in this
  // process: a resumed match's earlier turns were played by another.
  uint64_t turns_at_begin = 0;
  uint64_t turns_played = 0;  // as the last turn done left it
  std::chrono::steady_clock::time_point begun{};
  std::vector<int64_t> round_trips;  // per human: its last whole exchange's, 0: none
  SocketHandle rcon_listener = INVALID_SOCKET_HANDLE;
  // The console's thread, from operator_listen to operator_close, which
  // ends it: it looks at `closing` while no input comes. Where a read
  // cannot be waited on (a pipe under some Windows layers) it may be held
  // in a read; it is then let go, holding its own share of the hand.
  std::thread console_reader;
  std::atomic<bool> closing{false};
  std::atomic<bool> console_read_ended{false};
  std::unique_ptr<RconService> rcon;  // its thread, from operator_listen to operator_close
  ~OperatorHand();
};

// Whether a command waits for the match thread; without the mutex.
inline bool operator_waiting(const OperatorHand& hand) {
  return hand.pending.load(std::memory_order_relaxed);
}

// Before the handshake: makes the hand when an option asks for a channel
// (its round trips timed by the seats' `rules`), and binds the remote
// console's port. Returns -1, or, with the reason logged, the exit code to
// end with.
int operator_open(std::shared_ptr<OperatorHand>& hand, const Options& options, int32_t humans,
                  SeatRules& rules);

// Once every port is bound and the recording open: the channels' threads
// begin taking commands, which are run while the clients are awaited too.
void operator_listen(const std::shared_ptr<OperatorHand>& hand, const Options& options,
                     Watch* watch, int32_t humans);

// At the start of the match: the walker looks for commands from now on.
void operator_begin(OperatorHand& hand, Walker& walker, uint64_t turns_played);

// Any thread: queues a command; its ticket.
uint64_t operator_submit(OperatorHand& hand, std::string line, std::string origin, bool console);

// The answer to `ticket` when it has come (taken then); false while not.
bool operator_poll_answer(OperatorHand& hand, uint64_t ticket, std::string* answer);

// Gives `ticket` up: its answer, when it comes, is not kept.
void operator_give_up(OperatorHand& hand, uint64_t ticket);

// The match thread: runs every queued command on the server's match.
void operator_serve(Server& server);

// The match thread, between turns: runs queued commands, and while the
// match is paused, waits for them (joiners served, the view told it wakes).
// Returns when the match goes on or a stop was asked for.
void operator_between_turns(Server& server);

// The match thread, after a turn: notes the turns played and each human's
// round trip for status.
void operator_turn_done(OperatorHand& hand, const Seats& seats, uint64_t turns_played);

// At the end, once what was queued has run: gives the remote console's
// thread a moment to send the answers already made (the answer to "end"
// among them), then ends it.
void operator_close(OperatorHand& hand);
