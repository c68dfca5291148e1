#include "server/watch.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "console/log.h"
#include "net/socket.h"
#include "server/exit_codes.h"
#include "server/player_names.h"
#include "server/server.h"

namespace {

void publish(Server& server, bool with_routes, uint64_t turns_done) {
  Snapshot& snapshot = server.watch->snapshot;
  const Match& match = server.match;
  snapshot.begin_write();
  snapshot.put_header(current_turn(server), match.relay_a, match.relay_b, turns_done,
                      server.messages);
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

// Once the match has started a player joins only into a dropped player's
// slot, with --rejoin.
void publish_can_join(Server& server) {
  bool free = false;
  if (server.options.rejoin) {
    for (const ClientState& link : server.client_state) {
      if (slot_is_free(link)) {
        free = true;
        break;
      }
    }
  }
  server.watch->can_join.store(free, std::memory_order_relaxed);
}

// Player p's name as the options give it, in the view and the recording.
void name_player(Server& server, int32_t p) {
  const Match& match = server.match;
  const std::string& peer =
      p < match.human_count ? server.client_state[static_cast<size_t>(p)].peer : std::string();
  const int32_t id = player_name_id(server.options, p, peer);
  server.watch->snapshot.name_changed(static_cast<size_t>(p), id);
  recording_name_player(server.watch->recording, static_cast<size_t>(p), id);
}

// The log's line that the view stays up, written as a signal handler may.
void log_lingering(int32_t seconds) {
  if (!log_enabled(LogLevel::Info)) return;
  char line[160];
  size_t length = 0;
  const auto put = [&](const char* text) {
    while (*text != '\0' && length < sizeof line) line[length++] = *text++;
  };
  char stamp[TIMESTAMP_SIZE];
  format_timestamp(std::time(nullptr), stamp);
  put(stamp);
  put(" INFO the live view shows the end for ");
  char digits[24];
  digits[write_decimal(static_cast<uint64_t>(seconds), digits)] = '\0';
  put(digits);
  put(" s (--view-linger) before the server ends");
  log_line_now(line, length);
}

}  // namespace

int watch_start(Server& server) {
  const Options& options = server.options;
  if (options.http_address.empty() && options.record_file.empty()) return -1;
  server.watch = std::make_unique<Watch>();
  Watch& watch = *server.watch;
  std::string err;
  const Match& match = server.match;
  std::vector<std::string> names = player_name_table(options);
  watch.snapshot.set_name_table(names);
  if (!options.record_file.empty()) {
    if (!recording_open(watch.recording, options.record_file, match.human_count, match.bot_count,
                        std::move(names), &err)) {
      log_line(LogLevel::Error, "%s", err.c_str());
      return EXIT_USAGE;
    }
    log_line(LogLevel::Info, "recording every turn to '%s'", watch.recording.path.c_str());
  }
  if (!options.http_address.empty()) {
    std::vector<std::string> clients_at = reachable_addresses(options.bind_address);
    for (std::string& address : clients_at) address += ":" + std::to_string(options.port);
    watch.snapshot.open_lobby(match.human_count, match.bot_count, match.map_number,
                              std::move(clients_at));
    watch.view = HttpView::start_live(options.http_address, options.http_port, &watch.snapshot,
                                      &watch.can_join, &err);
    if (!watch.view) {
      log_line(LogLevel::Error, "%s", err.c_str());
      return EXIT_CANNOT_LISTEN;
    }
    log_line(LogLevel::Info, "live view on %s",
             view_urls(reachable_addresses(options.http_address), options.http_port).c_str());
  }
  return -1;
}

void watch_match_set_up(Server& server) {
  if (!server.watch) return;
  Watch& watch = *server.watch;
  const Match& match = server.match;
  watch.snapshot.create(match.human_count, match.bot_count, match.map_number);
  const auto players = static_cast<size_t>(player_count(match));
  watch.scores.assign(players, PlayerScore{});
  watch.standings.assign(players, 0);
  for (int32_t p = 0; p < player_count(match); ++p) name_player(server, p);
  // Clients dropped in the handshake, before there was a snapshot to tell.
  for (int32_t q = 0; q < match.human_count; ++q) {
    if (server.client_state[static_cast<size_t>(q)].status == ClientStatus::Dropped) {
      watch.snapshot.seat_changed(q, Seat::Dropped);
    }
  }
  publish(server, true, 0);
  publish_can_join(server);
}

void watch_joined(Server& server, int32_t joined) {
  if (server.watch) server.watch->snapshot.player_joined(joined);
}

void watch_exchange_begins(Server& server, int32_t q) {
  if (!server.watch) return;
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  link.exchange_start_ns = steady_ns();
  link.messages_at_start = link.messages;
  server.watch->snapshot.exchange_started(q, link.exchange_start_ns);
}

void watch_exchange_ends(Server& server, int32_t q) {
  if (!server.watch) return;
  Watch& watch = *server.watch;
  const ClientState& link = server.client_state[static_cast<size_t>(q)];
  // The two sides alternate: every round trip is one message each way.
  const uint64_t round_trips = (link.messages - link.messages_at_start) / 2;
  const int64_t elapsed = steady_ns() - link.exchange_start_ns;
  watch.snapshot.exchange_ended(
      q, round_trips == 0 ? elapsed : elapsed / static_cast<int64_t>(round_trips));
  publish(server, false, server.turns_played.load(std::memory_order_relaxed));
}

void watch_seat(Server& server, int32_t q, Seat seat) {
  if (!server.watch || !server.watch->snapshot.created()) return;
  server.watch->snapshot.seat_changed(q, seat);
  // Another client in the seat: a name by address follows the client.
  if (seat == Seat::Rejoined) name_player(server, q);
}

void watch_hit(Server& server, int32_t q, int32_t damage, int32_t target) {
  if (!server.watch) return;
  Watch& watch = *server.watch;
  recording_add_hit(watch.recording, Hit{q, damage, target});
  score_hit(watch.scores.data(), watch.scores.size(), q, damage, target);
  watch.snapshot.begin_write();
  watch.snapshot.put_hit({current_turn(server), q, damage, target});
  if (static_cast<size_t>(q) < watch.scores.size()) {
    watch.snapshot.put_score(static_cast<size_t>(q), watch.scores[static_cast<size_t>(q)]);
  }
  if (target >= 1 && static_cast<size_t>(target) <= watch.scores.size()) {
    watch.snapshot.put_score(static_cast<size_t>(target - 1),
                             watch.scores[static_cast<size_t>(target - 1)]);
  }
  watch.snapshot.end_write();
}

void watch_turn_ends(Server& server) {
  if (!server.watch) return;
  publish(server, true, server.turns_played.load(std::memory_order_relaxed) + 1);
  // Without --rejoin nobody joins once the match has started: no need to look.
  if (server.options.rejoin && server.watch->view) publish_can_join(server);
  Recording& recording = server.watch->recording;
  // Once the match is over (a stop handled on another thread), the
  // recording ends with its end record: no turn comes after it.
  if (recording.file != nullptr && !server.ending.load()) {
    server.writing_record.store(true);
    recording_write_turn(recording, current_turn(server), server.match);
    server.writing_record.store(false);
  }
}

void watch_match_ends(Server& server, EndReason reason, const char* why) {
  if (!server.watch) return;
  Watch& watch = *server.watch;
  Snapshot& snapshot = watch.snapshot;
  const uint32_t stops = watch.stops.load();
  // Ended before the match began: there is no end to show.
  if (!snapshot.created()) return;
  {
    const int64_t now = steady_ns();
    const int64_t started = snapshot.started_ns();
    const MatchEnd end{reason, why, server.turns_played.load(std::memory_order_relaxed),
                       now > started ? (now - started) / 100000000 : 0};
    snapshot.end_match(reason, why, end.turns, now);
    const size_t players = snapshot.player_count();
    const auto health = [&snapshot](size_t p) { return snapshot.health_now(p); };
    const auto score = [&snapshot](size_t p) { return snapshot.score_now(p); };
    order_standings(watch.standings.data(), players, health, score);
    recording_write_end(watch.recording, end, watch.standings.data(), players, health, score,
                        [&snapshot](size_t p) { return snapshot.name_now(p); });
  }
  const int32_t linger = server.options.view_linger;
  if (!watch.view || linger <= 0) return;
  log_lingering(linger);
  const int64_t until = steady_ns() + int64_t{linger} * 1000000000;
  while (steady_ns() < until && watch.stops.load() == stops) {
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
