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
#include "record/resume.h"
#include "server/options.h"
#include "server/query_listener.h"
#include "server/seat.h"
#include "view/http_view.h"
#include "view/snapshot.h"

struct Match;

struct Watch {
  Snapshot snapshot;
  // For the view's /readyz: a player can still join (before the match
  // starts; then, with --rejoin, while a slot is free). Kept by the match
  // thread at the set-up, at the end of each turn and when a seat is freed
  // or taken between turns.
  std::atomic<bool> can_join{true};
  // From the set-up to the end: only then do the seats say whether a player
  // can join (before, the handshake tells; after, nobody can).
  bool match_running = false;
  // The match thread's last wake-up (steady nanoseconds), for /healthz: it
  // wakes at least every second while it waits for anyone.
  std::atomic<int64_t> heartbeat_ns{0};
  std::unique_ptr<HttpView> view;  // null without --http
  Recording recording;             // its file null without --record
  // What the view's figures read, kept by the match thread.
  const Match* match = nullptr;
  uint64_t turn = 0;        // the turn in which the server is
  uint64_t turns_done = 0;  // turns played
  // The scoreboard as the match thread counts it, and room for the final
  // standings: sized at the set-up, so that the end allocates nothing.
  std::vector<PlayerScore> scores;
  std::vector<int32_t> standings;
  // Where the players' names come from (--names, --address-names).
  const Options* options = nullptr;
  // --query: its thread reads the snapshot, so it is ended first.
  std::unique_ptr<QueryService> query;
};

// Makes the watch when --http or --record asks for it, and starts the view
// (binding its port); a resumed match's lobby says where it stood. Returns
// -1, or, with the reason logged, EXIT_CANNOT_LISTEN when the port cannot be
// bound.
int watch_open_view(std::unique_ptr<Watch>& watch, const Options& options, const Match& match,
                    const ResumePoint* resume);

// After watch_open_view, once every port is bound: opens the recording (or,
// resuming, goes on with the one read); with --resume (mark: the last
// start's mark, locked) the mark names the recording, and the recording
// keeps trying to write after a failure. Returns -1, or, with the reason
// logged, EXIT_USAGE when it cannot be opened.
int watch_start(Watch* watch, const Options& options, const Match& match, const ResumePoint* resume,
                LastStart* mark);

// Once the tables are set up: the storage at the match's sizes, and the first state.
void watch_match_set_up(Watch* watch, const Match& match, const Seats& seats, bool rejoin);

// A resumed match was played for ms before this start: its time (the
// view's, the end's, the mark's) counts them. REQUIRES: watch_match_set_up
// has run.
void watch_time_carried(Watch* watch, int64_t ms);

// A resumed match's scoreboard, as the turns before the restart left it.
// REQUIRES: watch_match_set_up has run.
void watch_scores_carried(Watch* watch, const std::vector<PlayerScore>& scores);

// Every call below takes the watch, null without --http and --record, and
// then does nothing.

// A seat was freed or taken between turns (a kick, a joiner while paused):
// whether a player can join is told again. Without --rejoin nobody joins
// once the match has started: nothing to look at.
void watch_seats_changed(Watch* watch, const Seats& seats, bool rejoin);

// The handshake, once `joined` humans have joined (of `humans`).
void watch_joined(Watch* watch, int32_t joined, int32_t humans);
// The match thread woke up (it does at least every second while it waits);
// now is Clock::time_point{} before a wait with no end. With --record-sync
// second an unsynced line of the recording is synced once it is due.
void watch_heartbeat(Watch* watch, Clock::time_point now);
// What the walker tells the view each time it wakes up.
struct WalkNews {
  Clock::time_point now{};
  int32_t oldest = -1;  // the seat waited on longest, -1 for none
  Clock::time_point since{};
  // The seats whose exchange has ended since the last wake-up: each one's
  // round trip, and the tables as they were left.
  const int32_t* ended = nullptr;
  size_t ended_count = 0;
  uint64_t messages = 0;  // of all the turn exchanges so far
};
// The walker woke up: the heartbeat, the exchanges ended, who is waited on.
void watch_walk(Watch* watch, const Seats& seats, const WalkNews& news);
// Human q's client was dropped.
void watch_seat_dropped(Watch* watch, int32_t q);
// A client took human q's slot again, from address `peer`, which a name may
// follow.
void watch_seat_rejoined(Watch* watch, int32_t q, const char* peer);
// The operator paused the match, or resumed it.
void watch_paused(Watch* watch, bool paused);
// The operator's commands are on (/metrics counts them from now); one ran,
// counted under `counter` (console/operator_command_table.h).
void watch_commands_open(Watch* watch);
void watch_command(Watch* watch, size_t counter);
// A hit human q reported: the feed, the scoreboard and the turn's line.
void watch_hit(Watch* watch, int32_t q, int32_t damage, int32_t target);
// A turn begins: the turn the view names.
void watch_turn_begins(Watch* watch, uint64_t turn, uint64_t turns_done);
// After the bots' steps: the tables, the routes, and the turn's recording
// line; whether a slot is free for /readyz.
void watch_turn_ends(Watch* watch, const Seats& seats, bool rejoin, uint64_t messages);

// The match is over after `turns` turns: the end goes to the view and ends
// the recording; then, with --http, the view stays up `linger` seconds (a
// further stop cuts it short) so that open pages show it. The caller logs
// and ends as it would without.
void watch_match_ends(Watch* watch, EndReason reason, const char* why, uint64_t turns,
                      int32_t linger);

// The addresses other machines reach a socket bound to `bound` on: that one,
// or for every address (empty or 0.0.0.0) this machine's own but loopback;
// loopback when there is no other.
std::vector<std::string> reachable_addresses(const std::string& bound);

// "http://A:port/, http://B:port/" for each address.
std::string view_urls(const std::vector<std::string>& addresses, uint16_t port);
