#include "server/watch.h"

#include <chrono>
#include <cinttypes>
#include <thread>

#include "console/console.h"
#include "console/log.h"
#include "match/match.h"
#include "net/socket.h"
#include "server/exit_codes.h"
#include "server/player_names.h"

namespace {

void publish(Watch& watch, bool with_routes, uint64_t turns_done, uint64_t messages) {
  Snapshot& snapshot = watch.snapshot;
  const Match& match = *watch.match;
  snapshot.begin_write();
  snapshot.put_header(watch.turn, match.relay_a, match.relay_b, turns_done, messages);
  const auto players = static_cast<size_t>(player_count(match));
  for (size_t p = 0; p < players; ++p) {
    snapshot.put_player(p, match.pos_x[p], match.pos_y[p], match.health[p], match.heading[p]);
  }
  if (with_routes) {
    for (size_t b = 0; b < static_cast<size_t>(match.bot_count); ++b) {
      snapshot.put_route(b, match.route_x[b].data(), match.route_y[b].data());
    }
  }
  snapshot.end_write();
}

// Once the match has started a player joins only into a free seat, with
// --rejoin.
void publish_can_join(Watch& watch, const Seats& seats, bool rejoin) {
  bool free = false;
  if (rejoin) {
    for (const Seat& seat : seats.seat) free = free || is_free(seat);
  }
  watch.can_join.store(free, std::memory_order_relaxed);
}

int64_t ns_of(Clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

// Player p's name as the options give it (its client's address `peer`, empty
// for a bot), in the view and the recording.
void name_player(Watch& watch, int32_t p, const std::string& peer) {
  const int32_t id = player_name_id(*watch.options, p, peer);
  watch.snapshot.name_changed(static_cast<size_t>(p), id);
  recording_name_player(watch.recording, static_cast<size_t>(p), id);
}

// A resumed match's lobby: the turn it goes on after and the standings so far,
// as the end's standings are written, each player named as it was.
std::string lobby_resuming(const Options& options, const ResumePoint& resume) {
  const MatchSave& save = resume.save;
  const size_t players = save.health.size();
  if (resume.scores.size() != players) return {};
  struct Text {
    std::string text;
    void put(const char* bytes, size_t length) { text.append(bytes, length); }
  } out;
  out.text = "{\"after_turn\": " + std::to_string(save.turn) + ", \"standings\": [";
  std::vector<int32_t> order(players);
  const auto health = [&save](size_t p) { return save.health[p]; };
  const auto score = [&resume](size_t p) { return resume.scores[p]; };
  order_standings(order.data(), players, health, score);
  for (size_t k = 0; k < players; ++k) {
    const auto p = static_cast<size_t>(order[k]);
    const PlayerScore& s = resume.scores[p];
    out.text += (k == 0 ? "{\"index\": " : ", {\"index\": ") + std::to_string(p);
    const std::string name = player_name(options, static_cast<int32_t>(p),
                                         p < save.peers.size() ? save.peers[p] : std::string());
    if (!name.empty()) {
      out.text += ", \"name\": \"";
      put_json_text(out, name.c_str());
      out.text += "\"";
    }
    out.text += ", \"health\": " + std::to_string(save.health[p]) +
                ", \"hits_made\": " + std::to_string(s.hits_made) +
                ", \"hits_taken\": " + std::to_string(s.hits_taken) +
                ", \"damage_dealt\": " + std::to_string(s.damage_dealt) +
                ", \"damage_taken\": " + std::to_string(s.damage_taken) + "}";
  }
  return out.text + "]}";
}

// With --resume the mark's time of the match: the snapshot's, which counts
// the starts before this one. Unknown (a mark of an earlier version), it
// stays unknown.
void note_played_time(Watch& watch, int64_t now) {
  LastStart* mark = watch.recording.last;
  if (mark == nullptr || mark->played_ms < 0) return;
  const int64_t started = watch.snapshot.started_ns();
  mark->played_ms = now > started ? (now - started) / 1000000 : 0;
}

}  // namespace

int watch_open_view(std::unique_ptr<Watch>& made, const Options& options, const Match& match,
                    const ResumePoint* resume) {
  if (options.http_address.empty() && options.record_file.empty() && !options.query) return -1;
  made = std::make_unique<Watch>();
  Watch& watch = *made;
  watch.match = &match;
  watch.options = &options;
  watch.heartbeat_ns.store(ns_of(Clock::now()), std::memory_order_relaxed);
  watch.snapshot.set_name_table(player_name_table(options));
  if (options.http_address.empty() && !options.query) return -1;
  std::string err;
  std::vector<std::string> clients_at = reachable_addresses(options.bind_address);
  for (std::string& address : clients_at) address += ":" + std::to_string(options.port);
  watch.snapshot.open_lobby(match.human_count, match.bot_count, match.map_number,
                            std::move(clients_at));
  if (resume != nullptr) watch.snapshot.open_lobby_resuming(lobby_resuming(options, *resume));
  watch.can_join.store(match.human_count > 0, std::memory_order_relaxed);
  // The query answers from the same snapshot, without a view.
  if (options.http_address.empty()) return -1;
  // The view's thread leaves the stop signals to the match thread, whose
  // waits they interrupt.
  console_block_stops(true);
  watch.view = HttpView::start_live(options.http_address, options.http_port, &watch.snapshot,
                                    &watch.can_join, &watch.heartbeat_ns, &err);
  console_block_stops(false);
  if (!watch.view) {
    log_line(LogLevel::Error, "%s", err.c_str());
    return EXIT_CANNOT_LISTEN;
  }
  log_line(LogLevel::Info, "live view on %s",
           view_urls(reachable_addresses(options.http_address), options.http_port).c_str());
  return -1;
}

int watch_start(Watch* started, const Options& options, const Match& match,
                const ResumePoint* resume, LastStart* mark) {
  if (started == nullptr) return -1;
  Watch& watch = *started;
  std::string err;
  std::vector<std::string> names = player_name_table(options);
  if (!options.record_file.empty()) {
    bool opened = resume != nullptr
                      ? recording_continue(watch.recording, *resume, std::move(names), &err)
                      : recording_open(watch.recording, options.record_file, match.human_count,
                                       match.bot_count, std::move(names), &err);
    // With --resume the mark names this start's recording before its
    // first line.
    if (opened && mark != nullptr) {
      // A new match's time starts here; a resumed one's goes on from the
      // mark's (or stays unknown).
      if (resume == nullptr) mark->played_ms = 0;
      opened = last_start_begin(*mark, watch.recording.path,
                                resume != nullptr ? resume->save.turn : 0, &err);
      watch.recording.last = mark;
    }
    if (!opened) {
      log_line(LogLevel::Error, "%s", err.c_str());
      return EXIT_USAGE;
    }
    watch.recording.sync = options.record_sync;
    log_line(LogLevel::Info, "recording every turn to '%s'", watch.recording.path.c_str());
  }
  return -1;
}

void watch_match_set_up(Watch* set_up, const Match& match, const Seats& seats, bool rejoin) {
  if (set_up == nullptr) return;
  Watch& watch = *set_up;
  watch.snapshot.create(match.human_count, match.bot_count, match.map_number);
  const auto players = static_cast<size_t>(player_count(match));
  watch.scores.assign(players, PlayerScore{});
  watch.standings.assign(players, 0);
  for (int32_t p = 0; p < player_count(match); ++p) {
    name_player(watch, p, p < match.human_count ? seats.seat[static_cast<size_t>(p)].peer : "");
  }
  // Clients dropped in the handshake, before there was a snapshot to tell.
  for (const Seat& seat : seats.seat) {
    if (seat.status == SeatStatus::Dropped) {
      watch.snapshot.seat_changed(seat.index, SeatShown::Dropped);
    }
  }
  publish(watch, true, 0, 0);
  publish_can_join(watch, seats, rejoin);
  watch.match_running = true;
}

void watch_time_carried(Watch* watch, int64_t ms) {
  if (watch != nullptr && ms > 0) watch->snapshot.carry_time(ms * 1000000);
}

void watch_scores_carried(Watch* watch, const std::vector<PlayerScore>& scores) {
  if (watch == nullptr || scores.size() != watch->scores.size()) return;
  watch->scores = scores;
  watch->snapshot.begin_write();
  for (size_t p = 0; p < scores.size(); ++p) watch->snapshot.put_score(p, scores[p]);
  watch->snapshot.end_write();
}

void watch_joined(Watch* watch, int32_t joined, int32_t humans) {
  if (watch == nullptr) return;
  watch->snapshot.player_joined(joined);
  // Every seat is taken: nobody else can join until the match has started.
  watch->can_join.store(joined < humans, std::memory_order_relaxed);
}

void watch_heartbeat(Watch* watch, Clock::time_point now) {
  if (watch == nullptr) return;
  watch->heartbeat_ns.store(ns_of(now), std::memory_order_relaxed);
  if (watch->recording.unsynced) recording_sync_due(watch->recording, now == Clock::time_point{});
}

void watch_walk(Watch* watch, const Seats& seats, const WalkNews& news) {
  if (watch == nullptr) return;
  watch->heartbeat_ns.store(ns_of(news.now), std::memory_order_relaxed);
  Snapshot& snapshot = watch->snapshot;
  // The tables as the exchanges left them, then each one's round trip.
  if (news.ended_count > 0) publish(*watch, false, watch->turns_done, news.messages);
  for (size_t i = 0; i < news.ended_count; ++i) {
    const Seat& seat = seats.seat[static_cast<size_t>(news.ended[i])];
    snapshot.exchange_ended(seat.index, seat_round_trip_ns(seat));
  }
  if (news.oldest >= 0 && snapshot.created()) {
    snapshot.exchange_started(news.oldest, ns_of(news.since));
  }
  // With --record-sync second an unsynced line is synced once it is due.
  if (watch->recording.unsynced) recording_sync_due(watch->recording, false);
}

void watch_seat_dropped(Watch* watch, int32_t q) {
  if (watch != nullptr && watch->snapshot.created()) {
    watch->snapshot.seat_changed(q, SeatShown::Dropped);
  }
}

void watch_seat_rejoined(Watch* watch, int32_t q, const char* peer) {
  if (watch == nullptr || !watch->snapshot.created()) return;
  // Another client in the seat: a name by address follows the client.
  name_player(*watch, q, peer);
  watch->snapshot.seat_changed(q, SeatShown::Rejoined);
}

void watch_paused(Watch* watch, bool paused) {
  if (watch != nullptr) watch->snapshot.set_paused(paused);
}

void watch_commands_open(Watch* watch) {
  if (watch != nullptr) watch->snapshot.commands_open();
}

void watch_command(Watch* watch, size_t counter) {
  if (watch != nullptr) watch->snapshot.command_run(counter);
}

void watch_hit(Watch* watch, int32_t q, int32_t damage, int32_t target) {
  if (watch == nullptr) return;
  recording_add_hit(watch->recording, Hit{q, damage, target});
  score_hit(watch->scores.data(), watch->scores.size(), q, damage, target);
  Snapshot& snapshot = watch->snapshot;
  snapshot.begin_write();
  snapshot.put_hit({watch->turn, q, damage, target});
  if (static_cast<size_t>(q) < watch->scores.size()) {
    snapshot.put_score(static_cast<size_t>(q), watch->scores[static_cast<size_t>(q)]);
  }
  if (target >= 1 && static_cast<size_t>(target) <= watch->scores.size()) {
    snapshot.put_score(static_cast<size_t>(target - 1),
                       watch->scores[static_cast<size_t>(target - 1)]);
  }
  snapshot.end_write();
}

void watch_turn_begins(Watch* watch, uint64_t turn, uint64_t turns_done) {
  if (watch == nullptr) return;
  watch->turn = turn;
  watch->turns_done = turns_done;
}

void watch_seats_changed(Watch* watch, const Seats& seats, bool rejoin) {
  if (watch != nullptr && watch->match_running && rejoin &&
      (watch->view || watch->options->query)) {
    publish_can_join(*watch, seats, rejoin);
  }
}

void watch_turn_ends(Watch* watch, const Seats& seats, bool rejoin, uint64_t messages) {
  if (watch == nullptr) return;
  publish(*watch, true, watch->turns_done + 1, messages);
  watch_seats_changed(watch, seats, rejoin);
  Recording& recording = watch->recording;
  if (recording.file == nullptr && !recording.behind) return;
  note_played_time(*watch, steady_ns());
  for (const Seat& seat : seats.seat) {
    recording_seat_peer(recording, static_cast<size_t>(seat.index), seat.peer);
  }
  recording_write_turn(recording, watch->turn, *watch->match);
}

void watch_match_ends(Watch* watch, EndReason reason, const char* why, uint64_t turns,
                      int32_t linger) {
  if (watch == nullptr) return;
  // Whatever seat is free, the match that had it is over.
  watch->match_running = false;
  watch->can_join.store(false, std::memory_order_relaxed);
  Snapshot& snapshot = watch->snapshot;
  const uint32_t stops = console_stops();
  // Ended before the match began: there is no end to show.
  if (!snapshot.created()) return;
  const int64_t now = steady_ns();
  const int64_t started = snapshot.started_ns();
  const MatchEnd end{reason, why, turns, now > started ? (now - started) / 100000000 : 0};
  snapshot.end_match(reason, why, end.turns, now);
  const size_t players = snapshot.player_count();
  const auto health = [&snapshot](size_t p) { return snapshot.health_now(p); };
  const auto score = [&snapshot](size_t p) { return snapshot.score_now(p); };
  order_standings(watch->standings.data(), players, health, score);
  note_played_time(*watch, now);
  recording_write_end(watch->recording, end, watch->standings.data(), players, health, score,
                      [&snapshot](size_t p) { return snapshot.name_now(p); });
  if (const LastStart* mark = watch->recording.last; mark != nullptr && mark->end_lost) {
    log_line(LogLevel::Error,
             "the end of the match could not be written to '%s': '%s' says it ended after "
             "turn %" PRIu64 ", so that a resume does not play it again",
             watch->recording.path.c_str(), mark->path.c_str(), turns);
  }
  if (!watch->view || linger <= 0) return;
  log_line(LogLevel::Info,
           "the live view shows the end for %d s (--view-linger) before the server ends",
           static_cast<int>(linger));
  const int64_t until = steady_ns() + int64_t{linger} * 1000000000;
  while (steady_ns() < until && console_stops() == stops) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<std::string> reachable_addresses(const std::string& bound) {
  if (!bound.empty() && bound != "0.0.0.0") return {bound};
  std::vector<std::string> addresses = socket_local_addresses();
  if (addresses.empty()) addresses.push_back("127.0.0.1");
  return addresses;
}

std::string view_urls(const std::vector<std::string>& addresses, uint16_t port) {
  std::string text;
  for (const std::string& address : addresses) {
    text += (text.empty() ? "http://" : ", http://") + address + ":" + std::to_string(port) + "/";
  }
  return text;
}
