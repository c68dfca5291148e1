// zolt_exchange_bench: how fast the server trades messages, against the
// floor that loopback TCP sets on this machine.
//
// Every message is a round trip, so the floor is a responder that answers
// every message with ACK and does nothing else (zolt-pong). For each match
// size the same load generator (the client code of net/client.h, one thread,
// the clients served in player order as the server serves them) plays the
// same number of round trips against the responder and against the real
// server, alternately, and the best run of each counts. Reported per size:
// the server's message rate as a ratio to the floor's, its CPU time per
// 100,000 messages and peak resident memory, the resident memory after the
// warm-up turns and at the end, and the time per turn beside the round trips
// a turn takes, H x (4P+7).
//
// A second part runs the server's own turn loop in this process and counts
// the allocations it makes once the match is under way.
//
// Both parts take TCP port 2000 on 127.0.0.1 while they run.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/allocation_count.h"
#include "net/client.h"
#include "net/protocol.h"
#include "net/socket.h"
#include "server/match.h"
#include "server/match_driver.h"

#ifndef ZOLT_SERVER_BINARY
#error "ZOLT_SERVER_BINARY must name the built server"
#endif
#ifndef ZOLT_PONG_BINARY
#error "ZOLT_PONG_BINARY must name the built responder"
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct MatchSize {
  int32_t humans;
  int32_t bots;
};

struct Settings {
  uint64_t round_trips = 40000;  // per run, at least
  // Other work on the machine slows single runs down; the best of several
  // short runs, alternating between the targets, comes closest to each.
  int rounds = 5;
  std::vector<MatchSize> sizes = {{1, 0}, {1, 8}, {4, 8}, {16, 16}, {64, 64}};
};

constexpr int WARMUP_TURNS = 2;  // the first turn reads the start position file
constexpr int MIN_TURNS = 2;

enum class Target { Floor, Server };

struct Run {
  bool ok = false;
  std::string error;
  double seconds = 0;      // the measured turns
  uint64_t messages = 0;   // both ways, whole life of the target process
  double cpu_seconds = 0;  // user + system of the target process
  long peak_rss_kb = 0;    // VmHWM just before the clients left
  long rss_warm_kb = 0;    // VmRSS after the warm-up turns
  long rss_end_kb = 0;     // VmRSS after the measured turns
};

// The machine's load average over the last minute, as /proc shows it.
std::string load_average() {
  std::ifstream file("/proc/loadavg");
  std::string one_minute;
  file >> one_minute;
  return one_minute.empty() ? "?" : one_minute;
}

int32_t players(const MatchSize& size) {
  return size.humans + size.bots;
}

uint64_t round_trips_per_turn(const MatchSize& size) {
  return static_cast<uint64_t>(size.humans) *
         static_cast<uint64_t>(exchange_messages(players(size), false));
}

int64_t measured_turns(const Settings& settings, const MatchSize& size) {
  const uint64_t per_turn = round_trips_per_turn(size);
  return std::max<int64_t>(MIN_TURNS,
                           static_cast<int64_t>((settings.round_trips + per_turn - 1) / per_turn));
}

long proc_status_kb(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0)
      return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  }
  return -1;
}

// A closed loop of 8 steps around a square for bot b, so the bots keep
// walking and turning for the whole run.
void square_route(int32_t b, RouteRow* xs, RouteRow* ys) {
  const int32_t x0 = 100 + 40 * b, y0 = 100 + 30 * b;
  *xs = {x0, x0 + 60, x0 + 120, x0 + 120, x0 + 120, x0 + 60, x0, x0, x0, 0};
  *ys = {y0, y0, y0, y0 + 60, y0 + 120, y0 + 120, y0 + 120, y0 + 60, y0, 0};
}

std::string bot_routes(int32_t bots) {
  std::string text;
  for (int32_t b = 0; b < bots; ++b) {
    RouteRow xs, ys;
    square_route(b, &xs, &ys);
    for (const RouteRow* row : {&xs, &ys}) {
      for (int i = 0; i < ROUTE_VALUES; ++i) text += std::to_string((*row)[size_t(i)]) + " ";
      text += "\n";
    }
  }
  return text;
}

std::string start_positions(int32_t humans) {
  std::string text;
  for (int32_t q = 0; q < humans; ++q) text += std::to_string(200 + 10 * q) + " ";
  text += "\n";
  for (int32_t q = 0; q < humans; ++q) text += std::to_string(300 + 10 * q) + " ";
  return text + "\n";
}

// Starts argv in workdir with input on its standard input (then closed) and
// its output thrown away.
pid_t spawn(const std::vector<std::string>& args, const std::string& workdir,
            const std::string& input) {
  int in_pipe[2];
  if (pipe(in_pipe) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    close(in_pipe[0]);
    close(in_pipe[1]);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    if (chdir(workdir.c_str()) != 0) _exit(126);
    std::vector<std::string> words = args;
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  if (!input.empty() && write(in_pipe[1], input.data(), input.size()) < 0) {
    // The child has gone already; its connection attempts will say so.
  }
  close(in_pipe[1]);
  return pid;
}

// Waits for pid (stopping it first when asked, or after timeout_ms) and adds
// its CPU time to *run.
void reap(pid_t pid, bool stop_first, int timeout_ms, Run* run) {
  if (stop_first) kill(pid, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (done < 0) return;
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run->cpu_seconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Connects, retrying while the target starts up.
bool connect_with_retry(ClientLink& link, pid_t target, std::string* err) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    err->clear();
    if (client_connect(link, "127.0.0.1", SERVER_PORT, err)) return true;
    int status = 0;
    if (waitpid(target, &status, WNOHANG) == target) {
      *err = "the target process ended before it took connections";
      return false;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TurnReport report_for(int32_t q, int64_t turn) {
  TurnReport report;
  report.x = 200 + 10 * q;
  report.y = 300 + static_cast<int32_t>(turn % 1000) + 1;
  report.heading = 2700;
  return report;
}

Run run_target(Target target, const MatchSize& size, int64_t turns, const std::string& workdir) {
  Run run;
  const pid_t pid =
      target == Target::Server
          ? spawn({ZOLT_SERVER_BINARY, "localhost"}, workdir,
                  std::to_string(size.humans) + "\n" + std::to_string(size.bots) + "\n0\n")
          : spawn({ZOLT_PONG_BINARY}, workdir, "");
  if (pid < 0) {
    run.error = "cannot start the target process";
    return run;
  }
  const int32_t player_count = players(size);
  std::vector<ClientLink> links(static_cast<size_t>(size.humans));
  std::vector<TurnView> views(links.size());
  std::string err;
  bool ok = true;
  for (size_t q = 0; q < links.size() && ok; ++q) {
    ok = (q == 0 ? connect_with_retry(links[q], pid, &err)
                 : client_connect(links[q], "127.0.0.1", SERVER_PORT, &err));
    if (ok) client_join(links[q]);
  }
  for (size_t q = 0; q < links.size() && ok; ++q) {
    int32_t index = 0, map = 0;
    client_learn(links[q], &index, &map);
    ok = !links[q].closed;
    if (!ok) err = "the target closed a connection in the handshake";
  }
  auto play = [&](int64_t from, int64_t to) {
    for (int64_t turn = from; turn < to && ok; ++turn) {
      for (size_t q = 0; q < links.size() && ok; ++q) {
        ok = client_turn(links[q], report_for(static_cast<int32_t>(q), turn), player_count,
                         views[q]);
        if (!ok) err = "the target closed a connection in turn " + std::to_string(turn);
      }
    }
  };
  play(0, WARMUP_TURNS);
  run.rss_warm_kb = proc_status_kb(pid, "VmRSS:");
  const auto start = Clock::now();
  play(WARMUP_TURNS, WARMUP_TURNS + turns);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.rss_end_kb = proc_status_kb(pid, "VmRSS:");
  run.peak_rss_kb = proc_status_kb(pid, "VmHWM:");
  for (ClientLink& link : links) {
    run.messages += link.sent + link.received;
    socket_close(link.socket);
  }
  // The server ends by itself once its clients are gone (a protocol break);
  // the responder runs until it is stopped.
  reap(pid, target == Target::Floor, 10000, &run);
  run.ok = ok;
  run.error = err;
  return run;
}

// The server's turn loop in this process, over real loopback connections,
// with the match already past its first turn (so no start position file is
// read). Returns the operator new calls made by the server's thread while it
// played `turns` turns, or -1 when the setup failed.
int64_t turn_loop_allocations(const MatchSize& size, int64_t turns) {
  std::string err;
  const SocketHandle listener = socket_bind_any(SERVER_PORT, &err);
  // A port that another process holds would leave the accepts below waiting
  // for ever.
  if (listener == INVALID_SOCKET_HANDLE || !err.empty() ||
      !socket_listen(listener, LISTEN_BACKLOG, &err)) {
    std::fprintf(stderr, "exchange_bench: %s\n", err.c_str());
    socket_close(listener);
    return -1;
  }
  Match match;
  match.human_count = size.humans;
  match.bot_count = size.bots;
  create_route_tables(match);
  for (int32_t b = 0; b < size.bots; ++b) {
    square_route(b, &match.route_x[static_cast<size_t>(b)], &match.route_y[static_cast<size_t>(b)]);
  }
  create_client_table(match);

  // The clients play `turns` turns and then break the protocol, which is how
  // the server's turn loop ends.
  std::thread clients([&] {
    std::vector<ClientLink> links(static_cast<size_t>(size.humans));
    std::string connect_err;
    for (ClientLink& link : links) client_connect(link, "127.0.0.1", SERVER_PORT, &connect_err);
    std::vector<TurnView> views(links.size());
    for (int64_t turn = 0; turn < turns; ++turn) {
      for (size_t q = 0; q < links.size(); ++q) {
        client_turn(links[q], report_for(static_cast<int32_t>(q), turn), players(size), views[q]);
      }
    }
    TurnReport breaking;
    breaking.relay_a_reply = ACK - 1;
    client_turn(links[0], breaking, players(size), views[0]);
    for (ClientLink& link : links) socket_close(link.socket);
  });
  for (SocketHandle& client : match.client_socket) client = socket_accept(listener);
  set_up_tables(match);
  match.turn_count = 2;

  reset_counted_allocations();
  count_this_thread_allocations(true);
  const int code = run_turns(match);
  count_this_thread_allocations(false);
  clients.join();
  for (SocketHandle client : match.client_socket) socket_close(client);
  socket_close(listener);
  return code == EXIT_PROTOCOL_BREAK ? static_cast<int64_t>(counted_allocations()) : -1;
}

bool usage() {
  std::fprintf(stderr,
               "usage: zolt_exchange_bench [--quick] [--round-trips N] [--rounds R]"
               " [--sizes H/B,H/B...]\n");
  return false;
}

bool parse_settings(int argc, char** argv, Settings* settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      // A smoke run: does everything once, quickly; its figures mean little.
      settings->round_trips = 2000;
      settings->rounds = 1;
      settings->sizes = {{1, 0}, {2, 2}};
    } else if (arg == "--round-trips" && i + 1 < argc) {
      settings->round_trips = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--sizes" && i + 1 < argc) {
      // "H/B,H/B,...": humans and bots of each match size.
      settings->sizes.clear();
      const char* text = argv[++i];
      while (*text != '\0') {
        char* end = nullptr;
        MatchSize size{static_cast<int32_t>(std::strtol(text, &end, 10)), 0};
        if (*end != '/') return usage();
        size.bots = static_cast<int32_t>(std::strtol(end + 1, &end, 10));
        if (size.humans < 1 || size.humans > 500 || size.bots < 0 || size.bots > 10000) {
          return usage();
        }
        settings->sizes.push_back(size);
        text = *end == ',' ? end + 1 : end;
        if (*end != ',' && *end != '\0') return usage();
      }
    } else if (arg == "--rounds" && i + 1 < argc) {
      settings->rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: zolt_exchange_bench [--quick] [--round-trips N] [--rounds R]\n");
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!parse_settings(argc, argv, &settings)) return 2;
  std::string err;
  socket_startup(&err);

  const std::filesystem::path workdir =
      std::filesystem::temp_directory_path() / ("zolt-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(workdir);

  std::printf("Exchange benchmark: 127.0.0.1:%u, best of %d runs per target, at least %" PRIu64
              " round trips per run after %d warm-up turns; load average %s.\n\n",
              unsigned{SERVER_PORT}, settings.rounds, settings.round_trips, WARMUP_TURNS,
              load_average().c_str());
  std::printf("%-7s %6s %11s %12s %12s %6s %13s %13s %9s %15s %11s %11s %8s\n", "H/B", "turns",
              "round trips", "floor msg/s", "server msg/s", "ratio", "server CPU", "floor CPU",
              "peak RSS", "RSS warm->end", "turn time", "H x (4P+7)", "us/trip");
  std::printf("%-7s %6s %11s %12s %12s %6s %13s %13s %9s %15s %11s %11s %8s\n", "", "", "", "", "",
              "", "per 100k msg", "per 100k msg", "kB", "kB", "us", "", "");
  int status = 0;
  for (const MatchSize& size : settings.sizes) {
    {
      std::ofstream(workdir / "bot.txt") << bot_routes(size.bots);
      std::ofstream(workdir / "dept0.txt") << start_positions(size.humans);
    }
    const int64_t turns = measured_turns(settings, size);
    Run best_floor, best_server;
    for (int round = 0; round < settings.rounds; ++round) {
      const Run floor_run = run_target(Target::Floor, size, turns, workdir.string());
      const Run server_run = run_target(Target::Server, size, turns, workdir.string());
      for (const Run* run : {&floor_run, &server_run}) {
        if (!run->ok) {
          std::fprintf(stderr, "exchange_bench: %d/%d: %s\n", size.humans, size.bots,
                       run->error.c_str());
          status = 1;
        }
      }
      if (!best_floor.ok || (floor_run.ok && floor_run.seconds < best_floor.seconds)) {
        best_floor = floor_run;
      }
      if (!best_server.ok || (server_run.ok && server_run.seconds < best_server.seconds)) {
        best_server = server_run;
      }
    }
    if (!best_floor.ok || !best_server.ok) continue;
    const uint64_t trips = static_cast<uint64_t>(turns) * round_trips_per_turn(size);
    const double floor_rate = 2.0 * double(trips) / best_floor.seconds;
    const double server_rate = 2.0 * double(trips) / best_server.seconds;
    char label[16], rss[32];
    std::snprintf(label, sizeof label, "%d/%d", size.humans, size.bots);
    std::snprintf(rss, sizeof rss, "%ld->%ld", best_server.rss_warm_kb, best_server.rss_end_kb);
    std::printf("%-7s %6" PRId64 " %11" PRIu64
                " %12.0f %12.0f %6.3f %11.1fms %11.1fms %9ld %15s"
                " %11.1f %11" PRIu64 " %8.2f\n",
                label, turns, trips, floor_rate, server_rate, server_rate / floor_rate,
                1e3 * best_server.cpu_seconds * 1e5 / double(best_server.messages),
                1e3 * best_floor.cpu_seconds * 1e5 / double(best_floor.messages),
                best_server.peak_rss_kb, rss, 1e6 * best_server.seconds / double(turns),
                round_trips_per_turn(size), 1e6 * best_server.seconds / double(trips));
    std::fflush(stdout);
  }

  std::printf("Load average at the end: %s.\n", load_average().c_str());
  std::printf(
      "\nThe server's turn loop in this process: operator new calls after the first turn\n");
  for (const MatchSize& size : settings.sizes) {
    const int64_t long_turns =
        2 + std::max<int64_t>(4, 20000 / static_cast<int64_t>(round_trips_per_turn(size)));
    const int64_t short_run = turn_loop_allocations(size, 2);
    const int64_t long_run = turn_loop_allocations(size, long_turns);
    std::printf("%d/%d: %" PRId64 " in 2 turns, %" PRId64 " in %" PRId64 " turns\n", size.humans,
                size.bots, short_run, long_run, long_turns);
    if (short_run < 0 || long_run < 0) status = 1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(workdir, ignored);
  return status;
}
