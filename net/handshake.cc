#include "net/handshake.h"

#include <string>

#include "net/message.h"
#include "net/protocol.h"
#include "server/console.h"

void run_handshake(Match& match) {
  std::string err;
  const SocketHandle listener = socket_bind_any(SERVER_PORT, &err);
  if (!err.empty()) console_diagnostic("%s", err.c_str());
  const int32_t players = player_count(match);
  char* const send_text = match.send_text.data();
  char* const recv_text = match.recv_text.data();

  for (int32_t q = 0; q < match.human_count; ++q) {
    SocketHandle& client = match.client_socket[static_cast<size_t>(q)];
    console_print("\nAttente des joueurs...");
    err.clear();
    // Listening anew before every accept changes nothing after the first
    // time; a failure is reported once.
    if (!socket_listen(listener, LISTEN_BACKLOG, &err) && q == 0) {
      console_diagnostic("%s", err.c_str());
    }
    client = socket_accept(listener);
    if (client == INVALID_SOCKET_HANDLE) {
      // The é of "création" is the single byte 0xE9 (octal 351).
      console_print("\n----- Erreur de cr\351ation du socket. -----");
    } else {
      console_print("\nEtablissement de la connection...");
    }
    char peer[DOTTED_SIZE];
    socket_peer_address(client, peer);
    console_print("\nIP du PC : %s", peer);

    if (recv_number(client, recv_text) == ACK) {
      console_print("\nConnection etablie.");
    } else {
      console_print("\n----- Erreur d'etablissement de la connection. -----");
    }
    send_int_in(client, players, send_text);
    if (recv_number(client, recv_text) != players) {
      console_print("\n----- Erreur de reception du numero. -----");
    }
  }

  for (int32_t q = 0; q < match.human_count; ++q) {
    const SocketHandle client = match.client_socket[static_cast<size_t>(q)];
    send_int_in(client, q, send_text);
    recv_number(client, recv_text);  // any reply will do
    send_int_in(client, match.map_number, send_text);
  }
}
