#include "server/watch.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>

#include "console/log.h"
#include "net/socket.h"
#include "server/match_driver.h"
#include "server/server.h"
#include "view/render.h"

namespace {

int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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
    // At the turn's end: its hits join the feed.
    const Watch& watch = *server.watch;
    for (size_t h = 0; h < watch.hit_count; ++h) {
      const Hit& hit = watch.hits[h];
      snapshot.put_hit({current_turn(server), hit.from, hit.damage, hit.target});
    }
  }
  snapshot.end_write();
}

// Writes to the recording; after the first failure the recording stops and
// the match goes on.
struct RecordOut {
  Server& server;
  void put(const char* bytes, size_t length) {
    Watch& watch = *server.watch;
    if (watch.record == nullptr) return;
    if (std::fwrite(bytes, 1, length, watch.record) != length) failed();
  }
  void flush() {
    Watch& watch = *server.watch;
    if (watch.record != nullptr && std::fflush(watch.record) != 0) failed();
  }
  void failed() {
    Watch& watch = *server.watch;
    log_line(LogLevel::Error,
             "the recording '%s' could not be written in turn %" PRIu64
             " (%s): it stops here, the match goes on",
             watch.record_path.c_str(), current_turn(server), std::strerror(errno));
    std::fclose(watch.record);
    watch.record = nullptr;
  }
};

// The map's name in the first line, and the routes whenever they differ
// from the last line's, so that a replay draws them as the match had them.
void record_routes(Watch& watch, const Match& match, RecordOut& out) {
  char text[96];
  int n;
  if (!watch.routes_recorded) {
    n = std::snprintf(text, sizeof text, ", \"map_name\": \"%s\"", map_name(match.map_number));
    out.put(text, static_cast<size_t>(n));
  }
  bool changed = !watch.routes_recorded;
  size_t i = 0;
  for (size_t b = 0; b < static_cast<size_t>(match.bot_count); ++b) {
    for (const RouteRow* row : {&match.route_x[b], &match.route_y[b]}) {
      for (size_t k = 0; k < VIEW_ROUTE_SLOTS; ++k, ++i) {
        changed = changed || watch.recorded_routes[i] != (*row)[k];
        watch.recorded_routes[i] = (*row)[k];
      }
    }
  }
  watch.routes_recorded = true;
  if (!changed) return;
  static constexpr char routes[] = ", \"routes\": [";
  out.put(routes, sizeof routes - 1);
  for (i = 0; i < watch.recorded_routes.size(); ++i) {
    const size_t k = i % (2 * VIEW_ROUTE_SLOTS);
    n = std::snprintf(text, sizeof text, "%s%d%s", k == 0 ? (i == 0 ? "[" : ", [") : ", ",
                      static_cast<int>(watch.recorded_routes[i]),
                      k == 2 * VIEW_ROUTE_SLOTS - 1 ? "]" : "");
    out.put(text, static_cast<size_t>(n));
  }
  out.put("]", 1);
}

void record_turn(Server& server) {
  Watch& watch = *server.watch;
  const Match& match = server.match;
  RecordOut out{server};
  write_state_json_open(
      out, current_turn(server), match.map_number, match.relay_a, match.relay_b, match.human_count,
      static_cast<size_t>(player_count(match)), [&match](size_t p) {
        return PlayerFrame{match.pos_x[p], match.pos_y[p], match.health[p], match.heading[p]};
      });
  record_routes(watch, match, out);
  out.put(", \"hits\": [", 11);
  char text[96];
  for (size_t h = 0; h < watch.hit_count; ++h) {
    const Hit& hit = watch.hits[h];
    const int n = std::snprintf(
        text, sizeof text, "%s{\"from\": %d, \"damage\": %d, \"target\": %d}", h == 0 ? "" : ", ",
        static_cast<int>(hit.from), static_cast<int>(hit.damage), static_cast<int>(hit.target));
    out.put(text, static_cast<size_t>(n));
  }
  out.put("]}\n", 3);
  out.flush();
}

std::string urls(const std::vector<std::string>& addresses, uint16_t port) {
  std::string text;
  for (const std::string& address : addresses) {
    text += (text.empty() ? "http://" : ", http://") + address + ":" + std::to_string(port) + "/";
  }
  return text;
}

}  // namespace

int watch_start(Server& server) {
  const Options& options = server.options;
  if (options.http_address.empty() && options.record_file.empty()) return -1;
  server.watch = std::make_unique<Watch>();
  Watch& watch = *server.watch;
  if (!options.record_file.empty()) {
    watch.record_path = options.record_file;
    watch.record = std::fopen(options.record_file.c_str(), "wb");
    if (watch.record == nullptr) {
      log_line(LogLevel::Error, "--record: cannot open '%s': %s", options.record_file.c_str(),
               std::strerror(errno));
      return EXIT_USAGE;
    }
    // A buffer of our own, so that the first write of a turn allocates none.
    watch.record_buffer.resize(64 * 1024);
    std::setvbuf(watch.record, watch.record_buffer.data(), _IOFBF, watch.record_buffer.size());
    log_line(LogLevel::Info, "recording every turn to '%s'", options.record_file.c_str());
  }
  if (!options.http_address.empty()) {
    std::vector<std::string> clients_at = reachable_addresses(options.bind_address);
    for (std::string& address : clients_at) address += ":" + std::to_string(options.port);
    const Match& match = server.match;
    watch.snapshot.open_lobby(match.human_count, match.bot_count, match.map_number,
                              std::move(clients_at));
    std::string err;
    watch.view =
        HttpView::start_live(options.http_address, options.http_port, &watch.snapshot, &err);
    if (!watch.view) {
      log_line(LogLevel::Error, "%s", err.c_str());
      return EXIT_CANNOT_LISTEN;
    }
    log_line(LogLevel::Info, "live view on %s",
             urls(reachable_addresses(options.http_address), options.http_port).c_str());
  }
  return -1;
}

void watch_match_set_up(Server& server) {
  if (!server.watch) return;
  Watch& watch = *server.watch;
  const Match& match = server.match;
  watch.hits.resize(static_cast<size_t>(match.human_count));
  watch.recorded_routes.resize(static_cast<size_t>(match.bot_count) * 2 * VIEW_ROUTE_SLOTS);
  watch.snapshot.create(match.human_count, match.bot_count, match.map_number);
  publish(server, true, 0);
}

void watch_joined(Server& server, int32_t joined) {
  if (server.watch) server.watch->snapshot.player_joined(joined);
}

void watch_exchange_begins(Server& server, int32_t q) {
  if (!server.watch) return;
  Watch& watch = *server.watch;
  watch.exchange_start_ns = steady_ns();
  watch.messages_at_start = server.messages;
  watch.snapshot.exchange_started(q, watch.exchange_start_ns);
}

void watch_exchange_ends(Server& server, int32_t q) {
  if (!server.watch) return;
  Watch& watch = *server.watch;
  // The two sides alternate: every round trip is one message each way.
  const uint64_t round_trips = (server.messages - watch.messages_at_start) / 2;
  const int64_t elapsed = steady_ns() - watch.exchange_start_ns;
  watch.snapshot.exchange_ended(
      q, round_trips == 0 ? elapsed : elapsed / static_cast<int64_t>(round_trips));
  publish(server, false, server.turns_played.load(std::memory_order_relaxed));
}

void watch_hit(Server& server, int32_t q, int32_t damage, int32_t target) {
  if (!server.watch) return;
  Watch& watch = *server.watch;
  // One hit per human and exchange; a count beyond would be a second report.
  if (watch.hit_count < watch.hits.size()) watch.hits[watch.hit_count++] = Hit{q, damage, target};
}

void watch_turn_ends(Server& server) {
  if (!server.watch) return;
  Watch& watch = *server.watch;
  publish(server, true, server.turns_played.load(std::memory_order_relaxed) + 1);
  if (watch.record != nullptr) record_turn(server);
  watch.hit_count = 0;
}

int run_replay(Server& server) {
  const Options& options = server.options;
  std::FILE* file = std::fopen(options.replay_file.c_str(), "rb");
  if (file == nullptr) {
    log_line(LogLevel::Error, "--replay: cannot open '%s': %s", options.replay_file.c_str(),
             std::strerror(errno));
    return EXIT_USAGE;
  }
  std::string recording;
  char chunk[64 * 1024];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) recording.append(chunk, got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    log_line(LogLevel::Error, "--replay: cannot read '%s'", options.replay_file.c_str());
    return EXIT_USAGE;
  }
  size_t lines = 0;
  for (const char c : recording) lines += c == '\n' ? 1 : 0;
  std::string err;
  std::unique_ptr<HttpView> view =
      HttpView::start_replay(options.http_address, options.http_port, std::move(recording), &err);
  if (!view) {
    log_line(LogLevel::Error, "%s", err.c_str());
    return EXIT_CANNOT_LISTEN;
  }
  log_line(LogLevel::Info, "replaying '%s' (%" PRIu64 " turns) on %s until stopped",
           options.replay_file.c_str(), static_cast<uint64_t>(lines),
           urls(reachable_addresses(options.http_address), options.http_port).c_str());
  view->wait();
  return EXIT_MATCH_OVER;
}

std::vector<std::string> reachable_addresses(const std::string& bound) {
  if (!bound.empty() && bound != "0.0.0.0") return {bound};
  std::vector<std::string> addresses = socket_local_addresses();
  if (addresses.empty()) addresses.push_back("127.0.0.1");
  return addresses;
}
