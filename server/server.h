// The server's one state: the operator's settings, the match tables, and what
// the server knows of each human client's connection. Created once by the
// match driver and handed by reference to the handshake and the turns.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "match/match.h"
#include "server/options.h"
#include "server/watch.h"

enum class ClientStatus : uint8_t {
  Playing,
  Broken,   // closed, timed out or broke the protocol; still served, as always
  Dropped,  // with --drop-broken-clients: no longer served, its player kept
};

// "255.255.255.255:65535" and its terminator.
inline constexpr size_t PEER_TEXT_SIZE = 22;

struct ClientState {
  char peer[PEER_TEXT_SIZE] = "0.0.0.0:0";  // for the log
  ClientStatus status = ClientStatus::Playing;
};

struct Server {
  Options options;
  Match match;
  std::vector<ClientState> client_state;  // per human, by player index
  int32_t clients_left = 0;               // humans not dropped
  uint64_t messages = 0;                  // of the turn exchanges, both ways

  // --http and --record; null without them.
  std::unique_ptr<Watch> watch;

  // turns_played is read by the stop handler, hence atomic.
  std::atomic<uint64_t> turns_played{0};
  std::chrono::steady_clock::time_point match_start{};

  // The log's pace: a silent client's receive gives up after wait_slice, so
  // that the waiting can be counted, timed out and reported every
  // stall_warning; a status line every status_interval.
  std::chrono::milliseconds wait_slice{1000};
  std::chrono::milliseconds stall_warning{30000};
  std::chrono::milliseconds status_interval{60000};
};

// The turn in which the server is: 0 during the handshake.
inline uint64_t current_turn(const Server& server) {
  return server.turns_played.load(std::memory_order_relaxed) +
         (server.match.turn_count > 0 ? 1 : 0);
}
