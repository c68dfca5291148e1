#include "server/rejoin.h"

#include <cinttypes>
#include <cstring>
#include <string>

#include "console/log.h"
#include "net/message.h"
#include "net/protocol.h"
#include "server/client_link.h"

namespace {

using Clock = std::chrono::steady_clock;

// The address part of a peer text "a.b.c.d:port".
bool same_address(const char* peer, const char* address) {
  const size_t length = std::strlen(address);
  return std::strncmp(peer, address, length) == 0 && peer[length] == ':';
}

// The slot a client from `address` takes: the lowest dropped one, one whose
// last client came from the same address first; -1 when none is free.
int32_t free_slot(const Server& server, const char* address) {
  int32_t lowest = -1;
  for (int32_t q = 0; q < server.match.human_count; ++q) {
    const ClientState& link = server.client_state[static_cast<size_t>(q)];
    if (!slot_is_free(link)) continue;
    if (same_address(link.peer, address)) return q;
    if (lowest < 0) lowest = q;
  }
  return lowest;
}

// Gives slot q to a client that has just connected.
void take_slot(Server& server, int32_t q, SocketHandle connection) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  link = ClientState{};
  link.rejoin = Rejoin::Greeting;
  link.at = HANDSHAKE_START;
  server.match.client_socket[static_cast<size_t>(q)] = connection;
  watch_client(server, q);
  link.nonblocking = socket_set_blocking(connection, false);
  start_client_budget(server, q);
  link.waiting_since = Clock::now();
  log_line(LogLevel::Info,
           "player %d: a client from %s takes the dropped player's slot in turn %" PRIu64,
           static_cast<int>(q), link.peer, current_turn(server));
}

// A joining client that broke (closed, timed out) leaves its slot free.
void give_slot_back(Server& server, int32_t q) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  SocketHandle& connection = server.match.client_socket[static_cast<size_t>(q)];
  socket_close(connection);
  connection = INVALID_SOCKET_HANDLE;
  link.rejoin = Rejoin::None;
  link.status = ClientStatus::Dropped;
  log_line(LogLevel::Warning, "player %d (%s) did not finish joining; the slot stays free",
           static_cast<int>(q), link.peer);
}

// A flood of connections is taken a few at a time, so that the turns keep
// their pace meanwhile.
constexpr int ACCEPTS_AT_ONCE = 16;

// After an accept that failed with a connection waiting (out of
// descriptors), the listener rests this long instead of failing again at
// every look.
constexpr auto ACCEPT_PAUSE = std::chrono::seconds(1);

void accept_waiting(Server& server) {
  if (Clock::now() < server.accepts_paused_until) return;
  for (int i = 0; i < ACCEPTS_AT_ONCE; ++i) {
    SocketWait waiting{server.listener, false};
    if (socket_poll(&waiting, 1, 0) <= 0) return;
    std::string why;
    const SocketHandle connection = socket_accept(server.listener, &why);
    if (connection == INVALID_SOCKET_HANDLE) {
      if (!server.accept_failing) {
        log_line(LogLevel::Warning,
                 "cannot accept a connection in turn %" PRIu64 ": %s; trying again every second",
                 current_turn(server), why.c_str());
      }
      server.accept_failing = true;
      server.accepts_paused_until = Clock::now() + ACCEPT_PAUSE;
      return;
    }
    server.accept_failing = false;
    if (!admit(server, connection)) continue;
    char address[DOTTED_SIZE];
    uint16_t port = 0;
    socket_peer_address(connection, address, &port);
    const int32_t q = free_slot(server, address);
    if (q < 0) {
      log_line(LogLevel::Warning,
               "refused a connection from %s:%u in turn %" PRIu64 ": no player's slot is free",
               address, static_cast<unsigned>(port), current_turn(server));
      socket_close(connection, true);
      continue;
    }
    take_slot(server, q, connection);
  }
}

// The value the server sends a joining client at one of its steps.
int32_t handshake_value(const Server& server, int32_t q, Step step) {
  if (step == Step::PlayerCount) return player_count(server.match);
  if (step == Step::PlayerIndex) return q;
  return server.match.map_number;
}

Expect expect_in_handshake(Step step) {
  if (step == Step::Greeting) return Expect::Greeting;
  if (step == Step::Echo) return Expect::Echo;
  return Expect::Reply;
}

// One message from joining client q, and the server's answers up to its
// next message.
void go_on_joining(Server& server, int32_t q) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  const int32_t players = player_count(server.match);
  const Step step = link.at.step;
  int32_t value = 0;
  if (!receive_ready(server, q, server_step_name(step), expect_in_handshake(step), &value)) return;
  if (link.status != ClientStatus::Playing) return give_slot_back(server, q);
  if (step == Step::Greeting && value != ACK) {
    log_line(LogLevel::Warning, "player %d (%s) greeted with %d, not 147", static_cast<int>(q),
             link.peer, static_cast<int>(value));
  }
  if (step == Step::Echo && value != players) {
    log_line(LogLevel::Warning, "player %d (%s) echoed %d, not the player count %d",
             static_cast<int>(q), link.peer, static_cast<int>(value), static_cast<int>(players));
  }
  link.at = next_step(link.at, value, players);
  // Every other human is in already: nobody to wait for.
  if (link.at.step == Step::Joined) link.at = {Step::PlayerIndex, 0};
  while (speaker(link.at.step) == Speaker::Server) {
    send_to(server, q, server_step_name(link.at.step), handshake_value(server, q, link.at.step));
    link.at = next_step(link.at, 0, players);
  }
  link.waiting_since = Clock::now();
  link.warned_stalls = 0;
  if (link.at.step == Step::Numbered) {
    link.rejoin = Rejoin::Ready;
    log_line(LogLevel::Info,
             "player %d (%s) rejoined in turn %" PRIu64 "; it plays from the next turn",
             static_cast<int>(q), link.peer, current_turn(server));
  }
}

}  // namespace

bool admit(Server& server, SocketHandle connection) {
  if (server.options.allow.empty()) return true;
  char address[DOTTED_SIZE];
  uint16_t port = 0;
  socket_peer_address(connection, address, &port);
  if (in_networks(server.options.allow, address)) return true;
  log_line(LogLevel::Warning, "refused a connection from %s:%u: not in the --allow list", address,
           static_cast<unsigned>(port));
  socket_close(connection, true);
  return false;
}

void keep_listening(Server& server, SocketHandle listener) {
  if (!server.options.rejoin || listener == INVALID_SOCKET_HANDLE) return;
  server.listener = listener;
  socket_set_blocking(listener, false);
  server.start_x.assign(static_cast<size_t>(server.match.human_count), 0);
  server.start_y.assign(static_cast<size_t>(server.match.human_count), 0);
}

void serve_joiners(Server& server) {
  if (server.listener == INVALID_SOCKET_HANDLE) return;
  accept_waiting(server);
  const auto now = Clock::now();
  for (int32_t q = 0; q < server.match.human_count; ++q) {
    ClientState& link = server.client_state[static_cast<size_t>(q)];
    if (link.rejoin != Rejoin::Greeting) continue;
    // Each message comes by itself: a receive with nothing there gives up at once.
    check_waiting_client(server, q, server_step_name(link.at.step), now);
    go_on_joining(server, q);
  }
}

void seat_joined(Server& server) {
  for (int32_t q = 0; q < server.match.human_count; ++q) {
    ClientState& link = server.client_state[static_cast<size_t>(q)];
    if (link.rejoin != Rejoin::Ready) continue;
    link.rejoin = Rejoin::None;
    link.place_at_start = true;
    // Served one at a time, its receives wait (in slices) as every client's.
    if (!server.options.concurrent) {
      link.nonblocking =
          !socket_set_blocking(server.match.client_socket[static_cast<size_t>(q)], true);
    }
    ++server.clients_left;
    watch_seat(server, q, Seat::Rejoined);
  }
}

size_t add_joiner_waits(Server& server, size_t count) {
  if (server.listener == INVALID_SOCKET_HANDLE) return count;
  if (Clock::now() >= server.accepts_paused_until) {
    server.waits[count++] = SocketWait{server.listener, false};
  }
  for (int32_t q = 0; q < server.match.human_count; ++q) {
    if (server.client_state[static_cast<size_t>(q)].rejoin != Rejoin::Greeting) continue;
    server.waits[count++] = SocketWait{server.match.client_socket[static_cast<size_t>(q)], false};
  }
  return count;
}
