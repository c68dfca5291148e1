#include "server/turn_exchange.h"

#include "data/data_files.h"
#include "net/message.h"
#include "net/protocol.h"
#include "server/client_link.h"
#include "server/watch.h"

namespace {

// The relay update rule: NO_VALUE keeps the relay, CLEAR_VALUE resets it to
// NO_VALUE, anything else replaces it.
void update_relay(int32_t& relay, int32_t value) {
  if (value == NO_VALUE) return;
  relay = value == CLEAR_VALUE ? NO_VALUE : value;
}

// Applies a hit report: the health of player target-1 goes down by damage,
// wrapping as 32-bit two's complement. A target outside 1..player_count names
// no player and changes nothing.
void apply_hit(Match& match, int32_t damage, int32_t target) {
  if (target < 1 || target > player_count(match)) return;
  int32_t& health = match.health[static_cast<size_t>(target - 1)];
  health = static_cast<int32_t>(static_cast<uint32_t>(health) - static_cast<uint32_t>(damage));
}

// One message to the client, counted.
void send(Server& server, SocketHandle client, int32_t value) {
  ++server.messages;
  send_int(client, value);
}

// One receive of the exchange: a received 0 (or nothing) reads as NO_VALUE.
// False when the exchange must be given up (the client broke and is dropped).
bool take(Server& server, int32_t q, const char* step, int32_t* value) {
  const int32_t received = receive_from(server, q, step);
  ++server.messages;
  *value = received == 0 ? NO_VALUE : received;
  return !must_drop(server, q);
}

ExchangeResult give_up(Server& server, int32_t q) {
  drop_client(server, q);
  return ExchangeResult::Dropped;
}

}  // namespace

ExchangeResult turn_exchange(Server& server, int32_t q) {
  Match& match = server.match;
  const SocketHandle client = match.client_socket[static_cast<size_t>(q)];
  const auto self = static_cast<size_t>(q);
  int32_t value;

  if (!take(server, q, "relay_a", &value)) return give_up(server, q);
  update_relay(match.relay_a, value);
  send(server, client, ACK);
  if (!take(server, q, "relay_b", &value)) return give_up(server, q);
  update_relay(match.relay_b, value);
  send(server, client, ACK);
  if (!take(server, q, "x", &match.pos_x[self])) return give_up(server, q);
  send(server, client, ACK);
  if (!take(server, q, "y", &match.pos_y[self])) return give_up(server, q);
  send(server, client, ACK);
  if (match.turn_count == 1) {
    load_start_positions(match.pos_x, match.pos_y, match.human_count, match.map_number,
                         server.options.maps_dir);
  }

  int32_t damage;
  if (!take(server, q, "damage", &damage)) return give_up(server, q);
  if (damage != NO_VALUE) {
    send(server, client, ACK);
    if (!take(server, q, "target", &value)) return give_up(server, q);
    apply_hit(match, damage, value);
    watch_hit(server, q, damage, value);
  }
  send(server, client, ACK);
  if (!take(server, q, "heading", &match.heading[self])) return give_up(server, q);

  send(server, client, match.relay_a);
  const int32_t reply = receive_from(server, q, "reply to relay_a");
  ++server.messages;
  if (reply != ACK) {
    note_protocol_break(server, q, "reply to relay_a", reply);
    if (server.options.drop_broken_clients) return give_up(server, q);
    return ExchangeResult::ProtocolBreak;
  }
  send(server, client, match.relay_b);
  if (!take(server, q, "reply to relay_b", &value)) return give_up(server, q);

  const int32_t players = player_count(match);
  for (int32_t p = 0; p < players; ++p) {
    const auto i = static_cast<size_t>(p);
    send(server, client, match.pos_x[i]);
    if (!take(server, q, "reply to pos_x", &value)) return give_up(server, q);
    send(server, client, match.pos_y[i]);
    if (!take(server, q, "reply to pos_y", &value)) return give_up(server, q);
    send(server, client, match.health[i]);
    if (!take(server, q, "reply to health", &value)) return give_up(server, q);
    send(server, client, match.heading[i]);
    if (p != players - 1 && !take(server, q, "reply to heading", &value)) {
      return give_up(server, q);
    }
  }
  return ExchangeResult::Completed;
}
