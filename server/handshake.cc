#include "server/handshake.h"

#include <string>

#include "console/console.h"
#include "console/log.h"
#include "console/texts.h"
#include "net/message.h"
#include "net/protocol.h"
#include "server/client_link.h"
#include "server/rejoin.h"

namespace {

// Joining pass: each human in turn is accepted, greeted and told the player
// count. A failed accept leaves an invalid entry that is served like any other.
void join_clients(Server& server, SocketHandle listener) {
  Match& match = server.match;
  const int32_t players = player_count(match);
  std::string err;
  for (int32_t q = 0; q < match.human_count; ++q) {
    SocketHandle& client = match.client_socket[static_cast<size_t>(q)];
    console_print("%s", WAITING);
    // Listening anew before every accept changes nothing after the first
    // time; a failure is reported once. Without a listener (the port could
    // not be bound, already reported) every accept fails.
    if (listener != INVALID_SOCKET_HANDLE && !socket_listen(listener, LISTEN_BACKLOG, &err) &&
        q == 0) {
      console_diagnostic("%s", err.c_str());
    }
    std::string why;
    client = socket_accept(listener, &why);
    // A client from outside --allow takes no slot: the next one does.
    while (client != INVALID_SOCKET_HANDLE && !admit(server, client)) {
      client = socket_accept(listener, &why);
    }
    console_print("%s", client == INVALID_SOCKET_HANDLE ? ACCEPT_ERROR : CONNECTING);
    watch_client(server, q);
    char peer[DOTTED_SIZE];
    socket_peer_address(client, peer);
    console_print(PEER_LINE, peer);
    if (client != INVALID_SOCKET_HANDLE) {
      log_line(LogLevel::Info, "player %d joined from %s", static_cast<int>(q),
               server.client_state[static_cast<size_t>(q)].peer);
    } else {
      log_line(LogLevel::Error, "player %d: the connection could not be accepted (%s)",
               static_cast<int>(q), why.c_str());
    }
    watch_joined(server, q + 1);

    const int32_t greeting = receive_from(server, q, "greeting", Expect::Greeting);
    console_print("%s", greeting == ACK ? CONNECTED : GREETING_ERROR);
    send_to(server, q, "player count", players);
    if (receive_from(server, q, "echo", Expect::Echo) != players) console_print("%s", ECHO_ERROR);
  }
}

// Numbering pass, once every human is in: each learns its player index and
// the map.
void number_clients(Server& server) {
  const Match& match = server.match;
  for (int32_t q = 0; q < match.human_count; ++q) {
    start_client_budget(server, q);
    send_to(server, q, "player index", q);
    // Any reply will do; 147 is what the protocol guide asks for.
    receive_from(server, q, "reply to the player index", Expect::Reply);
    send_to(server, q, "map", match.map_number);
  }
}

}  // namespace

void run_handshake(Server& server, SocketHandle listener) {
  join_clients(server, listener);
  number_clients(server);
  for (int32_t q = 0; q < server.match.human_count; ++q) {
    if (must_drop(server, q)) drop_client(server, q);
  }
}
