// Watching a match: the snapshot the live view reads (--http) and the
// recording of every turn (--record). The match thread publishes and writes
// here; nothing here waits for the view, and once the match has started
// nothing allocates. Without the options every call is one test of a null
// pointer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "view/http_view.h"
#include "view/snapshot.h"

struct Server;

// A hit a client reported: player q's damage on target (player index + 1).
struct Hit {
  int32_t from = 0, damage = 0, target = 0;
};

struct Watch {
  Snapshot snapshot;
  std::unique_ptr<HttpView> view;  // null without --http

  std::FILE* record = nullptr;  // null without --record, or once a write failed
  std::string record_path;
  std::vector<char> record_buffer;
  std::vector<Hit> hits;  // this turn's, at most one per human
  size_t hit_count = 0;
  // The routes as the recording last wrote them, per bot 9 x then 9 y: a
  // line names the routes only when they changed.
  std::vector<int32_t> recorded_routes;
  bool routes_recorded = false;

  int64_t exchange_start_ns = 0;
  uint64_t messages_at_start = 0;
};

// Opens the recording and starts the view, as the options ask. Returns -1,
// or, with the reason logged, the exit code when either cannot be had: a
// recording that cannot be opened is a usage error, a port that cannot be
// bound is EXIT_CANNOT_LISTEN.
int watch_start(Server& server);

// Once the tables are set up: the storage at the match's sizes, and the first state.
void watch_match_set_up(Server& server);

// The handshake, once `joined` humans have joined.
void watch_joined(Server& server, int32_t joined);

void watch_exchange_begins(Server& server, int32_t q);
// After a completed exchange with q: its round trip, and the tables as it left them.
void watch_exchange_ends(Server& server, int32_t q);
void watch_hit(Server& server, int32_t q, int32_t damage, int32_t target);
// After the bots' steps: the tables, the routes, and the turn's recording line.
void watch_turn_ends(Server& server);

// Serves the recording at options.replay_file until the process is stopped.
// Returns the exit code.
int run_replay(Server& server);

// The addresses other machines reach a socket bound to `bound` on: that one,
// or for every address (empty or 0.0.0.0) this machine's own but loopback;
// loopback when there is no other.
std::vector<std::string> reachable_addresses(const std::string& bound);
