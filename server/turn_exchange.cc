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

// One message to human q, counted for the view.
void tell(Server& server, int32_t q, const char* step, int32_t value, int32_t row = -1) {
  ++server.messages;
  send_to(server, q, step, value, row);
}

// One receive of the exchange: a received 0 (or nothing) reads as NO_VALUE.
// False when the exchange must be given up (the client broke and is dropped).
bool take(Server& server, int32_t q, const char* step, int32_t* value,
          Expect expect = Expect::TurnValue) {
  const int32_t received = receive_from(server, q, step, expect);
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
  const auto self = static_cast<size_t>(q);
  int32_t value;

  if (!take(server, q, "relay_a", &value)) return give_up(server, q);
  update_relay(match.relay_a, value);
  tell(server, q, "ack", ACK);
  if (!take(server, q, "relay_b", &value)) return give_up(server, q);
  update_relay(match.relay_b, value);
  tell(server, q, "ack", ACK);
  if (!take(server, q, "x", &match.pos_x[self])) return give_up(server, q);
  tell(server, q, "ack", ACK);
  if (!take(server, q, "y", &match.pos_y[self])) return give_up(server, q);
  tell(server, q, "ack", ACK);
  if (match.turn_count == 1) {
    load_start_positions(match.pos_x, match.pos_y, match.human_count, match.map_number,
                         server.options.maps_dir);
  }

  int32_t damage;
  if (!take(server, q, "damage", &damage)) return give_up(server, q);
  if (damage != NO_VALUE) {
    tell(server, q, "ack", ACK);
    if (!take(server, q, "target", &value)) return give_up(server, q);
    apply_hit(match, damage, value);
    watch_hit(server, q, damage, value);
  }
  tell(server, q, "ack", ACK);
  if (!take(server, q, "heading", &match.heading[self])) return give_up(server, q);

  tell(server, q, "relay_a", match.relay_a);
  const int32_t reply = receive_from(server, q, "reply to relay_a");
  ++server.messages;
  if (reply != ACK) {
    note_protocol_break(server, q, "reply to relay_a", reply);
    if (server.options.drop_broken_clients) return give_up(server, q);
    return ExchangeResult::ProtocolBreak;
  }
  tell(server, q, "relay_b", match.relay_b);
  if (!take(server, q, "reply to relay_b", &value, Expect::Reply)) return give_up(server, q);

  const int32_t players = player_count(match);
  for (int32_t p = 0; p < players; ++p) {
    const auto i = static_cast<size_t>(p);
    tell(server, q, "pos_x", match.pos_x[i], p);
    if (!take(server, q, "reply to pos_x", &value, Expect::Reply)) return give_up(server, q);
    tell(server, q, "pos_y", match.pos_y[i], p);
    if (!take(server, q, "reply to pos_y", &value, Expect::Reply)) return give_up(server, q);
    tell(server, q, "health", match.health[i], p);
    if (!take(server, q, "reply to health", &value, Expect::Reply)) return give_up(server, q);
    tell(server, q, "heading", match.heading[i], p);
    if (p != players - 1 && !take(server, q, "reply to heading", &value, Expect::Reply)) {
      return give_up(server, q);
    }
  }
  return ExchangeResult::Completed;
}
