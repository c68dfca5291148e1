#include "net/client.h"

#include "net/message.h"
#include "net/protocol.h"

namespace {

// Sends value as one message (recorded and traced). Nothing once closed.
void client_send(ClientLink& link, const char* step, int32_t value) {
  if (link.closed) return;
  if (link.trace) link.trace(true, step, value);
  send_int(link.socket, value);
  ++link.sent;
}

// Receives one message, keeping 0 as 0 (recorded and traced). A receive that
// gets no byte marks the link closed and gives 0; once closed, gives 0 at once.
int32_t client_recv(ClientLink& link, const char* step) {
  if (link.closed) return 0;
  // recv_number's steps, done here so that an empty receive (the server has
  // gone) can be told apart from a message "0".
  bool timed_out = false;
  size_t got = socket_recv(link.socket, link.buffer, MESSAGE_LIMIT, &timed_out);
  while (got == 0 && timed_out && link.on_silence && link.on_silence(step)) {
    timed_out = false;
    got = socket_recv(link.socket, link.buffer, MESSAGE_LIMIT, &timed_out);
  }
  link.buffer[got] = '\0';
  if (got == 0) {
    link.closed = true;
    link.closed_at = step;
    return 0;
  }
  const int32_t value = parse_int(link.buffer);
  ++link.received;
  if (link.trace) link.trace(false, step, value);
  return value;
}

// Whether the server takes damage as a hit report (and so expects a target).
bool reports_hit(int32_t damage) {
  // The server reads a 0 as NO_VALUE too: no hit, and no target follows.
  return damage != NO_VALUE && damage != 0;
}

}  // namespace

bool client_connect(ClientLink& link, const char* host, uint16_t port, std::string* err) {
  link.socket = socket_connect(host, port, err);
  return link.socket != INVALID_SOCKET_HANDLE;
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

int64_t exchange_messages(int32_t player_count, bool hit) {
  return 4 * int64_t{player_count} + (hit ? 8 : 7);
}

bool client_turn(ClientLink& link, const TurnReport& report, int32_t player_count, TurnView& view) {
  client_send(link, "relay_a", report.relay_a);
  client_recv(link, "ack");
  client_send(link, "relay_b", report.relay_b);
  client_recv(link, "ack");
  client_send(link, "x", report.x);
  client_recv(link, "ack");
  client_send(link, "y", report.y);
  client_recv(link, "ack");
  client_send(link, "damage", report.damage);
  if (reports_hit(report.damage)) {
    client_recv(link, "ack");
    client_send(link, "target", report.target);
  }
  client_recv(link, "ack");
  client_send(link, "heading", report.heading);
  view.relay_a = client_recv(link, "relay_a");
  client_send(link, "reply", report.relay_a_reply);
  if (report.relay_a_reply != ACK) return false;
  view.relay_b = client_recv(link, "relay_b");
  client_send(link, "reply", ACK);

  view.players.resize(static_cast<size_t>(player_count > 0 ? player_count : 0));
  for (int32_t p = 0; p < player_count && !link.closed; ++p) {
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
  return !link.closed;
}
