#include "server/lobby.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "console/log.h"

namespace {

// Each kind of refusal is told this many times, then counted.
constexpr uint32_t TOLD_IN_FULL = 3;
constexpr auto PACED_EVERY = std::chrono::seconds(60);

// A flood of connections is taken a few at a time, so that the turns keep
// their pace meanwhile.
constexpr int ACCEPTS_AT_ONCE = 16;

// After an accept that failed with a connection waiting (out of
// descriptors), the listener rests this long instead of failing again at
// every look.
constexpr auto ACCEPT_PAUSE = std::chrono::seconds(1);

}  // namespace

namespace {

void paced_line(LogPace& pace, LogLevel level, const char* what, const char* format, va_list args) {
  const auto now = Clock::now();
  if (pace.told > TOLD_IN_FULL) {
    ++pace.unsaid;
    if (now - pace.last_said < PACED_EVERY) return;
    log_line(LogLevel::Warning, "%" PRIu64 " more %s in the last minute", pace.unsaid, what);
    pace.unsaid = 0;
    pace.last_said = now;
    return;
  }
  char line[300];
  std::vsnprintf(line, sizeof line, format, args);
  ++pace.told;
  pace.last_said = now;
  log_line(level, "%s%s", line,
           pace.told > TOLD_IN_FULL ? "; from now on these are counted, once a minute" : "");
}

}  // namespace

void paced_warning(LogPace& pace, const char* what, const char* format, ...) {
  va_list args;
  va_start(args, format);
  paced_line(pace, LogLevel::Warning, what, format, args);
  va_end(args);
}

void paced_info(LogPace& pace, const char* what, const char* format, ...) {
  va_list args;
  va_start(args, format);
  paced_line(pace, LogLevel::Info, what, format, args);
  va_end(args);
}

namespace {

// The address part of a peer text "a.b.c.d:port".
bool same_address(const char* peer, const char* address) {
  const size_t length = std::strlen(address);
  return std::strncmp(peer, address, length) == 0 && peer[length] == ':';
}

// Gives seat a client that has just connected during the match. A flood of
// connections into a free slot is paced in the log like the refusals.
void take_seat(Lobby& lobby, Seat& seat, SocketHandle connection, const SeatRules& rules) {
  const int32_t index = seat.index;
  const ClientChecks checks = checks_for_next_client(seat.checks);
  seat = Seat{};
  seat.index = index;
  seat.checks = checks;
  seat.join = JoinStage::Greeting;
  seat.at = HANDSHAKE_START;
  seat_open(seat, connection, rules);
  seat.nonblocking = socket_set_blocking(connection, false);
  paced_info(lobby.taking, "connections that took a free slot",
             "player %d: a client from %s takes the dropped player's slot in turn %" PRIu64,
             static_cast<int>(index), seat.peer, rules.turn);
}

}  // namespace

bool lobby_admit(Lobby& lobby, SocketHandle connection) {
  if (lobby.allow.empty()) return true;
  char address[DOTTED_SIZE];
  uint16_t port = 0;
  socket_peer_address(connection, address, &port);
  if (in_networks(lobby.allow, address)) return true;
  paced_warning(lobby.refused_by_allow, "connections refused by the --allow list",
                "refused a connection from %s:%u: not in the --allow list", address,
                static_cast<unsigned>(port));
  socket_close(connection, true);
  return false;
}

SocketHandle lobby_accept(Lobby& lobby, std::string* why, bool* stopped) {
  *stopped = false;
  for (;;) {
    // A stop that came while the match thread was not in the accept (a
    // console text waiting for room, a client's walk) is seen here; one
    // that comes during the accept interrupts it.
    if (console_stop_asked() != nullptr) {
      *stopped = true;
      return INVALID_SOCKET_HANDLE;
    }
    // Out of descriptors, the accept fails at once, with nobody connecting:
    // the historic server goes on with that player unconnected.
    bool interrupted = false;
    const SocketHandle connection = socket_accept(lobby.listener, why, &interrupted);
    if (interrupted) {
      if (console_stop_asked() == nullptr) continue;
      *stopped = true;
      return INVALID_SOCKET_HANDLE;
    }
    if (connection == INVALID_SOCKET_HANDLE || lobby_admit(lobby, connection)) return connection;
  }
}

void lobby_forget(Lobby& lobby, Seat& seat) {
  paced_warning(lobby.forgotten, "connections that closed before they greeted",
                "a connection from %s closed before it greeted; it takes no player's slot",
                seat.peer);
  socket_close(seat.socket, true);
  seat.socket = INVALID_SOCKET_HANDLE;
  seat.status = SeatStatus::Playing;
  seat.broken_by = BreakCause::None;
}

void lobby_give_back(Lobby& lobby, Seat& seat) {
  socket_close(seat.socket);
  seat.socket = INVALID_SOCKET_HANDLE;
  seat.out_sent = seat.out_length = 0;
  seat.join = JoinStage::InMatch;
  seat.status = SeatStatus::Dropped;
  paced_warning(lobby.given_back, "connections that did not finish joining",
                "player %d (%s) did not finish joining; the slot stays free",
                static_cast<int>(seat.index), seat.who);
}

bool lobby_listening(const Lobby& lobby, Clock::time_point now) {
  return lobby.open_in_match && now >= lobby.resting_until;
}

void lobby_take_waiting(Lobby& lobby, std::vector<Seat>& seats, const SeatRules& rules) {
  if (!lobby_listening(lobby, Clock::now())) return;
  for (int i = 0; i < ACCEPTS_AT_ONCE; ++i) {
    SocketWait waiting{lobby.listener, false};
    if (socket_poll(&waiting, 1, 0) <= 0) return;
    std::string why;
    const SocketHandle connection = socket_accept(lobby.listener, &why);
    if (connection == INVALID_SOCKET_HANDLE) {
      if (!lobby.accept_failing) {
        log_line(LogLevel::Warning,
                 "cannot accept a connection in turn %" PRIu64 ": %s; trying again every second",
                 rules.turn, why.c_str());
      }
      lobby.accept_failing = true;
      lobby.resting_until = Clock::now() + ACCEPT_PAUSE;
      return;
    }
    lobby.accept_failing = false;
    if (!lobby_admit(lobby, connection)) continue;
    char address[DOTTED_SIZE];
    uint16_t port = 0;
    socket_peer_address(connection, address, &port);
    const int32_t q = lobby_free_seat(seats, address);
    if (q < 0) {
      paced_warning(lobby.refused_full, "connections refused with no free slot",
                    "refused a connection from %s:%u in turn %" PRIu64 ": no player's slot is free",
                    address, static_cast<unsigned>(port), rules.turn);
      socket_close(connection, true);
      continue;
    }
    take_seat(lobby, seats[static_cast<size_t>(q)], connection, rules);
  }
}

int32_t lobby_start_seat(const std::vector<Seat>& seats, const std::vector<bool>& taken,
                         const char* address) {
  int32_t lowest = -1;
  for (const Seat& seat : seats) {
    if (taken[static_cast<size_t>(seat.index)]) continue;
    if (same_address(seat.peer, address)) return seat.index;
    if (lowest < 0) lowest = seat.index;
  }
  return lowest;
}

int32_t lobby_free_seat(const std::vector<Seat>& seats, const char* address) {
  int32_t lowest = -1;
  for (const Seat& seat : seats) {
    if (!is_free(seat)) continue;
    if (same_address(seat.peer, address)) return seat.index;
    if (lowest < 0) lowest = seat.index;
  }
  return lowest;
}
