// What the live view sees of a match: a copy of the tables that the match
// thread publishes after each exchange and after the bots' steps, and that the
// view's thread reads whenever a browser asks.
//
// The match thread never waits for the view and never allocates here: the
// storage is made once, before the first turn, at the match's sizes. Readers
// use a sequence lock: the sequence number is odd while the match thread
// writes; a reader copies everything and starts again when the number moved
// meanwhile. Every shared value is an atomic read and written relaxed, so a
// copy torn by a writer is only ever thrown away, never undefined.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "console/operator_command_table.h"
#include "match/match.h"
#include "record/end_record.h"
#include "record/scoreboard.h"

inline constexpr size_t VIEW_HIT_FEED = 8;  // the latest hits the page lists

// A hit a client reported in a turn: player `from`'s damage on target (the
// player index + 1, as the clients send it).
struct HitFrame {
  uint64_t turn = 0;
  int32_t from = 0, damage = 0, target = 0;
};

// The clock of exchange_started and read: steady, in nanoseconds.
inline int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One player's row, as the clients receive it.
struct PlayerFrame {
  int32_t x = 0, y = 0, health = 0, heading = 0;
};

// A plain copy of the published state, made by a reader.
struct Frame {
  uint64_t turn = 0;  // the turn in which the last exchange was made; 0 before the first
  int32_t map = 0, relay_a = -1, relay_b = -1;
  int32_t humans = 0, bots = 0;
  uint64_t turns_total = 0;     // turns completed
  uint64_t messages_total = 0;  // messages of the turns, both ways
  std::vector<PlayerFrame> players;
  std::vector<std::array<int32_t, 2 * ROUTE_VALUES>> routes;  // per bot: 9 x, then 9 y
  std::vector<double> round_trip;      // per human: seconds per round trip of its last exchange
  int32_t waiting_player = -1;         // the human the server is waiting for, -1: none
  double waiting_seconds = 0;          // how long it has kept everyone waiting
  std::vector<HitFrame> hits;          // the latest, newest first, at most VIEW_HIT_FEED
  int32_t joined = 0;                  // humans that have joined
  std::vector<uint8_t> seats;          // per human: a SeatShown
  uint64_t rejoins = 0;                // clients that took a dropped player's slot
  std::vector<std::string> addresses;  // "address:port" the clients may connect to
  std::string lobby_resuming;       // a resumed match's lobby: its "resuming" object; empty: none
  std::vector<PlayerScore> scores;  // per player
  std::vector<std::string> names;   // per player, empty: unnamed
  bool named = false;               // the operator named players
  double elapsed_seconds = 0;       // since the match started, up to its end
  bool ended = false;               // the match is over: end holds why
  MatchEnd end;                     // its why points into end_why
  std::string end_why;
  bool paused = false;  // the operator paused the match: no new turn starts
  // The operator's commands run, by kind (the last: unknown ones); with
  // commands on (--rcon, console commands) only.
  bool commands_on = false;
  std::array<uint64_t, OPERATOR_COMMAND_COUNTERS> commands{};
  // Per human: seconds since its client joined (took the slot again, with
  // --rejoin); the bots' since the match started.
  std::vector<double> playing_seconds;
  // The server query's datagrams by outcome (QUERY_OUTCOMES), with --query only.
  bool query_on = false;
  std::array<uint64_t, 4> query{};
};

// How the server query dealt with a datagram: answered, handed a challenge,
// ignored (no request, or a wrong challenge), or left over the limits.
enum class QueryOutcome : uint8_t { Answered, Challenged, Ignored, Limited };
inline constexpr const char* QUERY_OUTCOMES[] = {"answered", "challenged", "ignored", "limited"};

// Where a human player's client stands, for the spectators.
enum class SeatShown : uint8_t {
  Playing,
  Dropped,   // its client was dropped; the player stands where it was
  Rejoined,  // a client took the slot again (--rejoin) and plays
};

class Snapshot {
 public:
  // Makes the storage for a match of these sizes; before any publish.
  void create(int32_t humans, int32_t bots, int32_t map) {
    humans_ = humans;
    bots_ = bots;
    map_ = map;
    players_ =
        std::make_unique<AtomicRow[]>(static_cast<size_t>(humans) + static_cast<size_t>(bots));
    routes_ = std::make_unique<AtomicRoute[]>(static_cast<size_t>(bots));
    round_trip_ns_ = std::make_unique<std::atomic<int64_t>[]>(static_cast<size_t>(humans));
    for (int32_t q = 0; q < humans; ++q) round_trip_ns_[static_cast<size_t>(q)].store(-1);
    seats_ = std::make_unique<std::atomic<uint8_t>[]>(static_cast<size_t>(humans));
    for (int32_t q = 0; q < humans; ++q) seats_[static_cast<size_t>(q)].store(0);
    const auto players = static_cast<size_t>(humans) + static_cast<size_t>(bots);
    scores_ = std::make_unique<AtomicScore[]>(players);
    name_ids_ = std::make_unique<std::atomic<int32_t>[]>(players);
    for (size_t p = 0; p < players; ++p) name_ids_[p].store(-1);
    started_ns_.store(steady_ns(), std::memory_order_relaxed);
    joined_ns_ = std::make_unique<std::atomic<int64_t>[]>(static_cast<size_t>(humans));
    for (int32_t q = 0; q < humans; ++q) joined_ns_[static_cast<size_t>(q)].store(started_ns());
    created_.store(true, std::memory_order_release);
  }
  bool created() const { return created_.load(std::memory_order_acquire); }
  // After create: the match was played for ns before this start (a resume),
  // which its time counts too. The players' own times do not.
  void carry_time(int64_t ns) { started_ns_.fetch_sub(ns, std::memory_order_relaxed); }

  // Before create: the names the operator gave, which name_changed picks from.
  void set_name_table(std::vector<std::string> names) { name_table_ = std::move(names); }
  // Outside the sequence: player p is called name_table[id] from now on, -1: unnamed.
  void name_changed(size_t p, int32_t id) { name_ids_[p].store(id, std::memory_order_relaxed); }
  // Player p's name, null when unnamed; any thread, a signal handler too.
  const char* name_now(size_t p) const {
    const int32_t id = name_ids_[p].load(std::memory_order_relaxed);
    return id < 0 || static_cast<size_t>(id) >= name_table_.size()
               ? nullptr
               : name_table_[static_cast<size_t>(id)].c_str();
  }

  // Before the view's thread starts: what the page shows while the humans
  // join, the match's sizes and the addresses the clients may connect to.
  void open_lobby(int32_t humans, int32_t bots, int32_t map, std::vector<std::string> addresses) {
    lobby_humans_ = humans;
    lobby_bots_ = bots;
    lobby_map_ = map;
    addresses_ = std::move(addresses);
  }
  // Likewise, for a resumed match: the lobby's "resuming" object (the turn it
  // goes on after, the standings so far).
  void open_lobby_resuming(std::string json) { lobby_resuming_ = std::move(json); }
  // The handshake, as the humans join.
  void player_joined(int32_t joined) { joined_.store(joined, std::memory_order_relaxed); }
  // Any thread: the lobby's sizes, the joined count and the addresses.
  void read_lobby(Frame& frame) const {
    frame.humans = lobby_humans_;
    frame.bots = lobby_bots_;
    frame.map = lobby_map_;
    frame.joined = joined_.load(std::memory_order_relaxed);
    frame.addresses = addresses_;
    frame.lobby_resuming = lobby_resuming_;
  }

  // The match thread, around its writes.
  void begin_write() {
    const uint64_t s = sequence_.load(std::memory_order_relaxed);
    sequence_.store(s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
  }
  void end_write() {
    sequence_.store(sequence_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }
  void put_header(uint64_t turn, int32_t relay_a, int32_t relay_b, uint64_t turns_total,
                  uint64_t messages_total) {
    turn_.store(turn, std::memory_order_relaxed);
    relay_a_.store(relay_a, std::memory_order_relaxed);
    relay_b_.store(relay_b, std::memory_order_relaxed);
    turns_total_.store(turns_total, std::memory_order_relaxed);
    messages_total_.store(messages_total, std::memory_order_relaxed);
  }
  void put_player(size_t p, int32_t x, int32_t y, int32_t health, int32_t heading) {
    AtomicRow& row = players_[p];
    row.x.store(x, std::memory_order_relaxed);
    row.y.store(y, std::memory_order_relaxed);
    row.health.store(health, std::memory_order_relaxed);
    row.heading.store(heading, std::memory_order_relaxed);
  }
  void put_route(size_t b, const int32_t* xs, const int32_t* ys) {
    for (size_t i = 0; i < ROUTE_VALUES; ++i) {
      routes_[b][i].store(xs[i], std::memory_order_relaxed);
      routes_[b][ROUTE_VALUES + i].store(ys[i], std::memory_order_relaxed);
    }
  }

  void put_score(size_t p, const PlayerScore& score) {
    AtomicScore& row = scores_[p];
    row.hits_made.store(score.hits_made, std::memory_order_relaxed);
    row.hits_taken.store(score.hits_taken, std::memory_order_relaxed);
    row.damage_dealt.store(score.damage_dealt, std::memory_order_relaxed);
    row.damage_taken.store(score.damage_taken, std::memory_order_relaxed);
  }
  // Player p's published figures, read value by value without the sequence:
  // for the end of a match, which may come in a signal handler that
  // interrupted a write.
  PlayerScore score_now(size_t p) const {
    const AtomicScore& row = scores_[p];
    return {row.hits_made.load(std::memory_order_relaxed),
            row.hits_taken.load(std::memory_order_relaxed),
            row.damage_dealt.load(std::memory_order_relaxed),
            row.damage_taken.load(std::memory_order_relaxed)};
  }
  int32_t health_now(size_t p) const { return players_[p].health.load(std::memory_order_relaxed); }
  size_t player_count() const { return static_cast<size_t>(humans_) + static_cast<size_t>(bots_); }
  int64_t started_ns() const { return started_ns_.load(std::memory_order_relaxed); }

  // Once, when the match is over (a signal handler may be the one): what
  // the end screen says. why is copied, cut to END_WHY_SIZE - 1 bytes.
  void end_match(EndReason reason, const char* why, uint64_t turns, int64_t now_ns) {
    size_t length = 0;
    for (; why[length] != '\0' && length + 1 < END_WHY_SIZE; ++length)
      end_why_[length] = why[length];
    end_why_[length] = '\0';
    end_reason_ = reason;
    end_turns_ = turns;
    ended_ns_ = now_ns;
    ended_.store(true, std::memory_order_release);
  }
  bool ended() const { return ended_.load(std::memory_order_acquire); }

  // Adds a hit to the feed, the oldest giving way.
  void put_hit(const HitFrame& hit) {
    const uint64_t total = hits_total_.load(std::memory_order_relaxed);
    AtomicHit& slot = hits_[total % VIEW_HIT_FEED];
    slot.turn.store(hit.turn, std::memory_order_relaxed);
    slot.from.store(hit.from, std::memory_order_relaxed);
    slot.damage.store(hit.damage, std::memory_order_relaxed);
    slot.target.store(hit.target, std::memory_order_relaxed);
    hits_total_.store(total + 1, std::memory_order_relaxed);
  }

  // Outside the sequence: each is one value of its own. The exchange with
  // human q began at `since_ns` (steady clock); -1 when no exchange is under way.
  void exchange_started(int32_t q, int64_t since_ns) {
    waiting_since_ns_.store(since_ns, std::memory_order_relaxed);
    waiting_player_.store(q, std::memory_order_release);
  }
  // Outside the sequence too: the operator's pause, and its commands.
  void set_paused(bool paused) { paused_.store(paused, std::memory_order_relaxed); }
  void command_run(size_t counter) {
    commands_on_.store(true, std::memory_order_relaxed);
    commands_[std::min(counter, commands_.size() - 1)].fetch_add(1, std::memory_order_relaxed);
  }
  void commands_open() { commands_on_.store(true, std::memory_order_relaxed); }
  // Outside the sequence too, from the query's thread: its counters.
  void query_open() { query_on_.store(true, std::memory_order_relaxed); }
  void query_counted(QueryOutcome outcome) {
    query_[static_cast<size_t>(outcome)].fetch_add(1, std::memory_order_relaxed);
  }
  // Any thread: the counters alone, before a match has its tables too.
  void read_query(Frame& frame) const {
    frame.query_on = query_on_.load(std::memory_order_relaxed);
    for (size_t k = 0; k < query_.size(); ++k) {
      frame.query[k] = query_[k].load(std::memory_order_relaxed);
    }
  }
  // Outside the sequence too: human q's client was dropped, or came back.
  void seat_changed(int32_t q, SeatShown seat) {
    if (seat == SeatShown::Rejoined) {
      rejoins_.fetch_add(1, std::memory_order_relaxed);
      joined_ns_[static_cast<size_t>(q)].store(steady_ns(), std::memory_order_relaxed);
    }
    seats_[static_cast<size_t>(q)].store(static_cast<uint8_t>(seat), std::memory_order_relaxed);
  }
  void exchange_ended(int32_t q, int64_t round_trip_ns) {
    waiting_player_.store(-1, std::memory_order_release);
    round_trip_ns_[static_cast<size_t>(q)].store(round_trip_ns, std::memory_order_relaxed);
  }

  // Any thread but the match's: a consistent copy into frame (which allocates
  // there, never on the match thread). now_ns on the clock of exchange_started.
  void read(Frame& frame, int64_t now_ns) const {
    const auto players = static_cast<size_t>(humans_) + static_cast<size_t>(bots_);
    frame.players.resize(players);
    frame.routes.resize(static_cast<size_t>(bots_));
    frame.round_trip.resize(static_cast<size_t>(humans_));
    frame.map = map_;
    frame.humans = humans_;
    frame.bots = bots_;
    frame.hits.reserve(VIEW_HIT_FEED);
    frame.scores.resize(players);
    frame.ended = ended();
    for (;;) {
      const uint64_t before = sequence_.load(std::memory_order_acquire);
      // A match stopped by a signal in the middle of a write never finishes
      // it: once over, the tables are taken as they are.
      if ((before & 1) != 0 && !frame.ended) {
        std::this_thread::yield();  // the match thread is writing
        continue;
      }
      frame.turn = turn_.load(std::memory_order_relaxed);
      frame.relay_a = relay_a_.load(std::memory_order_relaxed);
      frame.relay_b = relay_b_.load(std::memory_order_relaxed);
      frame.turns_total = turns_total_.load(std::memory_order_relaxed);
      frame.messages_total = messages_total_.load(std::memory_order_relaxed);
      for (size_t p = 0; p < players; ++p) {
        const AtomicRow& row = players_[p];
        frame.players[p] = {row.x.load(std::memory_order_relaxed),
                            row.y.load(std::memory_order_relaxed),
                            row.health.load(std::memory_order_relaxed),
                            row.heading.load(std::memory_order_relaxed)};
      }
      for (size_t b = 0; b < frame.routes.size(); ++b) {
        for (size_t i = 0; i < 2 * ROUTE_VALUES; ++i) {
          frame.routes[b][i] = routes_[b][i].load(std::memory_order_relaxed);
        }
      }
      frame.hits.clear();
      const uint64_t total = hits_total_.load(std::memory_order_relaxed);
      for (uint64_t h = total; h > 0 && total - h < VIEW_HIT_FEED; --h) {
        const AtomicHit& slot = hits_[(h - 1) % VIEW_HIT_FEED];
        frame.hits.push_back({slot.turn.load(std::memory_order_relaxed),
                              slot.from.load(std::memory_order_relaxed),
                              slot.damage.load(std::memory_order_relaxed),
                              slot.target.load(std::memory_order_relaxed)});
      }
      for (size_t p = 0; p < players; ++p) frame.scores[p] = score_now(p);
      std::atomic_thread_fence(std::memory_order_acquire);
      if (sequence_.load(std::memory_order_relaxed) == before || frame.ended) break;
    }
    frame.names.resize(players);
    frame.named = !name_table_.empty();
    for (size_t p = 0; p < players; ++p) {
      const char* name = name_now(p);
      frame.names[p] = name == nullptr ? "" : name;
    }
    const int64_t started = started_ns();
    const int64_t until = frame.ended ? ended_ns_ : now_ns;
    frame.elapsed_seconds = until > started ? static_cast<double>(until - started) / 1e9 : 0.0;
    if (frame.ended) {
      frame.end_why = end_why_;
      frame.end = {end_reason_, frame.end_why.c_str(), end_turns_,
                   ended_ns_ > started ? (ended_ns_ - started) / 100000000 : 0};
    }
    for (size_t q = 0; q < frame.round_trip.size(); ++q) {
      const int64_t ns = round_trip_ns_[q].load(std::memory_order_relaxed);
      frame.round_trip[q] = ns < 0 ? -1.0 : static_cast<double>(ns) / 1e9;
    }
    frame.joined = joined_.load(std::memory_order_relaxed);
    frame.seats.resize(static_cast<size_t>(humans_));
    for (size_t q = 0; q < frame.seats.size(); ++q) {
      frame.seats[q] = seats_[q].load(std::memory_order_relaxed);
    }
    frame.rejoins = rejoins_.load(std::memory_order_relaxed);
    frame.paused = paused_.load(std::memory_order_relaxed);
    frame.commands_on = commands_on_.load(std::memory_order_relaxed);
    for (size_t k = 0; k < commands_.size(); ++k) {
      frame.commands[k] = commands_[k].load(std::memory_order_relaxed);
    }
    frame.playing_seconds.resize(players);
    for (size_t p = 0; p < players; ++p) {
      const int64_t since = p < static_cast<size_t>(humans_)
                                ? joined_ns_[p].load(std::memory_order_relaxed)
                                : started;
      frame.playing_seconds[p] = until > since ? static_cast<double>(until - since) / 1e9 : 0.0;
    }
    read_query(frame);
    frame.waiting_player = waiting_player_.load(std::memory_order_acquire);
    const int64_t since = waiting_since_ns_.load(std::memory_order_relaxed);
    // Once the match is over nobody is kept waiting any longer: the wait
    // stops at the end, as the match's own time does.
    frame.waiting_seconds =
        frame.waiting_player < 0 || until < since ? 0.0 : static_cast<double>(until - since) / 1e9;
  }

 private:
  struct AtomicRow {
    std::atomic<int32_t> x{0}, y{0}, health{0}, heading{0};
  };
  using AtomicRoute = std::array<std::atomic<int32_t>, 2 * ROUTE_VALUES>;
  struct AtomicScore {
    std::atomic<uint64_t> hits_made{0}, hits_taken{0};
    std::atomic<int64_t> damage_dealt{0}, damage_taken{0};
  };
  struct AtomicHit {
    std::atomic<uint64_t> turn{0};
    std::atomic<int32_t> from{0}, damage{0}, target{0};
  };

  int32_t humans_ = 0, bots_ = 0, map_ = 0;  // fixed before the view reads
  std::atomic<bool> created_{false};
  std::atomic<uint64_t> sequence_{0};
  std::atomic<uint64_t> turn_{0}, turns_total_{0}, messages_total_{0};
  std::atomic<int32_t> relay_a_{-1}, relay_b_{-1};
  std::unique_ptr<AtomicRow[]> players_;
  std::unique_ptr<AtomicRoute[]> routes_;
  std::unique_ptr<std::atomic<int64_t>[]> round_trip_ns_;
  std::unique_ptr<std::atomic<uint8_t>[]> seats_;
  std::atomic<uint64_t> rejoins_{0};
  std::atomic<bool> paused_{false}, commands_on_{false};
  std::array<std::atomic<uint64_t>, OPERATOR_COMMAND_COUNTERS> commands_{};
  std::atomic<int32_t> waiting_player_{-1};
  std::atomic<int64_t> waiting_since_ns_{0};
  std::array<AtomicHit, VIEW_HIT_FEED> hits_;
  std::atomic<uint64_t> hits_total_{0};
  int32_t lobby_humans_ = 0, lobby_bots_ = 0, lobby_map_ = 0;  // fixed before the view reads
  std::vector<std::string> addresses_;                         // likewise
  std::string lobby_resuming_;                                 // likewise
  std::atomic<int32_t> joined_{0};
  std::unique_ptr<AtomicScore[]> scores_;
  std::unique_ptr<std::atomic<int32_t>[]> name_ids_;
  std::vector<std::string> name_table_;  // fixed before create
  std::atomic<int64_t> started_ns_{0};
  std::unique_ptr<std::atomic<int64_t>[]> joined_ns_;
  std::atomic<bool> query_on_{false};
  std::array<std::atomic<uint64_t>, 4> query_{};
  // The end: written once before ended_ is set, read only after.
  static constexpr size_t END_WHY_SIZE = 160;
  std::atomic<bool> ended_{false};
  EndReason end_reason_ = EndReason::ProtocolBreak;
  uint64_t end_turns_ = 0;
  int64_t ended_ns_ = 0;
  char end_why_[END_WHY_SIZE] = {};
};
