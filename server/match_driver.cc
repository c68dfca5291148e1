#include "server/match_driver.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <thread>

#include "bots/route.h"
#include "console/console.h"
#include "console/files.h"
#include "console/log.h"
#include "console/texts.h"
#include "data/data_files.h"
#include "net/decimal.h"
#include "net/message.h"
#include "server/client_link.h"
#include "server/dialogue.h"
#include "server/handshake.h"
#include "server/rejoin.h"
#include "server/replay_mode.h"
#include "server/turn_exchange.h"
#include "server/watch.h"

namespace {

using Clock = std::chrono::steady_clock;

// The one server of the process, created once; the stop handler reads it.
Server* running_server = nullptr;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Ends the match that the operator stopped: the log line, the departures,
// the end banner, exit code 0. Runs where a signal handler runs: only
// writes, arithmetic and _Exit.
void end_stopped_match(const char* why) {
  if (running_server->ending.exchange(true)) return;  // the other thread ends it
  char line[200];
  size_t length = 0;
  const auto put = [&](const char* text) {
    while (*text != '\0' && length < sizeof line) line[length++] = *text++;
  };
  put("stopped by ");
  put(why);
  line[std::min(length, sizeof line - 1)] = '\0';
  watch_match_ends(*running_server, EndReason::Stopped, line);
  length = 0;
  char stamp[TIMESTAMP_SIZE];
  format_timestamp(std::time(nullptr), stamp);
  put(stamp);
  put(" INFO match stopped by ");
  put(why);
  put(" after ");
  char turns[24];
  turns[write_decimal(running_server->turns_played.load(std::memory_order_relaxed), turns)] = '\0';
  put(turns);
  put(" turns");
  if (log_enabled(LogLevel::Info)) log_line_now(line, length);
  write_departure_summary_now(*running_server);
  console_write_now(stdout, END_BANNER, sizeof END_BANNER - 1);
  std::_Exit(EXIT_MATCH_OVER);
}

// The operator asked the server to end (a signal, or Ctrl-C on Windows).
// Cut in the middle of a turn's line, the recording would end with half a
// line: then the match thread ends the match once the line is whole.
void stop_now(const char* why) {
  if (running_server->watch) running_server->watch->stops.fetch_add(1);
  running_server->stop_asked.store(why);
  if (running_server->writing_record.load()) return;
  end_stopped_match(why);
}

// Starts the sockets library and shows the server's address. Returns false
// when the sockets library cannot start and options ask for a clean failure.
bool start_up(const Server& server) {
  const Options& options = server.options;
  log_line(LogLevel::Info,
           "zolt-server %s starting: TCP port %u on %s, bot route file '%s', start position "
           "files in '%s'",
           ZOLT_VERSION, static_cast<unsigned>(options.port),
           options.bind_address.empty() ? "every local IPv4 address" : options.bind_address.c_str(),
           options.bot_file.c_str(), options.maps_dir.empty() ? "." : options.maps_dir.c_str());
  std::string err;
  if (!socket_startup(&err)) {
    if (!options.historic_start_up) {
      log_line(LogLevel::Error, "%s", err.c_str());
      return false;
    }
    console_diagnostic("%s", err.c_str());
  }
  char address[DOTTED_SIZE];
  err.clear();
  const char* host_name = options.host_name.empty() ? nullptr : options.host_name.c_str();
  if (!resolve_first_ipv4(host_name, address, &err)) console_diagnostic("%s", err.c_str());
  if (std::string(address).rfind("127.", 0) == 0) {
    std::string others;
    for (const std::string& other : socket_local_addresses()) others += " " + other;
    log_line(LogLevel::Info,
             "the host name gives %s, a loopback address that other machines cannot reach; "
             "players should use one of this machine's other addresses:%s",
             address, others.empty() ? " (none found)" : others.c_str());
  }
  console_print("%s", WELCOME_BANNER);
  console_print("%s", BANNER_GAP);
  console_print(ADDRESS_LINE, address);
  return true;
}

// The bot route file: where --bot-file says, or the default one, taken from
// the data folder when the working directory lacks it.
std::string bot_route_path(const Server& server) {
  const std::string& path = server.options.bot_file;
  return path == BOT_ROUTE_PATH ? locate_data_file(path, server.data_folder) : path;
}

void read_bot_routes_or_say_so(Server& server) {
  Match& match = server.match;
  if (load_bot_routes(match.route_x, match.route_y, match.bot_count, bot_route_path(server)) != 1) {
    console_print("%s", ROUTE_ERROR);
  }
}

// Names a data file the match needs with its full path, or says, before
// anyone joins, why it cannot be read: found out in the first turn, it would
// leave players stacked at one point. `wanted` is where the operator's
// settings put it, `located` where it is read from (the data folder's when
// the first is missing).
void log_data_file(const char* what, const std::string& wanted, const std::string& located) {
  const std::string problem = data_file_problem(located);
  if (problem.empty()) {
    log_line(LogLevel::Info, "%s '%s'", what, full_path(located).c_str());
  } else if (located == wanted) {
    log_line(LogLevel::Warning, "cannot read the %s '%s': %s", what, full_path(located).c_str(),
             problem.c_str());
  } else {
    log_line(LogLevel::Warning, "cannot read the %s '%s', nor '%s' in the data folder: %s", what,
             full_path(wanted).c_str(), full_path(located).c_str(), problem.c_str());
  }
}

void log_data_files(const Server& server) {
  const Match& match = server.match;
  const Options& options = server.options;
  if (match.bot_count > 0) {
    log_data_file("bot route file", options.bot_file, bot_route_path(server));
  }
  if (match.human_count > 0) {
    char what[64];
    std::snprintf(what, sizeof what, "start position file of map %d",
                  static_cast<int>(match.map_number));
    log_data_file(what, start_position_path(match.map_number, options.maps_dir, ""),
                  start_position_path(match.map_number, options.maps_dir, server.data_folder));
  }
}

int end_of_match(Server& server, int code, EndReason reason, const char* why) {
  log_line(LogLevel::Info, "match over after %" PRIu64 " turns in %.1f s: %s",
           server.turns_played.load(std::memory_order_relaxed), seconds_since(server.match_start),
           why);
  // The stop handler, from now on, only cuts the view's stay short.
  if (server.watch && !server.ending.exchange(true)) watch_match_ends(server, reason, why);
  log_departure_summary(server);
  if (code == EXIT_MATCH_OVER) console_print("%s", END_BANNER);
  return code;
}

}  // namespace

int run_turns(Server& server) {
  Match& match = server.match;
  server.match_start = Clock::now();
  auto last_status = server.match_start;
  uint64_t turns_at_last_status = 0;
  if (server.options.concurrent) set_up_serving_at_once(server);
  while (player_count(match) != 0) {
    if (match.turn_count <= 1) ++match.turn_count;
    const TurnResult result = serve_turn(server);
    if (result == TurnResult::ProtocolBreak) {
      return end_of_match(server, EXIT_PROTOCOL_BREAK, EndReason::ProtocolBreak,
                          match_break_reason(server).c_str());
    }
    if (result == TurnResult::NoClientLeft) {
      return end_of_match(server, EXIT_PROTOCOL_BREAK, EndReason::NoClientLeft,
                          "no human client is left");
    }
    for (int32_t b = 0; b < match.bot_count; ++b) {
      bot_step(match, b);
      // Without humans the operator paces the bots, one key a step; with the
      // console gone nobody is left to do so, and the match is over.
      if (match.human_count == 0 && !console_wait_key()) {
        console_diagnostic("end of console input: nobody left to pace the bots");
        return end_of_match(server, EXIT_MATCH_OVER, EndReason::ConsoleEnded,
                            "the console input ended");
      }
    }
    watch_turn_ends(server);
    if (const char* why = server.stop_asked.load(); why != nullptr) end_stopped_match(why);
    // A stop handled on another thread (Ctrl-C on Windows) shows the end
    // while this one holds still; that thread ends the process.
    while (server.watch && server.ending.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const uint64_t turns = server.turns_played.fetch_add(1, std::memory_order_relaxed) + 1;
    const auto now = Clock::now();
    if (now - last_status >= server.status_interval) {
      const double seconds = std::chrono::duration<double>(now - last_status).count();
      log_line(LogLevel::Info, "turn %" PRIu64 ", %.1f turns/s", turns,
               static_cast<double>(turns - turns_at_last_status) / seconds);
      last_status = now;
      turns_at_last_status = turns;
    }
  }
  return end_of_match(server, EXIT_MATCH_OVER, EndReason::NoPlayers, "the match has no players");
}

int run_server(const Options& options) {
  // The one state of the process; it lives until the process ends.
  static Server server;
  server.options = options;
  server.data_folder = data_folder();
  running_server = &server;
  std::string log_err;
  if (!log_open(options.log_file, options.quiet, &log_err)) {
    log_line(LogLevel::Error, "%s", log_err.c_str());
    return EXIT_USAGE;
  }
  console_on_stop(stop_now);
  Match& match = server.match;

  if (!options.replay_file.empty()) return run_replay(options);
  if (!start_up(server)) return EXIT_CANNOT_LISTEN;
  if (!run_dialogue(match, options)) {
    console_diagnostic("end of console input before the three answers were given");
    return EXIT_NO_OPERATOR;
  }
  log_data_files(server);
  create_route_tables(match);
  read_bot_routes_or_say_so(server);
  create_client_table(match);
  server.client_state.assign(static_cast<size_t>(match.human_count), ClientState{});
  server.clients_left = match.human_count;
  const int watch_failure = watch_start(server);
  if (watch_failure >= 0) return watch_failure;

  // The historic server binds its port even without humans, and never
  // listens then; with options a match without humans needs no port.
  std::string err;
  const char* bind_address = options.bind_address.empty() ? nullptr : options.bind_address.c_str();
  const bool needs_port = match.human_count > 0 || options.historic_start_up;
  const SocketHandle listener =
      needs_port ? socket_bind(bind_address, options.port, &err) : INVALID_SOCKET_HANDLE;
  if (needs_port && listener == INVALID_SOCKET_HANDLE) {
    if (!options.historic_start_up) {
      // The view has bound its port already: one given the same number is
      // the likely holder.
      if (!options.http_address.empty() && options.http_port == options.port) {
        err += ": the server's own live view holds it (--http " + options.http_address + ":" +
               std::to_string(options.http_port) + "); give --http another port";
      }
      log_line(LogLevel::Error, "%s", err.c_str());
      return EXIT_CANNOT_LISTEN;
    }
    console_diagnostic("%s", err.c_str());
  }
  run_handshake(server, listener);
  keep_listening(server, listener);
  // Read again so that route changes made while the clients connected count.
  if (match.bot_count != 0) read_bot_routes_or_say_so(server);
  console_print("%s", START_BANNER);
  log_line(LogLevel::Info, "match started: %d human%s, %d bot%s, map %d",
           static_cast<int>(match.human_count), match.human_count == 1 ? "" : "s",
           static_cast<int>(match.bot_count), match.bot_count == 1 ? "" : "s",
           static_cast<int>(match.map_number));
  set_up_tables(match);
  watch_match_set_up(server);
  if (match.human_count > 0 && server.clients_left == 0) {
    return end_of_match(server, EXIT_PROTOCOL_BREAK, EndReason::NoClientLeft,
                        "no human client is left");
  }
  return run_turns(server);
}
