#include "server/handshake.h"

#include <string>

#include "console/console.h"
#include "console/texts.h"
#include "net/message.h"
#include "net/protocol.h"

namespace {

// The handshake's messages are formatted into and received into these; the
// turn exchange uses buffers of its own.
struct HandshakeText {
  char send[MESSAGE_MAX_DIGITS + 1];
  char recv[MESSAGE_LIMIT + 1];
};

// Joining pass: each human in turn is accepted, greeted and told the player
// count. A failed accept leaves an invalid entry that is served like any other.
void join_clients(Match& match, SocketHandle listener, HandshakeText& text) {
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
    client = socket_accept(listener);
    console_print("%s", client == INVALID_SOCKET_HANDLE ? ACCEPT_ERROR : CONNECTING);
    char peer[DOTTED_SIZE];
    socket_peer_address(client, peer);
    console_print(PEER_LINE, peer);

    console_print("%s", recv_number(client, text.recv) == ACK ? CONNECTED : GREETING_ERROR);
    send_int_in(client, players, text.send);
    if (recv_number(client, text.recv) != players) console_print("%s", ECHO_ERROR);
  }
}

// Numbering pass, once every human is in: each learns its player index and
// the map.
void number_clients(const Match& match, HandshakeText& text) {
  for (int32_t q = 0; q < match.human_count; ++q) {
    const SocketHandle client = match.client_socket[static_cast<size_t>(q)];
    send_int_in(client, q, text.send);
    recv_number(client, text.recv);  // any reply will do
    send_int_in(client, match.map_number, text.send);
  }
}

}  // namespace

void run_handshake(Match& match) {
  std::string err;
  const SocketHandle listener = socket_bind_any(SERVER_PORT, &err);
  if (listener == INVALID_SOCKET_HANDLE) console_diagnostic("%s", err.c_str());
  HandshakeText text;
  join_clients(match, listener, text);
  number_clients(match, text);
}
