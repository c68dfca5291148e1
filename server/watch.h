// Watching a match: the snapshot the live view reads (--http), published
// by the match thread, which also hands each turn to the recording
// (--record, record/recording.h). Nothing here waits for the view, and once
// the match has started nothing allocates. Without the options every call is
// one test of a null pointer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "record/recording.h"
#include "view/http_view.h"
#include "view/snapshot.h"

struct Server;

struct Watch {
  Snapshot snapshot;
  // For the view's /readyz: a player can still join (before the match
  // starts; then, with --rejoin, while a slot is free). Kept by the match
  // thread at the set-up and at the end of each turn.
  std::atomic<bool> can_join{true};
  std::unique_ptr<HttpView> view;  // null without --http
  Recording recording;             // its file null without --record
  // The scoreboard as the match thread counts it, and room for the final
  // standings: sized at the set-up, so that the end allocates nothing.
  std::vector<PlayerScore> scores;
  std::vector<int32_t> standings;
  // Stops the operator asked for (signals, Ctrl-C): one during the view's
  // stay after the end cuts it short.
  std::atomic<uint32_t> stops{0};
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
// Human q's client was dropped, or a client took its slot again.
void watch_seat(Server& server, int32_t q, Seat seat);
// A hit human q reported: the feed, the scoreboard and the turn's line.
void watch_hit(Server& server, int32_t q, int32_t damage, int32_t target);
// After the bots' steps: the tables, the routes, and the turn's recording line.
void watch_turn_ends(Server& server);

// The match is over: the end goes to the view and ends the recording; then,
// with --http, the view stays up --view-linger seconds (a stop cuts it short)
// so that open pages show it. The caller logs and ends as it would without.
// Plain stores, writes and sleeps only: end_stopped_match calls it from the
// signal handler (the view's thread never takes the signals).
void watch_match_ends(Server& server, EndReason reason, const char* why);

// The addresses other machines reach a socket bound to `bound` on: that one,
// or for every address (empty or 0.0.0.0) this machine's own but loopback;
// loopback when there is no other.
std::vector<std::string> reachable_addresses(const std::string& bound);

// "http://A:port/, http://B:port/" for each address.
std::string view_urls(const std::vector<std::string>& addresses, uint16_t port);
