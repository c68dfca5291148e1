#include "server/client_link.h"

#include <cinttypes>
#include <cstdio>

#include "console/log.h"
#include "net/message.h"
#include "net/protocol.h"

namespace {

void mark_broken(Server& server, int32_t q, const char* step, const char* what) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  if (link.status != ClientStatus::Playing) return;
  link.status = ClientStatus::Broken;
  log_line(LogLevel::Warning, "player %d (%s) %s in turn %" PRIu64 " at step '%s'",
           static_cast<int>(q), link.peer, what, current_turn(server), step);
}

}  // namespace

void watch_client(Server& server, int32_t q) {
  const SocketHandle socket = server.match.client_socket[static_cast<size_t>(q)];
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  char address[DOTTED_SIZE];
  uint16_t port = 0;
  socket_peer_address(socket, address, &port);
  std::snprintf(link.peer, sizeof link.peer, "%s:%u", address, static_cast<unsigned>(port));
  // A client that speaks within the slice costs nothing more.
  if (socket != INVALID_SOCKET_HANDLE) {
    socket_set_receive_timeout(socket, static_cast<int>(server.wait_slice.count()));
  }
}

int32_t receive_from(Server& server, int32_t q, const char* step) {
  const SocketHandle socket = server.match.client_socket[static_cast<size_t>(q)];
  char buffer[MESSAGE_LIMIT + 1];
  const std::chrono::milliseconds limit = std::chrono::seconds(server.options.client_timeout);
  std::chrono::milliseconds waited{0};
  for (;;) {
    bool timed_out = false;
    const size_t got = socket_recv(socket, buffer, MESSAGE_LIMIT, &timed_out);
    if (got > 0) {
      buffer[got] = '\0';
      return parse_int(buffer);
    }
    if (!timed_out) {
      mark_broken(server, q, step, "closed the connection");
      return 0;
    }
    waited += server.wait_slice;
    if (limit.count() > 0 && waited >= limit) {
      char what[64];
      std::snprintf(what, sizeof what, "stayed silent for %d s (the client timeout)",
                    static_cast<int>(server.options.client_timeout));
      mark_broken(server, q, step, what);
      socket_shutdown(socket);
      return 0;
    }
    if (waited % server.stall_warning < server.wait_slice) {
      log_line(LogLevel::Warning,
               "player %d (%s) has kept everyone waiting for %g s, in turn %" PRIu64
               " at step '%s'",
               static_cast<int>(q), server.client_state[static_cast<size_t>(q)].peer,
               std::chrono::duration<double>(waited).count(), current_turn(server), step);
    }
  }
}

void note_protocol_break(Server& server, int32_t q, const char* step, int32_t arrived) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  if (link.status == ClientStatus::Playing) {
    log_line(LogLevel::Error,
             "player %d (%s) broke the protocol in turn %" PRIu64
             " at step '%s': expected %d, "
             "got %d",
             static_cast<int>(q), link.peer, current_turn(server), step, static_cast<int>(ACK),
             static_cast<int>(arrived));
    link.status = ClientStatus::Broken;
  } else {
    log_line(LogLevel::Error,
             "player %d (%s) broke the protocol in turn %" PRIu64
             " at step '%s': expected %d, "
             "got nothing",
             static_cast<int>(q), link.peer, current_turn(server), step, static_cast<int>(ACK));
  }
}

bool must_drop(const Server& server, int32_t q) {
  return server.options.drop_broken_clients &&
         server.client_state[static_cast<size_t>(q)].status != ClientStatus::Playing;
}

void drop_client(Server& server, int32_t q) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  if (link.status == ClientStatus::Dropped) return;
  link.status = ClientStatus::Dropped;
  SocketHandle& socket = server.match.client_socket[static_cast<size_t>(q)];
  socket_close(socket);
  socket = INVALID_SOCKET_HANDLE;
  --server.clients_left;
  log_line(LogLevel::Warning, "player %d (%s) dropped in turn %" PRIu64 "; %d human client%s left",
           static_cast<int>(q), link.peer, current_turn(server),
           static_cast<int>(server.clients_left), server.clients_left == 1 ? "" : "s");
}
