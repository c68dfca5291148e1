// zolt_exchange_bench: how fast the server trades messages, against the
// floor that loopback TCP sets on this machine.
//
// Every message is a round trip, so the floor is a responder that answers
// every message with ACK and does nothing else (zolt-pong). For each match
// size both run side by side: the same load generator (the client code of
// net/client.h, one thread, the clients served in player order as the server
// serves them) plays the same turns against each, in bursts of about 5000
// round trips that alternate between the two, so that whatever else the
// machine does weighs on both alike; the median of the bursts' ratios is the
// headline. Reported per size: the server's message rate as a ratio to the
// floor's, the CPU time per 100,000 messages of both, the server's peak
// resident memory and its resident memory after the warm-up turns and at the
// end, and the time per turn beside the round trips a turn takes, H x (4P+7).
//
// A second part runs the server's own turn loop in this process and counts
// the allocations it makes once the match is under way.
//
// The server takes TCP port 2000 on 127.0.0.1 while the benchmark runs; the
// responder takes a port the system picks.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/allocation_count.h"
#include "console/log.h"
#include "match/match.h"
#include "net/client.h"
#include "net/protocol.h"
#include "net/query.h"
#include "net/socket.h"
#include "server/match_driver.h"
#include "tests/spawn.h"

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
  uint64_t round_trips = 100000;      // per target and size, at least
  uint64_t burst_round_trips = 5000;  // per burst, about
  std::vector<MatchSize> sizes = {{1, 0}, {1, 8}, {4, 8}, {16, 16}, {64, 64}};
  // --watch: the server records every turn and serves its live view, with
  // one page open on it (a poller asking /view.json as often as the page does).
  bool watch = false;
  // --record: the server only records every turn (--record FILE), as a
  // match that may be resumed does.
  bool record = false;
  // --rcon: the server runs with its remote console open (and idle).
  bool rcon = false;
  // --query: the server answers the server query, asked by many sources at
  // once beside the match (query_like_a_crowd).
  bool query = false;
  // --lan: the emulated LAN instead, one at a time against at once.
  bool lan = false;
  std::vector<std::chrono::microseconds> lan_delays = {std::chrono::microseconds(500),
                                                       std::chrono::microseconds(2000)};
  std::vector<MatchSize> lan_sizes = {{2, 1}, {4, 2}, {8, 4}, {16, 8}, {64, 32}};
  int64_t lan_turns = 20;
};

constexpr uint16_t VIEW_PORT = 2080;
constexpr uint16_t LAN_PORT = 2002;
constexpr int PAGE_POLL_MS = 150;  // the page's pace

// Asks /view.json on the view's port as the page does, until stop is set.
// Returns the answers that were whole.
void poll_like_a_page(const std::atomic<bool>& stop, uint64_t* answers) {
  const std::string request = "GET /view.json HTTP/1.1\r\nHost: b\r\n\r\n";
  std::string err;
  SocketHandle s = INVALID_SOCKET_HANDLE;
  char buffer[65536];
  while (!stop) {
    if (s == INVALID_SOCKET_HANDLE) s = socket_connect("127.0.0.1", VIEW_PORT, &err);
    if (s != INVALID_SOCKET_HANDLE) {
      socket_send(s, request.data(), request.size());
      bool timed_out = false;
      // The answers are small: one receive holds the whole of one.
      if (socket_recv(s, buffer, sizeof buffer, &timed_out) == 0) {
        socket_close(s);
        s = INVALID_SOCKET_HANDLE;
      } else {
        ++*answers;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(PAGE_POLL_MS));
  }
  socket_close(s);
}

// The querying crowd: QUERY_SOURCES_ASKING sources, each a UDP socket on an
// address of its own in 127.1.0.0/16 (all of 127/8 is this machine's, so
// many senders need no raw socket), together sending QUERY_DATAGRAMS_PER_TICK
// requests every QUERY_TICK_MS: 4000 a second, four times what the server
// answers in all, so that its budgets, not the crowd, set the answers.
constexpr int QUERY_SOURCES_ASKING = 256;
constexpr int QUERY_DATAGRAMS_PER_TICK = 40;
constexpr int QUERY_TICK_MS = 10;

struct QueryCrowdCount {
  uint64_t sent = 0, challenges = 0, answers = 0;
};

// Asks the server's query on port as a crowd of browsers does, until stop
// is set: each source asks for INFO, PLAYER and RULES in turn, with the
// last challenge it was given (none at first), and keeps the new one when
// one comes back. Returns the counts in *count.
void query_like_a_crowd(const std::atomic<bool>& stop, uint16_t port, QueryCrowdCount* count) {
  struct Source {
    SocketHandle socket = INVALID_SOCKET_HANDLE;
    uint32_t challenge = QUERY_NO_CHALLENGE;
  };
  std::vector<Source> sources;
  std::vector<SocketWait> waits;
  std::string err;
  for (int i = 0; i < QUERY_SOURCES_ASKING; ++i) {
    const std::string address =
        "127.1." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
    SocketHandle s = socket_bind_datagram(address.c_str(), 0, false, &err);
    // A system whose loopback has 127.0.0.1 alone: ports of their own, then,
    // which the server counts as one source.
    if (s == INVALID_SOCKET_HANDLE) s = socket_bind_datagram("127.0.0.1", 0, false, &err);
    if (s == INVALID_SOCKET_HANDLE) continue;
    socket_set_blocking(s, false);
    sources.push_back({s, QUERY_NO_CHALLENGE});
    waits.push_back({s, false});
  }
  if (sources.empty()) {
    std::fprintf(stderr, "exchange_bench: no querying source: %s\n", err.c_str());
    return;
  }
  const DatagramPeer server{0x7F000001u, port};
  constexpr QueryKind kinds[] = {QueryKind::Info, QueryKind::Players, QueryKind::Rules};
  uint64_t next = 0;
  auto tick = Clock::now();
  uint8_t buffer[QUERY_PACKET_SIZE];
  while (!stop) {
    for (int d = 0; d < QUERY_DATAGRAMS_PER_TICK; ++d, ++next) {
      Source& source = sources[next % sources.size()];
      const std::vector<uint8_t> ask =
          query_write_request(kinds[(next / sources.size()) % 3], source.challenge);
      if (socket_send_to(source.socket, ask.data(), ask.size(), server)) ++count->sent;
    }
    // A thread that fell behind (the machine busy) goes on from now, rather
    // than catching up in one burst.
    tick = std::max(tick + std::chrono::milliseconds(QUERY_TICK_MS), Clock::now());
    // Answers until the next tick.
    for (auto now = Clock::now(); now < tick && !stop; now = Clock::now()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(tick - now);
      if (socket_poll(waits.data(), waits.size(), static_cast<int>(left.count()) + 1) <= 0) break;
      for (size_t i = 0; i < waits.size(); ++i) {
        if (!waits[i].ready) continue;
        DatagramPeer from;
        const long size = socket_receive_from(sources[i].socket, buffer, sizeof buffer, &from);
        if (size <= 0) continue;
        if (query_read_challenge(buffer, static_cast<size_t>(size), &sources[i].challenge)) {
          ++count->challenges;
        } else {
          ++count->answers;
        }
      }
    }
  }
  for (const Source& source : sources) socket_close(source.socket);
}

constexpr int WARMUP_TURNS = 2;  // the first turn reads the start position file
constexpr int MIN_TURNS = 4;
constexpr int LAN_WARMUP_TURNS = 1;

// A target process and the load generator's clients connected to it.
struct Target {
  pid_t pid = -1;
  uint16_t port = 0;
  std::vector<ClientLink> links;
  std::vector<TurnView> views;
  int64_t next_turn = 0;
  size_t next_client = 0;
  std::string error;                  // empty while all goes well
  double seconds = 0;                 // the measured turns
  std::vector<double> burst_seconds;  // each burst of them
  // Known once it has ended:
  uint64_t messages = 0;   // both ways, whole life of the process
  double cpu_seconds = 0;  // user + system, whole life of the process
  long rss_warm_kb = 0;    // VmRSS after the warm-up turns
  long rss_end_kb = 0;     // VmRSS after the measured turns
  long peak_rss_kb = 0;    // VmHWM after the measured turns
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
    if (line.rfind(field, 0) == 0) {
      return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    }
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

// Starts args in workdir with input on its standard input (then closed).
// Its standard output goes to *output when that is given, else nowhere.
pid_t spawn(const std::vector<std::string>& args, const std::string& workdir,
            const std::string& input, int* output) {
  int in_pipe[2], out_pipe[2] = {-1, -1};
  if (pipe(in_pipe) != 0 || (output != nullptr && pipe(out_pipe) != 0)) return -1;
  SpawnSettings spawn;
  spawn.workdir = workdir;
  spawn.in = in_pipe[0];
  spawn.out = out_pipe[1];
  const pid_t pid = spawn_process(args, spawn);
  close(in_pipe[0]);
  if (!input.empty() && write(in_pipe[1], input.data(), input.size()) < 0) {
    // The child has gone already; connecting to it will say so.
  }
  close(in_pipe[1]);
  if (output != nullptr) {
    close(out_pipe[1]);
    *output = out_pipe[0];
  }
  return pid;
}

// The responder prints "port N" once it listens.
uint16_t read_port(int fd) {
  std::string text;
  pollfd ready{fd, POLLIN, 0};
  char buffer[64];
  while (text.find('\n') == std::string::npos && poll(&ready, 1, 10000) > 0) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  const long port = text.rfind("port ", 0) == 0 ? std::strtol(text.c_str() + 5, nullptr, 10) : 0;
  return port > 0 && port < 65536 ? static_cast<uint16_t>(port) : 0;
}

// Connects, retrying while the target starts up.
bool connect_with_retry(ClientLink& link, const Target& target, std::string* err) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    err->clear();
    if (client_connect(link, "127.0.0.1", target.port, err)) return true;
    int status = 0;
    if (waitpid(target.pid, &status, WNOHANG) == target.pid) {
      *err = "the target process ended before it took connections";
      return false;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Connects the clients one after the other and goes through the handshake,
// as the players' programs do.
void join(Target& target, const MatchSize& size) {
  target.links.resize(static_cast<size_t>(size.humans));
  target.views.resize(target.links.size());
  std::string err;
  for (size_t q = 0; q < target.links.size(); ++q) {
    const bool connected = q == 0 ? connect_with_retry(target.links[q], target, &err)
                                  : client_connect(target.links[q], "127.0.0.1", target.port, &err);
    if (!connected) {
      target.error = err;
      return;
    }
    client_join(target.links[q]);
  }
  for (ClientLink& link : target.links) {
    int32_t index = 0, map = 0;
    client_learn(link, &index, &map);
    if (link.closed) target.error = "a connection closed in the handshake";
  }
}

TurnReport report_for(int32_t q, int64_t turn) {
  TurnReport report;
  report.x = 200 + 10 * q;
  report.y = 300 + static_cast<int32_t>(turn % 1000) + 1;
  report.heading = 2700;
  return report;
}

// Plays the next `exchanges` client exchanges, going on from where the last
// call stopped; with `timed` their time counts.
void play(Target& target, const MatchSize& size, int64_t exchanges, bool timed) {
  const auto start = Clock::now();
  for (int64_t e = 0; e < exchanges && target.error.empty(); ++e) {
    const size_t q = target.next_client;
    if (!client_turn(target.links[q], report_for(static_cast<int32_t>(q), target.next_turn),
                     players(size), target.views[q])) {
      target.error = "a connection closed in turn " + std::to_string(target.next_turn);
    }
    if (++target.next_client == target.links.size()) {
      target.next_client = 0;
      ++target.next_turn;
    }
  }
  if (!timed) return;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  target.seconds += seconds;
  target.burst_seconds.push_back(seconds);
}

// Lets the clients go and waits for the process to end (stopping it first
// when asked, or after 10 s), taking its figures.
void finish(Target& target, bool stop_first) {
  target.rss_end_kb = proc_status_kb(target.pid, "VmRSS:");
  target.peak_rss_kb = proc_status_kb(target.pid, "VmHWM:");
  for (ClientLink& link : target.links) {
    target.messages += link.sent + link.received;
    socket_close(link.socket);
  }
  if (stop_first) kill(target.pid, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = wait4(target.pid, &status, WNOHANG, &usage);
    if (done == target.pid || done < 0) break;
    if (Clock::now() >= deadline) {
      kill(target.pid, SIGKILL);
      wait4(target.pid, &status, 0, &usage);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  target.cpu_seconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs one match size against both targets; false when either failed. The
// median ratio goes to *median when given.
bool measure(const Settings& settings, const MatchSize& size, const std::string& workdir,
             double* median_out = nullptr) {
  std::ofstream(workdir + "/bot.txt") << bot_routes(size.bots);
  std::ofstream(workdir + "/dept0.txt") << start_positions(size.humans);
  Target floor, server;
  int port_output = -1;
  floor.pid = spawn({ZOLT_PONG_BINARY, "0"}, workdir, "", &port_output);
  floor.port = floor.pid > 0 ? read_port(port_output) : 0;
  std::vector<std::string> server_args = {ZOLT_SERVER_BINARY, "localhost"};
  if (settings.watch) {
    server_args.insert(server_args.end(), {"--http", "127.0.0.1:" + std::to_string(VIEW_PORT),
                                           "--record", workdir + "/match.jsonl", "--quiet"});
  } else if (settings.record) {
    std::filesystem::remove(workdir + "/match.jsonl");
    server_args.insert(server_args.end(), {"--record", workdir + "/match.jsonl", "--quiet"});
  }
  if (settings.rcon) {
    setenv("ZOLT_RCON_PASSWORD", "an-idle-console-password", 1);
    server_args.insert(server_args.end(), {"--rcon", "127.0.0.1:" + std::to_string(VIEW_PORT + 1)});
  }
  if (settings.query) server_args.push_back("--query");
  server.pid =
      spawn(server_args, workdir,
            std::to_string(size.humans) + "\n" + std::to_string(size.bots) + "\n0\n", nullptr);
  std::atomic<bool> stop_page{false};
  uint64_t page_answers = 0;
  std::thread page;
  if (settings.watch) page = std::thread(poll_like_a_page, std::cref(stop_page), &page_answers);
  QueryCrowdCount crowd;
  std::thread querying;
  if (settings.query) {
    querying = std::thread(query_like_a_crowd, std::cref(stop_page), SERVER_PORT, &crowd);
  }
  server.port = SERVER_PORT;
  if (floor.port == 0) floor.error = "the responder did not say its port";
  if (floor.error.empty()) join(floor, size);
  if (server.pid > 0) join(server, size);
  for (Target* target : {&floor, &server}) {
    play(*target, size, int64_t{WARMUP_TURNS} * size.humans, false);
    target->rss_warm_kb = proc_status_kb(target->pid, "VmRSS:");
  }
  // Client exchanges in bursts, the order of the two targets swapped at each
  // burst. Each pair of bursts, one right after the other, gives a ratio;
  // their median is what a load that comes and goes moves least.
  const int64_t turns = measured_turns(settings, size);
  const int64_t exchanges = turns * size.humans;
  const int64_t per_burst = std::max<int64_t>(1, static_cast<int64_t>(settings.burst_round_trips) /
                                                     exchange_messages(players(size), false));
  for (int64_t done = 0, i = 0; done < exchanges; done += per_burst, ++i) {
    const int64_t burst = std::min(per_burst, exchanges - done);
    for (Target* target :
         i % 2 == 0 ? std::vector{&floor, &server} : std::vector{&server, &floor}) {
      play(*target, size, burst, true);
    }
  }
  stop_page = true;
  if (page.joinable()) page.join();
  if (querying.joinable()) querying.join();
  finish(floor, true);
  finish(server, false);  // it ends by itself once its clients have gone
  for (const Target* target : {&floor, &server}) {
    if (!target->error.empty()) {
      std::fprintf(stderr, "exchange_bench: %d/%d, %s: %s\n", size.humans, size.bots,
                   target == &floor ? "responder" : "server", target->error.c_str());
      return false;
    }
  }

  const uint64_t trips = static_cast<uint64_t>(turns) * round_trips_per_turn(size);
  const double floor_rate = 2.0 * double(trips) / floor.seconds;
  const double server_rate = 2.0 * double(trips) / server.seconds;
  std::vector<double> ratios;
  for (size_t i = 0; i < server.burst_seconds.size(); ++i) {
    ratios.push_back(floor.burst_seconds[i] / server.burst_seconds[i]);
  }
  std::sort(ratios.begin(), ratios.end());
  const size_t n = ratios.size();
  const double median = n % 2 == 1 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
  if (median_out != nullptr) *median_out = median;
  char label[16], rss[32];
  std::snprintf(label, sizeof label, "%d/%d", size.humans, size.bots);
  std::snprintf(rss, sizeof rss, "%ld->%ld", server.rss_warm_kb, server.rss_end_kb);
  std::printf("%-7s %6" PRId64 " %11" PRIu64
              " %12.0f %12.0f %6.3f %6.3f %11.1fms %11.1fms %9ld %15s"
              " %11.1f %11" PRIu64 " %8.2f\n",
              label, turns, trips, floor_rate, server_rate, median, server_rate / floor_rate,
              1e3 * server.cpu_seconds * 1e5 / double(server.messages),
              1e3 * floor.cpu_seconds * 1e5 / double(floor.messages), server.peak_rss_kb, rss,
              1e6 * server.seconds / double(turns), round_trips_per_turn(size),
              1e6 * server.seconds / double(trips));
  if (settings.watch) std::printf("        the page had %" PRIu64 " answers\n", page_answers);
  if (settings.query) {
    std::printf("        the query: %" PRIu64 " requests sent, %" PRIu64 " challenges and %" PRIu64
                " answers back\n",
                crowd.sent, crowd.challenges, crowd.answers);
  }
  std::fflush(stdout);
  return true;
}

// The server's turn loop in this process, over real loopback connections,
// with the match already past its first turn (so no start position file is
// read). Returns the operator new calls made by the server's thread while it
// played `turns` turns, or -1 when the setup failed.
int64_t turn_loop_allocations(const MatchSize& size, int64_t turns, bool watch, bool at_once,
                              const std::string& workdir) {
  std::string err;
  const SocketHandle listener = socket_bind(nullptr, SERVER_PORT, &err);
  // A port that another process holds would leave the accepts below waiting
  // for ever.
  if (listener == INVALID_SOCKET_HANDLE || !err.empty() ||
      !socket_listen(listener, LISTEN_BACKLOG, &err)) {
    std::fprintf(stderr, "exchange_bench: %s\n", err.c_str());
    socket_close(listener);
    return -1;
  }
  const auto server = std::make_unique<Server>();
  Match& match = server->match;
  match.human_count = size.humans;
  match.bot_count = size.bots;
  create_route_tables(match);
  for (int32_t b = 0; b < size.bots; ++b) {
    square_route(b, &match.route_x[static_cast<size_t>(b)], &match.route_y[static_cast<size_t>(b)]);
  }
  create_client_table(match);
  server->options.concurrent = at_once;
  if (watch) {
    server->options.http_address = "127.0.0.1";
    server->options.http_port = VIEW_PORT;
    server->options.record_file = workdir + "/loop.jsonl";
  }
  set_up_seats(*server);

  // The clients play `turns` turns and then break the protocol, which is how
  // the server's turn loop ends.
  std::thread clients([&] {
    std::vector<ClientLink> links(static_cast<size_t>(size.humans));
    std::string connect_err;
    for (ClientLink& link : links) client_connect(link, "127.0.0.1", SERVER_PORT, &connect_err);
    std::vector<TurnView> views(links.size());
    // Served at once, no client is answered before all have reported: each
    // plays on a thread of its own.
    const auto play_turns = [&](size_t q) {
      for (int64_t turn = 0; turn < turns; ++turn) {
        client_turn(links[q], report_for(static_cast<int32_t>(q), turn), players(size), views[q]);
      }
    };
    if (at_once) {
      std::vector<std::thread> each;
      for (size_t q = 0; q < links.size(); ++q) each.emplace_back(play_turns, q);
      for (std::thread& thread : each) thread.join();
    } else {
      for (int64_t turn = 0; turn < turns; ++turn) {
        for (size_t q = 0; q < links.size(); ++q) {
          client_turn(links[q], report_for(static_cast<int32_t>(q), turn), players(size), views[q]);
        }
      }
    }
    // One at a time, client 0 breaks the protocol; at once, the clients
    // leave, which breaks it at the reply to relay_a all the same.
    TurnReport breaking;
    breaking.relay_a_reply = ACK - 1;
    if (!at_once) client_turn(links[0], breaking, players(size), views[0]);
    for (ClientLink& link : links) socket_close(link.socket);
  });
  for (Seat& seat : server->seats.seat) {
    seat_open(seat, socket_accept(listener), server->rules);
    if (at_once) seat.nonblocking = socket_set_blocking(seat.socket, false);
  }
  set_up_tables(match);
  match.turn_count = 2;
  std::atomic<bool> stop_page{false};
  uint64_t page_answers = 0;
  std::thread page;
  if (watch) {
    if (watch_open_view(server->watch, server->options, server->match, nullptr) >= 0 ||
        watch_start(server->watch.get(), server->options, server->match, nullptr, nullptr) >= 0)
      return -1;
    watch_match_set_up(server->watch.get(), server->match, server->seats, server->options.rejoin);
    page = std::thread(poll_like_a_page, std::cref(stop_page), &page_answers);
  }

  reset_counted_allocations();
  count_this_thread_allocations(true);
  MatchProgress progress;
  const int code = run_turns(*server, progress);
  count_this_thread_allocations(false);
  clients.join();
  stop_page = true;
  if (page.joinable()) page.join();
  server->watch.reset();
  for (Seat& seat : server->seats.seat) socket_close(seat.socket);
  socket_close(listener);
  return code == EXIT_PROTOCOL_BREAK ? static_cast<int64_t>(counted_allocations()) : -1;
}

// The emulated LAN: every client on a thread of its own, as on players'
// machines, each waiting `delay` before every message it sends (the round
// trip that loopback lacks). Returns the mean time of a turn after the
// warm-up, or a negative value when the match failed.
double lan_turn_seconds(const MatchSize& size, std::chrono::microseconds delay, bool at_once,
                        int64_t turns, const std::string& workdir, double* cpu_per_turn) {
  std::ofstream(workdir + "/bot.txt") << bot_routes(size.bots);
  std::ofstream(workdir + "/dept0.txt") << start_positions(size.humans);
  std::vector<std::string> args = {ZOLT_SERVER_BINARY,
                                   "localhost",
                                   "--quiet",
                                   "--port",
                                   std::to_string(LAN_PORT),
                                   "--bot-file",
                                   "bot.txt",
                                   "--humans",
                                   std::to_string(size.humans),
                                   "--bots",
                                   std::to_string(size.bots),
                                   "--map",
                                   "0"};
  if (at_once) args.push_back("--concurrent");
  Target server;
  server.pid = spawn(args, workdir, "", nullptr);
  server.port = LAN_PORT;
  server.links.resize(static_cast<size_t>(size.humans));
  std::string err;
  for (size_t q = 0; q < server.links.size(); ++q) {
    if (!(q == 0 ? connect_with_retry(server.links[q], server, &err)
                 : client_connect(server.links[q], "127.0.0.1", LAN_PORT, &err))) {
      std::fprintf(stderr, "exchange_bench: %s\n", err.c_str());
      kill(server.pid, SIGKILL);
      waitpid(server.pid, nullptr, 0);
      return -1;
    }
  }
  std::atomic<int64_t> failures{0};
  Clock::time_point measured_start, measured_end;
  std::vector<std::thread> clients;
  for (size_t q = 0; q < server.links.size(); ++q) {
    clients.emplace_back([&, q] {
      ClientLink& link = server.links[q];
      link.trace = [delay](bool outgoing, const char*, int32_t) {
        if (outgoing) std::this_thread::sleep_for(delay);
      };
      client_join(link);
      int32_t index = 0, map = 0;
      client_learn(link, &index, &map);
      TurnView view;
      for (int64_t turn = 0; turn < LAN_WARMUP_TURNS + turns; ++turn) {
        if (q == 0 && turn == LAN_WARMUP_TURNS) measured_start = Clock::now();
        if (!client_turn(link, report_for(static_cast<int32_t>(q), turn), players(size), view)) {
          ++failures;
          break;
        }
      }
      if (q == 0) measured_end = Clock::now();
    });
  }
  for (std::thread& client : clients) client.join();
  finish(server, false);
  if (failures > 0) return -1;
  *cpu_per_turn = server.cpu_seconds / static_cast<double>(LAN_WARMUP_TURNS + turns);
  return std::chrono::duration<double>(measured_end - measured_start).count() /
         static_cast<double>(turns);
}

// The turn time over one client's own exchange, (4P+7) x D, one at a time and
// at once, per match size and delay.
bool measure_lan(const Settings& settings, const std::string& workdir) {
  // Sleeps as short as asked: the default slack of 50 us would be a tenth of D.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::printf(
      "Emulated LAN on 127.0.0.1: each client, on a thread of its own, waits D before every "
      "message it sends; up to %" PRId64
      " turns measured after %d warm-up turn; load average "
      "%s.\n\n",
      settings.lan_turns, LAN_WARMUP_TURNS, load_average().c_str());
  std::printf("%-7s %6s %14s %16s %7s %16s %7s %12s\n", "H/B", "D ms", "one exchange",
              "one at a time", "ratio", "at once", "ratio", "server CPU");
  std::printf("%-7s %6s %14s %16s %7s %16s %7s %12s\n", "", "", "(4P+7) x D ms", "turn ms", "",
              "turn ms", "", "ms/turn");
  bool ok = true;
  for (const auto delay : settings.lan_delays) {
    for (const MatchSize& size : settings.lan_sizes) {
      const double exchange = double(exchange_messages(players(size), false)) *
                              std::chrono::duration<double>(delay).count();
      // One at a time takes H exchanges a turn: fewer turns keep it to seconds.
      const auto affordable = static_cast<int64_t>(8.0 / (exchange * size.humans));
      double in_turn_cpu = 0, at_once_cpu = 0;
      const double in_turn = lan_turn_seconds(
          size, delay, false, std::clamp<int64_t>(affordable, 2, settings.lan_turns), workdir,
          &in_turn_cpu);
      const double at_once =
          lan_turn_seconds(size, delay, true, settings.lan_turns, workdir, &at_once_cpu);
      ok = ok && in_turn > 0 && at_once > 0;
      char label[16];
      std::snprintf(label, sizeof label, "%d/%d", size.humans, size.bots);
      std::printf("%-7s %6.1f %14.1f %16.1f %7.2f %16.1f %7.2f %12.1f\n", label,
                  std::chrono::duration<double, std::milli>(delay).count(), 1e3 * exchange,
                  1e3 * in_turn, in_turn / exchange, 1e3 * at_once, at_once / exchange,
                  1e3 * at_once_cpu);
      std::fflush(stdout);
    }
  }
  std::printf("Load average at the end: %s.\n", load_average().c_str());
  return ok;
}

bool usage() {
  std::fprintf(
      stderr,
      "usage: zolt_exchange_bench [--watch | --record] [--rcon] [--query] [--quick] [--round-trips "
      "N] [--burst N]"
      " [--sizes H/B,H/B...]\n"
      "       zolt_exchange_bench --lan [--lan-turns N] [--lan-delay US] [--sizes H/B,...]"
      " [--quick]\n");
  return false;
}

bool parse_settings(int argc, char** argv, Settings* settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--watch") {
      settings->watch = true;
    } else if (arg == "--record") {
      settings->record = true;
    } else if (arg == "--rcon") {
      settings->rcon = true;
    } else if (arg == "--query") {
      settings->query = true;
    } else if (arg == "--lan") {
      settings->lan = true;
    } else if (arg == "--lan-delay" && i + 1 < argc) {
      settings->lan_delays = {std::chrono::microseconds(std::strtoll(argv[++i], nullptr, 10))};
    } else if (arg == "--lan-turns" && i + 1 < argc) {
      settings->lan_turns = std::max<int64_t>(1, std::strtoll(argv[++i], nullptr, 10));
    } else if (arg == "--quick") {
      // A smoke run: does everything once, quickly; its figures mean little.
      settings->round_trips = 2000;
      settings->burst_round_trips = 1000;
      settings->sizes = {{1, 0}, {2, 2}};
      settings->lan_sizes = {{2, 1}, {4, 2}};
      settings->lan_delays = {std::chrono::microseconds(500)};
      settings->lan_turns = 3;
    } else if (arg == "--round-trips" && i + 1 < argc) {
      settings->round_trips = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--burst" && i + 1 < argc) {
      settings->burst_round_trips = std::max<uint64_t>(1, std::strtoull(argv[++i], nullptr, 10));
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
        if (*end != ',' && *end != '\0') return usage();
        settings->sizes.push_back(size);
        settings->lan_sizes = settings->sizes;
        text = *end == ',' ? end + 1 : end;
      }
    } else {
      return usage();
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

  const std::string workdir =
      (std::filesystem::temp_directory_path() / ("zolt-bench-" + std::to_string(getpid())))
          .string();
  std::filesystem::create_directories(workdir);

  if (settings.lan) {
    const bool ok = measure_lan(settings, workdir);
    std::error_code ignored;
    std::filesystem::remove_all(workdir, ignored);
    return ok ? 0 : 1;
  }
  if (settings.watch) {
    std::printf(
        "The server with --http 127.0.0.1:%u and --record, one page polling /view.json "
        "every %d ms.\n",
        unsigned{VIEW_PORT}, PAGE_POLL_MS);
  } else if (settings.record) {
    std::printf("The server with --record: a line per turn, flushed to the system.\n");
  }
  if (settings.query) {
    std::printf("The server with --query, asked by %d sources at %d requests a second in all.\n",
                QUERY_SOURCES_ASKING, QUERY_DATAGRAMS_PER_TICK * 1000 / QUERY_TICK_MS);
  }
  std::printf("Exchange benchmark on 127.0.0.1: at least %" PRIu64
              " round trips per target and size, in alternating bursts of about %" PRIu64
              ", after %d warm-up turns; load average %s.\n\n",
              settings.round_trips, settings.burst_round_trips, WARMUP_TURNS,
              load_average().c_str());
  std::printf("%-7s %6s %11s %12s %12s %6s %6s %13s %13s %9s %15s %11s %11s %8s\n", "H/B", "turns",
              "round trips", "floor msg/s", "server msg/s", "ratio", "totals", "server CPU",
              "floor CPU", "peak RSS", "RSS warm->end", "turn time", "H x (4P+7)", "us/trip");
  std::printf("%-7s %6s %11s %12s %12s %6s %6s %13s %13s %9s %15s %11s %11s %8s\n", "", "", "", "",
              "", "median", "ratio", "per 100k msg", "per 100k msg", "kB", "kB", "us", "", "");
  int status = 0;
  std::vector<std::pair<double, double>> with_query;  // the medians without and with
  for (const MatchSize& size : settings.sizes) {
    if (settings.query) {
      // The baseline beside it: the same size without the option, just before.
      Settings plain = settings;
      plain.query = false;
      double without = 0, with = 0;
      if (!measure(plain, size, workdir, &without)) status = 1;
      if (!measure(settings, size, workdir, &with)) status = 1;
      with_query.emplace_back(without, with);
    } else if (!measure(settings, size, workdir)) {
      status = 1;
    }
  }
  if (settings.query) {
    std::printf("\n%-7s %20s %20s %12s\n", "H/B", "ratio, no options", "ratio, --query",
                "with/without");
    for (size_t i = 0; i < with_query.size(); ++i) {
      char label[16];
      std::snprintf(label, sizeof label, "%d/%d", settings.sizes[i].humans, settings.sizes[i].bots);
      std::printf("%-7s %20.3f %20.3f %12.3f\n", label, with_query[i].first, with_query[i].second,
                  with_query[i].second / with_query[i].first);
    }
  }
  std::printf("Load average at the end: %s.\n", load_average().c_str());

  std::printf(
      "\nThe server's turn loop in this process: operator new calls after the first turn\n");
  // Each run ends with a break that the server logs: not figures.
  std::string log_err;
  log_open("/dev/null", true, &log_err);
  for (const MatchSize& size : settings.sizes) {
    const int64_t long_turns =
        2 + std::max<int64_t>(4, 20000 / static_cast<int64_t>(round_trips_per_turn(size)));
    for (const bool at_once : {false, true}) {
      const int64_t short_run = turn_loop_allocations(size, 2, settings.watch, at_once, workdir);
      const int64_t long_run =
          turn_loop_allocations(size, long_turns, settings.watch, at_once, workdir);
      std::printf("%d/%d%s: %" PRId64 " in 2 turns, %" PRId64 " in %" PRId64 " turns\n",
                  size.humans, size.bots, at_once ? " at once" : "", short_run, long_run,
                  long_turns);
      if (short_run < 0 || long_run < 0) status = 1;
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(workdir, ignored);
  return status;
}
