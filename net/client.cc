#include "net/client.h"

#include "net/message.h"
#include "net/protocol.h"

void client_send(ClientLink& link, const char* step, int32_t value) {
  if (link.trace) link.trace(true, step, value);
  send_int(link.socket, value);
  ++link.sent;
}

int32_t client_recv(ClientLink& link, const char* step) {
  const int32_t value = recv_number(link.socket, link.buffer);
  ++link.received;
  if (link.trace) link.trace(false, step, value);
  return value;
}

int32_t client_join(ClientLink& link) {
  client_send(link, "greeting", ACK);
  const int32_t players = client_recv(link, "player count");
  client_send(link, "echo", players);
  return players;
}

void client_learn(ClientLink& link, int32_t* player_index, int32_t* map_number) {
  *player_index = client_recv(link, "player index");
  client_send(link, "reply", ACK);
  *map_number = client_recv(link, "map");
}

void client_turn(ClientLink& link, const TurnReport& report, int32_t player_count,
                 TurnView& view) {
  client_send(link, "relay_a", report.relay_a);
  client_recv(link, "ack");
  client_send(link, "relay_b", report.relay_b);
  client_recv(link, "ack");
  client_send(link, "x", report.x);
  client_recv(link, "ack");
  client_send(link, "y", report.y);
  client_recv(link, "ack");
  client_send(link, "damage", report.damage);
  // The server reads a 0 as NO_VALUE too: no hit, and no target follows.
  if (report.damage != NO_VALUE && report.damage != 0) {
    client_recv(link, "ack");
    client_send(link, "target", report.target);
  }
  client_recv(link, "ack");
  client_send(link, "heading", report.heading);
  view.relay_a = client_recv(link, "relay_a");
  client_send(link, "reply", report.relay_a_reply);
  if (report.relay_a_reply != ACK) return;
  view.relay_b = client_recv(link, "relay_b");
  client_send(link, "reply", ACK);

  view.players.resize(static_cast<size_t>(player_count > 0 ? player_count : 0));
  for (int32_t p = 0; p < player_count; ++p) {
    PlayerRow& row = view.players[static_cast<size_t>(p)];
    row.x = client_recv(link, "table pos_x");
    client_send(link, "reply", ACK);
    row.y = client_recv(link, "table pos_y");
    client_send(link, "reply", ACK);
    row.health = client_recv(link, "table health");
    client_send(link, "reply", ACK);
    row.heading = client_recv(link, "table heading");
    if (p != player_count - 1) client_send(link, "reply", ACK);
  }
}
