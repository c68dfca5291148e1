#include "server/turn_exchange.h"

#include "data/data_files.h"
#include "net/message.h"
#include "net/protocol.h"

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

}  // namespace

ExchangeResult turn_exchange(Match& match, int32_t q) {
  const SocketHandle client = match.client_socket[static_cast<size_t>(q)];
  const auto self = static_cast<size_t>(q);

  update_relay(match.relay_a, recv_int(client));
  send_int(client, ACK);
  update_relay(match.relay_b, recv_int(client));
  send_int(client, ACK);
  match.pos_x[self] = recv_int(client);
  send_int(client, ACK);
  match.pos_y[self] = recv_int(client);
  send_int(client, ACK);
  if (match.turn_count == 1) {
    load_start_positions(match.pos_x, match.pos_y, match.human_count, match.map_number);
  }

  const int32_t damage = recv_int(client);
  if (damage != NO_VALUE) {
    send_int(client, ACK);
    apply_hit(match, damage, recv_int(client));
  }
  send_int(client, ACK);
  match.heading[self] = recv_int(client);

  send_int(client, match.relay_a);
  if (recv_int(client) != ACK) return ExchangeResult::ProtocolBreak;
  send_int(client, match.relay_b);
  recv_int(client);

  const int32_t players = player_count(match);
  for (int32_t p = 0; p < players; ++p) {
    const auto i = static_cast<size_t>(p);
    send_int(client, match.pos_x[i]);
    recv_int(client);
    send_int(client, match.pos_y[i]);
    recv_int(client);
    send_int(client, match.health[i]);
    recv_int(client);
    send_int(client, match.heading[i]);
    if (p != players - 1) recv_int(client);
  }
  return ExchangeResult::Completed;
}
