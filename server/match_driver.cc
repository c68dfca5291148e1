#include "server/match_driver.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bots/route.h"
#include "console/console.h"
#include "console/files.h"
#include "console/log.h"
#include "console/texts.h"
#include "data/data_files.h"
#include "net/decimal.h"
#include "net/message.h"
#include "net/protocol.h"
#include "record/resume.h"
#include "record/save.h"
#include "server/dialogue.h"
#include "server/handshake.h"
#include "server/operator_hand.h"
#include "server/query_listener.h"
#include "server/replay_mode.h"
#include "server/turn_exchange.h"
#include "server/walker.h"
#include "server/watch.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// When the match thread cannot see a stop in time (Windows: a console read
// that a Ctrl-C does not end), the console layer ends the process here,
// where a signal handler would run: only writes, arithmetic and _Exit.
void end_process_now(const char* why) {
  char line[200];
  size_t length = 0;
  const auto put = [&](const char* text) {
    while (*text != '\0' && length < sizeof line) line[length++] = *text++;
  };
  char stamp[TIMESTAMP_SIZE];
  format_timestamp(std::time(nullptr), stamp);
  put(stamp);
  put(" INFO match stopped by ");
  put(why);
  if (log_enabled(LogLevel::Info)) log_line_now(line, length);
  console_write_now(stdout, END_BANNER, sizeof END_BANNER - 1);
  std::_Exit(EXIT_MATCH_OVER);
}

// Starts the sockets library and shows the server's address. Returns false
// when the sockets library cannot start and options ask for a clean failure.
bool start_up(const Options& options) {
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
std::string bot_route_path(const Options& options, const StartFile& start) {
  const std::string& path = options.bot_file;
  return path == BOT_ROUTE_PATH ? locate_data_file(path, start.data_folder) : path;
}

void read_bot_routes_or_say_so(Match& match, const std::string& path) {
  if (load_bot_routes(match.route_x, match.route_y, match.bot_count, path) != 1) {
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

void log_data_files(const Match& match, const Options& options, const StartFile& start) {
  if (match.bot_count > 0) {
    log_data_file("bot route file", options.bot_file, bot_route_path(options, start));
  }
  if (match.human_count > 0) {
    char what[64];
    std::snprintf(what, sizeof what, "start position file of map %d",
                  static_cast<int>(match.map_number));
    log_data_file(what, start_position_path(match.map_number, options.maps_dir, ""),
                  start_position_path(match.map_number, options.maps_dir, start.data_folder));
  }
}

void log_departure_summaries(const Seats& seats) {
  for (const Seat& seat : seats.seat) {
    if (seat.peer[0] != '\0' && std::strcmp(seat.peer, "0.0.0.0:0") != 0)
      log_departure_summary(seat);
  }
}

// Every end of the match: its log line; with --resume, a stop by the
// system leaves the match to the next start; then the view and the
// recording are told (after the log line, so that the view's stay is not
// counted in the match's time), the clients' departures summed up, the
// operator's hand closed and the end banner shown.
int end_match(Server& server, const MatchProgress& progress, int code, EndReason reason,
              const char* why) {
  Watch* watch = server.watch.get();
  std::string shown_why = why;
  if (reason == EndReason::Stopped) {
    log_line(LogLevel::Info, "match stopped by %s after %" PRIu64 " turns", why,
             progress.turns_played);
    // With --resume a stop by the system (a service stopped for an upgrade,
    // a machine shut down) is a pause of the match, not its end.
    if (server.options.resume && console_stop_by_system() && watch != nullptr &&
        (watch->recording.file != nullptr || watch->recording.behind)) {
      recording_suspend(watch->recording);
      log_line(LogLevel::Info, "the match goes on at the next start with --resume, from '%s'",
               watch->recording.path.c_str());
    }
    shown_why = "stopped by " + shown_why;
  } else {
    log_line(LogLevel::Info, "match over after %" PRIu64 " turns in %.1f s: %s",
             progress.turns_played, seconds_since(progress.started), why);
  }
  watch_match_ends(watch, reason, shown_why.c_str(), progress.turns_played,
                   server.options.view_linger);
  if (server.options.check_clients) log_departure_summaries(server.seats);
  if (server.hand != nullptr) {
    if (operator_waiting(*server.hand)) operator_serve(server);
    operator_close(*server.hand);
  }
  if (code == EXIT_MATCH_OVER) console_print("%s", END_BANNER);
  return code;
}

// Once every human is in: with --rejoin the listener is watched during the
// match. Seats served at once, or beside a listener, never block.
void keep_listening(Lobby& lobby, Seats& seats, const Options& options) {
  if (options.rejoin && lobby.listener != INVALID_SOCKET_HANDLE) {
    lobby.open_in_match = true;
    socket_set_blocking(lobby.listener, false);
  }
  if (!options.concurrent && !lobby.open_in_match) return;
  for (Seat& seat : seats.seat) {
    if (seat.socket != INVALID_SOCKET_HANDLE && seat.status != SeatStatus::Dropped) {
      seat.nonblocking = socket_set_blocking(seat.socket, false);
    }
  }
}

// Why a protocol break ended the match, with the one cause the log gave:
// "player 0 left", "player 2 timed out", "player 1 broke the protocol".
std::string match_break_reason(const Seats& seats) {
  if (seats.ended_by < 0) return "a client broke the protocol";
  const Seat& seat = seats.seat[static_cast<size_t>(seats.ended_by)];
  return "player " + std::to_string(seats.ended_by) + " " + break_cause_text(seat.broken_by);
}

// --resume: takes the last start's mark (one server per recording) and
// reads the recording it names (record/resume.h, resume_file). An unfinished
// match there is gone on with (*resuming); a finished one, one whose end the
// mark says was lost, or none, leaves a new match to start. Returns -1, or
// the exit code when another server holds the mark, the file cannot be gone
// on from or the operator's settings disagree with it, the reason logged;
// the file is then left as it is.
int find_match_to_resume(const Options& options, LastStart* mark, ResumePoint* point,
                         bool* resuming) {
  std::string err, note;
  if (!last_start_take(*mark, options.record_file, &note, &err)) {
    log_line(LogLevel::Error, "%s", err.c_str());
    return EXIT_USAGE;
  }
  if (!note.empty()) log_line(LogLevel::Warning, "--resume: %s", note.c_str());
  note.clear();
  const std::string path = resume_file(options.record_file, *mark, &note);
  if (path.empty()) {
    if (!note.empty()) {
      log_line(LogLevel::Warning, "--resume: %s: a new match starts", note.c_str());
    } else {
      log_line(LogLevel::Info, "--resume: no recording '%s' yet: a new match starts",
               options.record_file.c_str());
    }
    return -1;
  }
  if (!read_resume_point(path, point, &err)) {
    log_line(LogLevel::Error, "--resume: %s; the file is left as it is", err.c_str());
    return EXIT_USAGE;
  }
  if (point->finished || !point->has_turn) {
    log_line(LogLevel::Info, "--resume: the match in '%s' %s: a new match starts", path.c_str(),
             point->finished ? "is over" : "has no whole turn");
    return -1;
  }
  const MatchSave& save = point->save;
  const bool marked = !mark->recording.empty();
  if (marked && mark->end_lost) {
    log_line(LogLevel::Warning,
             "--resume: the match in '%s' ended after turn %" PRIu64
             ", but its end could not be written (its last line is turn %" PRIu64
             "): it is over, a new match starts",
             path.c_str(), mark->turns_played, save.turn);
    return -1;
  }
  const struct {
    const char* what;
    const std::optional<int32_t>& given;
    int32_t recorded;
  } settings[] = {{"human players", options.humans, save.humans},
                  {"bots", options.bots, save.bots},
                  {"map", options.map, save.map}};
  for (const auto& setting : settings) {
    if (setting.given && *setting.given != setting.recorded) {
      log_line(LogLevel::Error,
               "--resume: the match in '%s' has %s %d, the settings ask for %d: give the "
               "recorded value, leave it out, or record the new match elsewhere",
               path.c_str(), setting.what, static_cast<int>(setting.recorded),
               static_cast<int>(*setting.given));
      return EXIT_USAGE;
    }
  }
  log_line(LogLevel::Info,
           "--resume: going on with the match in '%s' after turn %" PRIu64 " (line %" PRIu64
           "): %d human%s, %d bot%s, map %d",
           path.c_str(), save.turn, point->line_number, static_cast<int>(save.humans),
           save.humans == 1 ? "" : "s", static_cast<int>(save.bots), save.bots == 1 ? "" : "s",
           static_cast<int>(save.map));
  if (marked && mark->turns_played > save.turn) {
    log_line(LogLevel::Warning,
             "--resume: the match went on to turn %" PRIu64
             " while '%s' could not be written: %" PRIu64
             " turn%s lost, played again from turn %" PRIu64,
             mark->turns_played, path.c_str(), mark->turns_played - save.turn,
             mark->turns_played - save.turn == 1 ? "" : "s", save.turn + 1);
  }
  *resuming = true;
  return -1;
}

// A resumed match's seats remember the addresses that held them, so that a
// client that comes back from one takes its own slot first.
void give_back_slots(Seats& seats, const std::vector<std::string>& peers) {
  for (size_t q = 0; q < seats.seat.size() && q < peers.size(); ++q) {
    if (peers[q].empty()) continue;
    std::snprintf(seats.seat[q].peer, sizeof seats.seat[q].peer, "%s:0", peers[q].c_str());
  }
}

// Two of the server's own options that ask for one port: the second bind
// would fail, or (an address beside every address) take connections meant
// for the first. Empty when there is none.
std::string port_clash(const Options& options) {
  struct Endpoint {
    std::string option;
    std::string address;  // empty: every local address
    uint16_t port;
  };
  std::vector<Endpoint> endpoints;
  // A match without humans binds no game port.
  if (!options.humans || *options.humans > 0) {
    endpoints.push_back(
        {"--port " + std::to_string(options.port), options.bind_address, options.port});
  }
  const auto add = [&endpoints](const char* name, const std::string& address, uint16_t port) {
    if (!address.empty()) {
      endpoints.push_back(
          {std::string(name) + " " + address + ":" + std::to_string(port), address, port});
    }
  };
  add("--http", options.http_address, options.http_port);
  add("--rcon", options.rcon_address, options.rcon_port);
  const auto every = [](const std::string& address) {
    return address.empty() || address == "0.0.0.0";
  };
  for (size_t i = 0; i < endpoints.size(); ++i) {
    for (size_t j = i + 1; j < endpoints.size(); ++j) {
      const Endpoint& a = endpoints[i];
      const Endpoint& b = endpoints[j];
      if (a.port == b.port && (a.address == b.address || every(a.address) || every(b.address))) {
        return a.option + " and " + b.option + " ask for the same port: give each its own";
      }
    }
  }
  return {};
}

// The query's thread, answering from the snapshot the match publishes.
void start_query(const Options& options, Watch& watch, SocketHandle socket, uint16_t port) {
  QuerySettings settings;
  settings.name = options.server_name;
  if (settings.name.empty()) {
    const std::string host = options.host_name.empty() ? socket_host_name() : options.host_name;
    settings.name = std::string("ZOLT ") + ZOLT_VERSION + " on " + (host.empty() ? "?" : host);
  }
  settings.game_port = options.port;
  settings.concurrent = options.concurrent;
  settings.rejoin = options.rejoin;
  watch.query = query_start(socket, watch.snapshot, watch.can_join, std::move(settings));
  log_line(LogLevel::Info, "server query on UDP %s:%u",
           options.bind_address.empty() ? "0.0.0.0" : options.bind_address.c_str(),
           static_cast<unsigned>(port));
}

// Every port the server binds, in this one place, before anything is
// written or started: a port that cannot be had ends the start with exit 3
// and leaves nothing behind (no recording, no thread, no line that says a
// port is served). The game's port first, listened on at once so that a
// later bind on the same number fails here and not in the first accept;
// then the remote console's; then the view's, which starts its thread (its
// lobby says where a resumed match stood).
int bind_ports(Server& server, const ResumePoint* resume) {
  const Options& options = server.options;
  const Match& match = server.match;
  // The historic server binds its port even without humans, and never
  // listens then; with options a match without humans needs no port.
  std::string err;
  const char* bind_address = options.bind_address.empty() ? nullptr : options.bind_address.c_str();
  const bool needs_port = match.human_count > 0 || options.historic_start_up;
  const SocketHandle listener =
      needs_port ? socket_bind(bind_address, options.port, &err) : INVALID_SOCKET_HANDLE;
  if (needs_port && listener == INVALID_SOCKET_HANDLE) {
    if (!options.historic_start_up) {
      // As every other problem with a value of the config file: its place first.
      if (!options.port_place.empty()) err = options.port_place + ": " + err;
      log_line(LogLevel::Error, "%s", err.c_str());
      return EXIT_CANNOT_LISTEN;
    }
    console_diagnostic("%s", err.c_str());
  }
  // The historic server listens when the first client is awaited, and
  // says so there when it cannot.
  if (listener != INVALID_SOCKET_HANDLE && !options.historic_start_up &&
      !socket_listen(listener, LISTEN_BACKLOG, &err)) {
    log_line(LogLevel::Error, "%s", err.c_str());
    socket_close(listener);
    return EXIT_CANNOT_LISTEN;
  }
  server.lobby.listener = listener;
  if (const int failure = operator_open(server.hand, options, match.human_count, server.rules);
      failure >= 0) {
    return failure;
  }
  // The query answers on the game's address, by default on the game's port
  // number (UDP); its thread starts once the snapshot it reads is made.
  const uint16_t query_port = options.query_port != 0 ? options.query_port : options.port;
  const SocketHandle query_socket =
      options.query ? query_bind(options.bind_address, query_port, &err) : INVALID_SOCKET_HANDLE;
  if (options.query && query_socket == INVALID_SOCKET_HANDLE) {
    log_line(LogLevel::Error, "%s", err.c_str());
    return EXIT_CANNOT_LISTEN;
  }
  if (const int failure = watch_open_view(server.watch, options, match, resume); failure >= 0) {
    if (query_socket != INVALID_SOCKET_HANDLE) socket_close(query_socket);
    return failure;
  }
  if (options.query) start_query(options, *server.watch, query_socket, query_port);
  return -1;
}

}  // namespace

void set_up_seats(Server& server) {
  const Options& options = server.options;
  const Match& match = server.match;
  Seats& seats = server.seats;
  seats.seat.assign(static_cast<size_t>(match.human_count), Seat{});
  for (int32_t q = 0; q < match.human_count; ++q) seats.seat[static_cast<size_t>(q)].index = q;
  seats.left = match.human_count;
  seats.ended_by = -1;
  SeatRules& rules = server.rules;
  rules.player_count = player_count(match);
  rules.client_timeout = std::chrono::seconds(options.client_timeout);
  rules.join_timeout = std::chrono::seconds(options.join_timeout);
  rules.drop_broken = options.drop_broken_clients;
  rules.trace = options.trace;
  rules.check_clients = options.check_clients;
  rules.forget_strays = options.drop_broken_clients || options.rejoin;
  rules.timed_round_trips = !options.http_address.empty();
  if (!options.names.empty() || !options.address_names.empty()) rules.names = &server.options;
  server.lobby.allow = options.allow;
  walker_set_up(server.walker, match.human_count);
}

int run_turns(Server& server, MatchProgress& progress) {
  Match& match = server.match;
  // run_server starts the clock at the start banner; callers that drive the
  // turns alone start it here.
  if (progress.started == Clock::time_point{}) progress.started = Clock::now();
  auto last_status = progress.started;
  uint64_t turns_at_last_status = 0;
  const auto stopped = [&](const char* why) {
    return end_match(server, progress, EXIT_MATCH_OVER, EndReason::Stopped, why);
  };
  const auto no_client_left = [&] {
    return end_match(server, progress, EXIT_PROTOCOL_BREAK, EndReason::NoClientLeft,
                     "no human client is left");
  };
  if (server.options.concurrent) ledger_set_up(server.ledger, match);
  while (player_count(match) != 0) {
    if (server.hand != nullptr) {
      // The operator's commands, and a pause: no turn starts while it holds.
      operator_between_turns(server);
      if (const char* why = console_stop_asked(); why != nullptr) return stopped(why);
      if (match.human_count > 0 && server.seats.left == 0) return no_client_left();
    }
    if (match.turn_count <= 1) ++match.turn_count;
    // The turn in which the server is (0 during the handshake).
    server.rules.turn = progress.turns_played + 1;
    watch_turn_begins(server.watch.get(), server.rules.turn, progress.turns_played);
    seats_join_ready(server.seats, server.watch.get());
    const TurnResult result = serve_turn(server);
    if (result == TurnResult::Stopped) return stopped(console_stop_asked());
    if (result == TurnResult::ProtocolBreak) {
      return end_match(server, progress, EXIT_PROTOCOL_BREAK, EndReason::ProtocolBreak,
                       match_break_reason(server.seats).c_str());
    }
    if (result == TurnResult::NoClientLeft) return no_client_left();
    for (int32_t b = 0; b < match.bot_count; ++b) {
      bot_step(match, b);
      // Without humans the operator paces the bots, one key a step; with the
      // console gone nobody is left to do so, and the match is over.
      if (match.human_count == 0) {
        watch_heartbeat(server.watch.get(), Clock::time_point{});
        const bool key = console_wait_key();
        // The operator's commands run between the steps, once a key has come.
        if (server.hand != nullptr && operator_waiting(*server.hand)) operator_serve(server);
        if (const char* why = console_stop_asked(); why != nullptr) return stopped(why);
        if (!key) {
          console_diagnostic("end of console input: nobody left to pace the bots");
          return end_match(server, progress, EXIT_MATCH_OVER, EndReason::ConsoleEnded,
                           "the console input ended");
        }
      }
    }
    watch_turn_ends(server.watch.get(), server.seats, server.options.rejoin,
                    server.walker.messages);
    const uint64_t turns = ++progress.turns_played;
    if (server.hand != nullptr) operator_turn_done(*server.hand, server.seats, turns);
    if (const char* why = console_stop_asked(); why != nullptr) return stopped(why);
    const auto now = Clock::now();
    if (now - last_status >= progress.status_interval) {
      const double seconds = std::chrono::duration<double>(now - last_status).count();
      log_line(LogLevel::Info, "turn %" PRIu64 ", %.1f turns/s", turns,
               static_cast<double>(turns - turns_at_last_status) / seconds);
      last_status = now;
      turns_at_last_status = turns;
    }
  }
  return end_match(server, progress, EXIT_MATCH_OVER, EndReason::NoPlayers,
                   "the match has no players");
}

namespace {

int open_log_or_say_so(const Options& options) {
  std::string err;
  if (log_open(options.log_file, options.quiet, &err)) return -1;
  log_line(LogLevel::Error, "%s", err.c_str());
  return EXIT_USAGE;
}

int refuse_port_clash(const Options& options) {
  const std::string clash = port_clash(options);
  if (clash.empty()) return -1;
  log_line(LogLevel::Error, "%s", clash.c_str());
  return EXIT_USAGE;
}

// The match's tables: the resumed match's, or a new one's from the
// operator's three answers and the data files. False when the console gave
// no answers (a stop, or the end of its input: *why says which, or is null).
bool set_up_match(Match& match, const Options& options, const StartFile& start,
                  const ResumePoint* resume, const char** why) {
  if (resume != nullptr) {
    restore_match(match, resume->save, resume->routes);
  } else {
    if (!run_dialogue(match, options)) {
      *why = console_stop_asked();
      return false;
    }
    log_data_files(match, options, start);
    create_route_tables(match);
    read_bot_routes_or_say_so(match, bot_route_path(options, start));
  }
  create_client_table(match);
  return true;
}

// After the handshake: the banner, the log line and the tables of a new
// match, or where a resumed one goes on.
void begin_match(Match& match, MatchProgress& progress, const ResumePoint* resume) {
  console_print("%s", START_BANNER);
  // Taken before a match that ends at once (every client gone in the
  // handshake): its duration is counted from here, not from the clock's origin.
  progress.started = Clock::now();
  const char* humans_s = match.human_count == 1 ? "" : "s";
  const char* bots_s = match.bot_count == 1 ? "" : "s";
  if (resume != nullptr) {
    progress.turns_played = resume->save.turn;
    log_line(LogLevel::Info, "match resumed after turn %" PRIu64 ": %d human%s, %d bot%s, map %d",
             resume->save.turn, static_cast<int>(match.human_count), humans_s,
             static_cast<int>(match.bot_count), bots_s, static_cast<int>(match.map_number));
  } else {
    log_line(LogLevel::Info, "match started: %d human%s, %d bot%s, map %d",
             static_cast<int>(match.human_count), humans_s, static_cast<int>(match.bot_count),
             bots_s, static_cast<int>(match.map_number));
    set_up_tables(match);
  }
}

// A resumed match's view and recording: its scores and its time so far,
// and the restart line.
void carry_resumed_match(Watch* watch, const ResumePoint& resume, const LastStart& mark) {
  if (watch == nullptr) return;
  watch_scores_carried(watch, resume.scores);
  if (mark.played_ms >= 0) {
    watch_time_carried(watch, mark.played_ms);
  } else {
    log_line(LogLevel::Warning,
             "'%s' does not say how long the match was played before this start: its "
             "time counts from now",
             mark.path.c_str());
  }
  recording_write_restart(watch->recording, resume.save.turn, std::time(nullptr));
}

}  // namespace

int run_server(const Options& options) {
  if (const int failure = open_log_or_say_so(options); failure >= 0) return failure;
  console_on_stop(end_process_now);
  if (!options.replay_file.empty()) return run_replay(options);
  if (const int refused = refuse_port_clash(options); refused >= 0) return refused;
  // The match a resume goes on with, and the last start's mark, which the
  // recording keeps writing: both outlive the server.
  ResumePoint resume;
  LastStart mark;
  bool resuming = false;
  if (options.resume) {
    const int refused = find_match_to_resume(options, &mark, &resume, &resuming);
    if (refused >= 0) return refused;
  }
  const ResumePoint* resumed = resuming ? &resume : nullptr;
  if (!start_up(options)) return EXIT_CANNOT_LISTEN;
  Server server;
  server.options = options;
  server.start.maps_dir = options.maps_dir;
  server.start.data_folder = data_folder();
  MatchProgress progress;
  Match& match = server.match;
  if (const char* why = nullptr; !set_up_match(match, options, server.start, resumed, &why)) {
    if (why != nullptr)
      return end_match(server, progress, EXIT_MATCH_OVER, EndReason::Stopped, why);
    console_diagnostic("end of console input before the three answers were given");
    return EXIT_NO_OPERATOR;
  }
  set_up_seats(server);
  if (resumed != nullptr) give_back_slots(server.seats, resume.save.peers);
  if (const int failure = bind_ports(server, resumed); failure >= 0) return failure;
  const int watch_failure =
      watch_start(server.watch.get(), options, match, resumed, options.resume ? &mark : nullptr);
  if (watch_failure >= 0) return watch_failure;
  operator_listen(server.hand, options, server.watch.get(), match.human_count);
  // A resumed match goes on with the clients the operator asks for, the
  // others taking their slots as they come back (--rejoin).
  const int32_t wanted = resumed != nullptr && options.resume_wait > 0
                             ? std::min(options.resume_wait, match.human_count)
                             : match.human_count;
  if (server.hand != nullptr) server.hand->waiting_for = wanted;
  if (!run_handshake(server, wanted)) {
    return end_match(server, progress, EXIT_MATCH_OVER, EndReason::Stopped, console_stop_asked());
  }
  keep_listening(server.lobby, server.seats, options);
  // Read again so that route changes made while the clients connected count.
  if (match.bot_count != 0 && resumed == nullptr) {
    read_bot_routes_or_say_so(match, bot_route_path(options, server.start));
  }
  begin_match(match, progress, resumed);
  watch_match_set_up(server.watch.get(), match, server.seats, options.rejoin);
  if (resumed != nullptr) carry_resumed_match(server.watch.get(), resume, mark);
  if (server.hand != nullptr) operator_begin(*server.hand, server.walker, progress.turns_played);
  if (match.human_count > 0 && server.seats.left == 0) {
    return end_match(server, progress, EXIT_PROTOCOL_BREAK, EndReason::NoClientLeft,
                     "no human client is left");
  }
  return run_turns(server, progress);
}
