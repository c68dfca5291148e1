#include "server/handshake.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/log.h"
#include "console/texts.h"
#include "net/protocol.h"
#include "server/operator_hand.h"
#include "server/walker.h"

namespace {

// What the connection phase works on: the seats and the lobby, what walks
// them, what every client is told, and the operator's commands to run
// while it waits (null without them).
struct Joining {
  Seats& seats;
  Lobby& lobby;
  Walker& walker;
  const SeatRules& rules;
  const Match& match;
  Watch* watch;
  const std::function<void()>* run_commands;
  std::vector<bool> taken;  // per seat: a client of this start holds it
};

WalkEnd walk_seat(Joining& joining, Seat& seat, Step stop) {
  const auto walk_once = [&] {
    return walk(joining.walker, joining.seats, joining.lobby, joining.rules,
                {&joining.match, nullptr}, joining.watch, seat.index, seat.index + 1, stop);
  };
  return walk_running_commands(joining.seats, walk_once, [&] { (*joining.run_commands)(); });
}

// With the operator's hand: waits for the next connection that may join,
// running the operator's commands meanwhile, so that a connection the
// --allow list refuses never leaves the wait deaf to them. As
// lobby_accept does otherwise.
SocketHandle accept_running_commands(Joining& joining, const std::atomic<bool>& command_waiting,
                                     std::string* why, bool* stopped) {
  Lobby& lobby = joining.lobby;
  SocketWait wait{lobby.listener, false};
  *stopped = false;
  for (;;) {
    if (command_waiting.load(std::memory_order_relaxed)) (*joining.run_commands)();
    if (console_stop_asked() != nullptr) {
      *stopped = true;
      return INVALID_SOCKET_HANDLE;
    }
    if (socket_poll(&wait, 1, 100) <= 0) {
      watch_heartbeat(joining.watch, Clock::time_point{});
      continue;
    }
    const SocketHandle connection = socket_accept(lobby.listener, why);
    if (connection == INVALID_SOCKET_HANDLE || lobby_admit(lobby, connection)) {
      return connection;
    }
  }
}

// Takes the next connection into a seat not taken yet (the lowest, one
// that a resumed match's client last held from the same address first), and
// walks it through its greeting. The seat's index, or -1 when a stop came.
int32_t take_and_greet(Joining& joining, const std::atomic<bool>* command_waiting) {
  Lobby& lobby = joining.lobby;
  std::vector<bool>& taken = joining.taken;
  const int32_t humans = joining.match.human_count;
  const int32_t joined = static_cast<int32_t>(std::count(taken.begin(), taken.end(), true));
  const bool forget_strays = joining.rules.forget_strays;
  for (bool first = true;; first = false) {
    // A forgotten stray leaves no trace on the console: the texts of a
    // connection are printed once it has greeted, as they would have been.
    if (first || !forget_strays) console_print("%s", WAITING);
    // Listening anew before every accept changes nothing after the first
    // time; a failure is reported once. Without a listener (the port could
    // not be bound, already reported) every accept fails.
    std::string err;
    if (lobby.listener != INVALID_SOCKET_HANDLE &&
        !socket_listen(lobby.listener, LISTEN_BACKLOG, &err) && joined == 0) {
      console_diagnostic("%s", err.c_str());
    }
    std::string why;
    bool stopped = false;
    watch_heartbeat(joining.watch, Clock::time_point{});
    const SocketHandle client =
        command_waiting != nullptr && lobby.listener != INVALID_SOCKET_HANDLE
            ? accept_running_commands(joining, *command_waiting, &why, &stopped)
            : lobby_accept(lobby, &why, &stopped);
    if (stopped) return -1;
    const bool told_later = forget_strays && client != INVALID_SOCKET_HANDLE;
    char peer[DOTTED_SIZE];
    socket_peer_address(client, peer);
    if (!told_later) {
      console_print("%s", client == INVALID_SOCKET_HANDLE ? ACCEPT_ERROR : CONNECTING);
      console_print(PEER_LINE, peer);
    }
    const int32_t q = lobby_start_seat(joining.seats.seat, taken, peer);
    Seat& seat = joining.seats.seat[static_cast<size_t>(q)];
    seat_open(seat, client, joining.rules);
    // Where strays are forgotten, a connection is told in the log once it
    // has greeted: a flood of them is paced by the lobby instead.
    if (client != INVALID_SOCKET_HANDLE && !joining.rules.forget_strays) {
      log_line(LogLevel::Info, "player %d joined from %s", static_cast<int>(q), seat.peer);
    } else if (client == INVALID_SOCKET_HANDLE) {
      log_line(LogLevel::Error, "player %d: the connection could not be accepted (%s)",
               static_cast<int>(q), why.c_str());
    }
    watch_joined(joining.watch, joined + 1, humans);
    seat.at = HANDSHAKE_START;
    if (walk_seat(joining, seat, Step::PlayerCount) == WalkEnd::Stopped) return -1;
    const bool closed_before_greeting = joining.rules.forget_strays &&
                                        seat.status == SeatStatus::Broken &&
                                        seat.broken_by == BreakCause::Left;
    if (!closed_before_greeting) {
      if (told_later) {
        console_print("%s", CONNECTING);
        console_print(PEER_LINE, peer);
        log_line(LogLevel::Info, "player %d joined from %s", static_cast<int>(q), seat.peer);
      }
      taken[static_cast<size_t>(q)] = true;
      return q;
    }
    lobby_forget(lobby, seat);
    watch_joined(joining.watch, joined, humans);
  }
}

// Joining pass: `wanted` humans in turn are accepted, greeted and told the
// player count. A failed accept leaves an invalid seat that is served like any
// other.
bool join_clients(Joining& joining, const std::atomic<bool>* command_waiting, int32_t wanted) {
  const int32_t players = player_count(joining.match);
  for (int32_t joined = 0; joined < wanted;) {
    const int32_t q = take_and_greet(joining, command_waiting);
    if (q < 0) return false;
    Seat& seat = joining.seats.seat[static_cast<size_t>(q)];
    const bool greeted = seat.last_value == ACK;
    console_print("%s", greeted ? CONNECTED : GREETING_ERROR);
    if (walk_seat(joining, seat, Step::Joined) == WalkEnd::Stopped) return false;
    // Where strays are forgotten, one that sent something other than the
    // greeting and closed is no client of this game: its slot is not lost.
    if (joining.rules.forget_strays && !greeted && seat.status == SeatStatus::Broken &&
        seat.broken_by == BreakCause::Left) {
      joining.taken[static_cast<size_t>(q)] = false;
      lobby_forget(joining.lobby, seat);
      watch_joined(joining.watch, joined, joining.match.human_count);
      continue;
    }
    if (seat.last_value != players) console_print("%s", ECHO_ERROR);
    ++joined;
  }
  return true;
}

// Numbering pass, once every human is in: each learns its player index and
// the map.
bool number_clients(Joining& joining) {
  for (Seat& seat : joining.seats.seat) {
    if (!joining.taken[static_cast<size_t>(seat.index)]) continue;
    seat_start_time(seat, joining.rules, Clock::now());
    seat.at = {Step::PlayerIndex, 0};
    if (walk_seat(joining, seat, Step::Numbered) == WalkEnd::Stopped) return false;
  }
  return true;
}

}  // namespace

bool run_handshake(Server& server, int32_t wanted) {
  const std::function<void()> run_commands = [&server] { operator_serve(server); };
  Joining joining{server.seats,  server.lobby,
                  server.walker, server.rules,
                  server.match,  server.watch.get(),
                  &run_commands, std::vector<bool>(server.seats.seat.size(), false)};
  // While the clients are awaited the walker looks for commands too.
  const std::atomic<bool>* command_waiting =
      server.hand != nullptr ? &server.hand->pending : nullptr;
  server.walker.command_waiting = command_waiting;
  if (!join_clients(joining, command_waiting, wanted) || !number_clients(joining)) return false;
  // A resumed match that goes on without some of its clients: their slots
  // are free for them to take as they come back (--rejoin).
  for (Seat& seat : server.seats.seat) {
    if (joining.taken[static_cast<size_t>(seat.index)]) continue;
    seat.status = SeatStatus::Dropped;
    seat.join = JoinStage::InMatch;
    --server.seats.left;
    log_line(LogLevel::Info, "player %d's slot stays free for its client to come back",
             static_cast<int>(seat.index));
  }
  for (Seat& seat : server.seats.seat) {
    if (must_drop(seat, server.rules))
      seats_drop(server.seats, seat, server.rules, server.watch.get());
  }
  return true;
}
