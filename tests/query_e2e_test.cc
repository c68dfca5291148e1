// The server query (--query) against the real server: the tools that server
// browsers and status pages use (npm gamedig, Debian's qstat) list a match
// as its clients join, drop and come back; the challenge as raw datagrams;
// a flood of datagrams that leaves the match's bytes as they were.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/client.h"
#include "net/query.h"
#include "net/socket.h"
#include "tests/server_process.h"
#include "tests/spawn.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kRoutes =
    "360 342 300 258 240 258 300 342 360\n300 342 360 342 300 258 240 258 300\n"
    "517 483 429 388 383 417 471 512 517\n321 362 367 333 279 238 233 267 321\n";

bool holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The folder holding the npm modules the test command installs.
std::string node_modules() {
  const char* given = std::getenv("ZOLT_NODE_MODULES");
  return given != nullptr && *given != '\0' ? given : ZOLT_NODE_MODULES;
}

// Whether gamedig and qstat are here; a case without them fails where the
// test command installed them (ZOLT_NODE_REQUIRED, CI), and is skipped elsewhere.
std::string missing_tools() {
  std::string missing;
  if (std::system("node --version > /dev/null 2>&1") != 0) missing += "node ";
  if (!std::filesystem::exists(node_modules() + "/gamedig/package.json")) missing += "gamedig ";
  if (std::system("quakestat -h > /dev/null 2>&1; command -v quakestat > /dev/null") != 0) {
    missing += "qstat ";
  }
  return missing;
}

#define REQUIRE_TOOLS()                                                                   \
  do {                                                                                    \
    const std::string missing = missing_tools();                                          \
    if (!missing.empty()) {                                                               \
      if (std::getenv("ZOLT_NODE_REQUIRED") != nullptr || std::getenv("CI") != nullptr) { \
        FAIL() << "missing: " << missing;                                                 \
      }                                                                                   \
      GTEST_SKIP() << "missing: " << missing << "(tools/install-deps.sh installs them)";  \
    }                                                                                     \
  } while (false)

// Runs a tool to its end (60 s at most) and gives what it printed.
std::string run_tool(const std::vector<std::string>& args, const std::string& folder) {
  const std::string out_path = folder + "/tool.out";
  SpawnSettings settings;
  settings.out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  settings.err = settings.out;
  const pid_t pid = spawn_process(args, settings);
  ::close(settings.out);
  if (pid <= 0) return "";
  int status = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  pid_t ended = 0;
  while ((ended = waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (ended == 0) {
    ::kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return read_file(out_path);
}

std::string gamedig(uint16_t port, const std::string& folder) {
  return run_tool({"node", node_modules() + "/gamedig/bin/gamedig.js", "--type", "protocol-valve",
                   "--requestRules", "--givenPortOnly", "127.0.0.1:" + std::to_string(port)},
                  folder);
}

std::string qstat(uint16_t port, const std::string& folder) {
  return run_tool(
      {"quakestat", "-a2s", "127.0.0.1:" + std::to_string(port), "-P", "-R", "-raw", ","}, folder);
}

// A client playing turns on a thread until stopped or after last_turn.
struct Player {
  ClientLink link;
  std::atomic<int> turns{0};
  std::vector<TurnView> views;
  int32_t players = 0;

  bool connect(const char* source = nullptr) {
    std::string err;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!client_connect(link, "127.0.0.1", test_port(), &err, source)) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    bound_receives(link.socket);
    return true;
  }
  void play(const std::atomic<bool>& stop, int last_turn) {
    players = client_join(link);
    int32_t index = 0, map = 0;
    client_learn(link, &index, &map);
    TurnView view;
    view.players.resize(static_cast<size_t>(players));
    for (int turn = 1; turn <= last_turn && !stop; ++turn) {
      TurnReport report;
      report.x = 100 + turn;
      report.y = 200 + turn;
      report.heading = 900;
      if (turn % 3 == 0) {
        report.damage = 5;  // a hit on the bot: the scoreboard counts it
        report.target = players;
      }
      if (!client_turn(link, report, players, view)) return;
      views.push_back(view);
      ++turns;
    }
  }
  void close() {
    if (link.socket != INVALID_SOCKET_HANDLE) socket_close(link.socket, true);
    link.socket = INVALID_SOCKET_HANDLE;
  }
  ~Player() { close(); }
};

struct Match {
  TempDir dir;
  ServerProcess server;
  void start(std::vector<std::string> extra) {
    put_bot_route_file(dir.path(), kRoutes);
    dir.write("dept1.txt", "100 900 500 300\n100 700 40 60\n");
    std::vector<std::string> args = {"--humans", "2", "--bots", "2", "--map", "1", "--query"};
    args.insert(args.end(), extra.begin(), extra.end());
    server.start(dir.path(), args, "", true);
    ASSERT_TRUE(server.wait_until_listening()) << server.errors();
  }
};

template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The number after `key` in text (key=N, "key":"N"); -1 when absent.
long number_after(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  if (at == std::string::npos) return -1;
  return std::strtol(text.c_str() + at + key.size(), nullptr, 10);
}

class QueryScheduler : public ::testing::TestWithParam<bool> {};

TEST_P(QueryScheduler, GamedigAndQstatListTheMatchAsClientsJoinDropAndComeBack) {
  REQUIRE_TOOLS();
  Match match;
  std::vector<std::string> extra = {"--rejoin",      "--names", "Ann,Bob",  "--address-names",
                                    "127.0.0.3=Cid", "--name",  "LAN party"};
  if (GetParam()) extra.push_back("--concurrent");
  match.start(extra);
  const uint16_t port = test_port();  // the query's port is the game's
  const std::string& folder = match.dir.path();

  std::string said = gamedig(port, folder);
  EXPECT_TRUE(holds(said, "\"name\":\"LAN party\",\"map\":\"Vevoder\"")) << said;
  EXPECT_TRUE(holds(said, "\"maxplayers\":2,\"numplayers\":0")) << said;
  EXPECT_TRUE(holds(said, "\"numbots\":2")) << said;
  // The Windows build answers the same, naming its system.
  EXPECT_TRUE(holds(said, server_is_windows() ? "\"environment\":\"w\"" : "\"environment\":\"l\""))
      << said;
  EXPECT_TRUE(holds(said, "\"turn\":\"0\"")) << said;
  EXPECT_TRUE(holds(said, "\"seat_free\":\"1\"")) << said;

  Player ann, bob;
  ClientThreads threads;
  ASSERT_TRUE(ann.connect());
  threads.start([&] { ann.play(threads.stop, 1 << 30); });
  ASSERT_TRUE(match.server.wait_for_log("player 0 joined from")) << match.server.errors();
  ASSERT_TRUE(bob.connect());
  threads.start([&] { bob.play(threads.stop, 20); });
  ASSERT_TRUE(eventually([&] { return ann.turns >= 10; })) << match.server.errors();

  const int before = ann.turns;
  said = gamedig(port, folder);
  const int after = ann.turns;
  EXPECT_TRUE(holds(said, "\"maxplayers\":2,\"numplayers\":2")) << said;
  for (const char* name : {"\"name\":\"Ann\"", "\"name\":\"Bob\"", "\"name\":\"2\"",
                           "\"name\":\"3\"", "\"seat_free\":\"0\"", "\"map\":\"1\""}) {
    EXPECT_TRUE(holds(said, name)) << name << " in " << said;
  }
  // The turn the match is in, as the client saw it.
  const long turn = number_after(said, "\"turn\":\"");
  EXPECT_GE(turn, before);
  EXPECT_LE(turn, after + 1);
  // Ann hit the last bot every third turn, for 5: her score is her damage.
  EXPECT_GE(number_after(said, "\"name\":\"Ann\",\"raw\":{\"score\":"), 5 * (before / 3)) << said;

  const int before_qstat = ann.turns;
  said = qstat(port, folder);
  const int after_qstat = ann.turns;
  EXPECT_TRUE(holds(said, "A2S,127.0.0.1:" + std::to_string(port) + ",LAN party,Vevoder,2,2,"))
      << said;
  EXPECT_TRUE(holds(said, "map_name=Vevoder")) << said;
  EXPECT_TRUE(holds(said, "\nAnn,")) << said;
  EXPECT_TRUE(holds(said, "\nBob,")) << said;
  // The same turn and score in qstat's rules and players (name,score,time).
  const long qstat_turn = number_after(said, ",turn=");
  EXPECT_GE(qstat_turn, before_qstat) << said;
  EXPECT_LE(qstat_turn, after_qstat + 1) << said;
  EXPECT_GE(number_after(said, "\nAnn,"), 5 * (before_qstat / 3)) << said;

  // Bob's client goes after its 20 turns: the list drops him, a seat is free.
  ASSERT_TRUE(eventually([&] { return bob.turns >= 20; }));
  bob.close();
  ASSERT_TRUE(match.server.wait_for_log("dropped in turn")) << match.server.errors();
  said = gamedig(port, folder);
  EXPECT_TRUE(holds(said, "\"numplayers\":1")) << said;
  EXPECT_FALSE(holds(said, "\"name\":\"Bob\"")) << said;
  EXPECT_TRUE(holds(said, "\"seat_free\":\"1\"")) << said;

  // A client from 127.0.0.3 takes the slot: it is called Cid.
  Player cid;
  ASSERT_TRUE(cid.connect("127.0.0.3"));
  threads.start([&] { cid.play(threads.stop, 1 << 30); });
  ASSERT_TRUE(match.server.wait_for_log("rejoined in turn")) << match.server.errors();
  ASSERT_TRUE(eventually([&] { return cid.turns >= 2; }));
  said = qstat(port, folder);
  EXPECT_TRUE(holds(said, ",LAN party,Vevoder,2,2,")) << said;
  EXPECT_TRUE(holds(said, "\nCid,")) << said;
  EXPECT_FALSE(holds(said, "\nBob,")) << said;
  EXPECT_TRUE(holds(said, "seat_free=0")) << said;
  // A client stopped in its turn would leave the other one waiting for the
  // server (that waits for the first): both links end at once instead.
  threads.stop = true;
  socket_shutdown(ann.link.socket);
  socket_shutdown(cid.link.socket);
  threads.join_all();
  match.server.kill();
}

std::string scheduler_name(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "AllAtOnce" : "OneAfterAnother";
}

INSTANTIATE_TEST_SUITE_P(Query, QueryScheduler, ::testing::Bool(), scheduler_name);

// A UDP socket of the case's, from `source` (an address on loopback).
struct Datagrams {
  SocketHandle socket = INVALID_SOCKET_HANDLE;
  explicit Datagrams(const char* source = "127.0.0.1") {
    std::string err;
    socket = socket_bind_datagram(source, 0, false, &err);
    socket_set_receive_timeout(socket, REPLY_WAIT_MS);
  }
  ~Datagrams() { socket_close(socket); }
  void send(const std::vector<uint8_t>& bytes, uint16_t port) const {
    socket_send_to(socket, bytes.data(), bytes.size(), {0x7F000001u, port});
  }
  std::vector<uint8_t> receive() const {
    std::vector<uint8_t> buffer(2048);
    DatagramPeer from;
    const long got = socket_receive_from(socket, buffer.data(), buffer.size(), &from);
    buffer.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return buffer;
  }
};

TEST(Query, NothingButAChallengeBeforeItIsEchoedAndNothingForAWrongOne) {
  Match match;
  match.start({"--query-port", std::to_string(view_port())});
  const uint16_t port = view_port();
  Datagrams asker;
  const std::vector<uint8_t> info = query_write_request(QueryKind::Info, QUERY_NO_CHALLENGE);
  asker.send(info, port);
  std::vector<uint8_t> answer = asker.receive();
  uint32_t challenge = 0;
  ASSERT_TRUE(query_read_challenge(answer.data(), answer.size(), &challenge));
  EXPECT_LE(answer.size(), info.size());
  const std::vector<uint8_t> players = query_write_request(QueryKind::Players, QUERY_NO_CHALLENGE);
  asker.send(players, port);
  answer = asker.receive();
  EXPECT_EQ(answer.size(), players.size());  // the challenge again, no longer than the request

  // What gets nothing: each is sent before a good request, whose answer
  // must then be the first to come back (one thread reads them in order).
  const std::vector<std::vector<uint8_t>> nothing = {
      query_write_request(QueryKind::Info, challenge ^ 1),
      query_write_request(QueryKind::Rules, challenge + 1),
      {},
      {0xFF, 0xFF, 0xFF, 0xFF},
      {0xFF, 0xFF, 0xFF, 0xFF, 'U', 1, 2, 3},
      std::vector<uint8_t>(1500, 0xFF),
      {0xFF, 0xFF, 0xFF, 0xFF, 'W'},
  };
  for (const auto& datagram : nothing) asker.send(datagram, port);
  asker.send(query_write_request(QueryKind::Info, challenge), port);
  answer = asker.receive();
  QueryInfo read;
  ASSERT_TRUE(query_read_info(answer.data(), answer.size(), &read)) << answer.size() << " bytes";
  EXPECT_EQ(read.max_players, 2);
  EXPECT_EQ(read.game_port, test_port());

  // The challenge belongs to the address it was given to.
  Datagrams other("127.0.0.2");
  other.send(query_write_request(QueryKind::Info, challenge), port);
  other.send(query_write_request(QueryKind::Rules, QUERY_NO_CHALLENGE), port);
  answer = other.receive();
  EXPECT_EQ(answer.size(), 9u);
  EXPECT_EQ(answer[4], 'A');
  match.server.kill();
}

// A query port that another program holds ends the server at its start, as
// the game's port does.
TEST(Query, AQueryPortTakenEndsTheServerWithExitCode3) {
  std::string err;
  const uint16_t port = view_port();
  const SocketHandle holder = socket_bind_datagram(nullptr, port, false, &err);
  ASSERT_NE(holder, INVALID_SOCKET_HANDLE) << err;
  TempDir dir;
  put_bot_route_file(dir.path(), kRoutes);
  dir.write("dept1.txt", "100 900\n100 700\n");
  ServerProcess server;
  server.start(dir.path(),
               {"--humans", "1", "--bots", "0", "--map", "1", "--query", "--query-port",
                std::to_string(port)},
               "", true);
  EXPECT_EQ(server.wait_exit(), 3) << server.errors();
  EXPECT_TRUE(holds(server.errors(), "cannot bind UDP port " + std::to_string(port)))
      << server.errors();
  socket_close(holder);
}

// A flood of datagrams from many source ports beside a match leaves every
// byte the client receives as it was without the query, and the server's
// memory where it was.
TEST(Query, AFloodLeavesTheMatchBytesAndMemoryAsTheyWere) {
  if (server_is_windows()) GTEST_SKIP() << "reads the server's memory from /proc";
  constexpr int kTurns = 1000;
  const auto play = [&](bool query, bool flood, long* rss_growth_kb) {
    TempDir dir;
    put_bot_route_file(dir.path(), kRoutes);
    dir.write("dept1.txt", "100 900\n100 700\n");
    ServerProcess server;
    std::vector<std::string> args = {"--humans", "1", "--bots", "2", "--map", "1"};
    if (query)
      args.insert(args.end(), {"--query", "--http", "127.0.0.1:" + std::to_string(view_port())});
    server.start(dir.path(), args, "", true);
    EXPECT_TRUE(server.wait_until_listening()) << server.errors();
    const auto rss = [&] {
      std::ifstream status("/proc/" + std::to_string(server.pid()) + "/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
      }
      return 0L;
    };
    Player player;
    ClientThreads threads;
    EXPECT_TRUE(player.connect());
    threads.start([&] { player.play(threads.stop, 1 << 30); });
    EXPECT_TRUE(eventually([&] { return player.turns >= 5; }));
    const long rss_before = rss();
    if (flood) {
      // 200 source ports, 1000 datagrams each, while the match plays:
      // challenges asked, challenges guessed, and bytes that are no request.
      std::vector<std::unique_ptr<Datagrams>> sources;
      for (int s = 0; s < 200; ++s) sources.push_back(std::make_unique<Datagrams>());
      const std::vector<uint8_t> ask = query_write_request(QueryKind::Info, QUERY_NO_CHALLENGE);
      for (int i = 0; i < 1000; ++i) {
        for (size_t s = 0; s < sources.size(); ++s) {
          const size_t kind = (static_cast<size_t>(i) + s) % 3;
          if (kind == 0) sources[s]->send(ask, test_port());
          if (kind == 1) {
            sources[s]->send(
                query_write_request(QueryKind::Players,
                                    static_cast<uint32_t>(static_cast<size_t>(i) * 7919 + s)),
                test_port());
          }
          if (kind == 2)
            sources[s]->send(std::vector<uint8_t>(static_cast<size_t>(i % 64), 0xFF), test_port());
        }
      }
    }
    EXPECT_TRUE(eventually([&] { return player.turns >= kTurns; })) << server.errors();
    threads.join_all();
    if (rss_growth_kb != nullptr) *rss_growth_kb = rss() - rss_before;
    if (flood) {
      // Every datagram that reached the server is counted once, the bad ones as ignored.
      const std::string metrics = http_get(view_port(), "/metrics").body;
      long counted = 0;
      for (const char* outcome : {"answered", "challenged", "ignored", "limited"}) {
        const long n = number_after(
            metrics, std::string("zolt_query_datagrams_total{outcome=\"") + outcome + "\"} ");
        EXPECT_GE(n, 0) << metrics;
        counted += n;
      }
      EXPECT_GT(number_after(metrics, "outcome=\"ignored\"} "), 0) << metrics;
      EXPECT_GT(counted, 0);
      EXPECT_LE(counted, 200000);
    }
    player.close();
    server.wait_exit();
    return std::move(player.views);
  };
  long growth = 0;
  const std::vector<TurnView> quiet = play(false, false, nullptr);
  const std::vector<TurnView> flooded = play(true, true, &growth);
  ASSERT_GE(quiet.size(), static_cast<size_t>(kTurns));
  ASSERT_GE(flooded.size(), static_cast<size_t>(kTurns));
  for (size_t t = 0; t < static_cast<size_t>(kTurns); ++t) {
    ASSERT_EQ(quiet[t].players.size(), flooded[t].players.size());
    for (size_t p = 0; p < quiet[t].players.size(); ++p) {
      EXPECT_EQ(quiet[t].players[p].x, flooded[t].players[p].x) << "turn " << t << " player " << p;
      EXPECT_EQ(quiet[t].players[p].y, flooded[t].players[p].y) << "turn " << t << " player " << p;
      EXPECT_EQ(quiet[t].players[p].health, flooded[t].players[p].health);
      EXPECT_EQ(quiet[t].players[p].heading, flooded[t].players[p].heading);
    }
  }
  // The sanitizers' runtime holds what the query freed a while (up to its
  // quarantine's size): a leak of a hundred bytes a datagram still shows.
  EXPECT_LT(growth, kSanitized ? 16384 : 4096) << "kB more after the flood";
}

}  // namespace

namespace {

// Two network namespaces joined by a veth pair, 10.77.0.1/24 and
// 10.77.0.2/24, named after this test process; removed with the object.
struct LanPair {
  std::string server_ns, finder_ns;
  bool made = false;
  LanPair() {
    const std::string id = std::to_string(getpid());
    server_ns = "zolt-qs-" + id;
    finder_ns = "zolt-qf-" + id;
    const std::string script =
        "ip netns add " + server_ns + " && ip netns add " + finder_ns + " && ip link add qa" + id +
        " netns " + server_ns + " type veth peer name qb" + id + " netns " + finder_ns +
        " && ip -n " + server_ns + " addr add 10.77.0.1/24 dev qa" + id + " && ip -n " + finder_ns +
        " addr add 10.77.0.2/24 dev qb" + id + " && ip -n " + server_ns + " link set qa" + id +
        " up && ip -n " + finder_ns + " link set qb" + id + " up && ip -n " + server_ns +
        " link set lo up";
    made = std::system(script.c_str()) == 0;
  }
  ~LanPair() {
    const std::string script =
        "ip netns del " + server_ns + " 2>/dev/null; ip netns del " + finder_ns + " 2>/dev/null";
    if (std::system(script.c_str()) != 0) return;
  }
};

TEST(QueryLan, ZoltClientFindsAServerAcrossAVethPairByBroadcastUntilItStops) {
  if (server_is_windows()) GTEST_SKIP() << "network namespaces are Linux's";
  if (geteuid() != 0 || std::system("ip -V > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs root and ip (iproute2) to make two network namespaces";
  }
  LanPair lan;
  ASSERT_TRUE(lan.made) << "could not make the namespaces and the veth pair";
  TempDir dir;
  put_bot_route_file(dir.path(), kRoutes);
  dir.write("dept1.txt", "100 900\n100 700\n");
  ServerProcess server;
  server.program = "/usr/bin/env";
  server.start(dir.path(),
               {"ip", "netns", "exec", lan.server_ns, ZOLT_SERVER_BINARY, "--humans", "1", "--bots",
                "2", "--map", "1", "--query", "--name", "Across the veth"},
               "", true);
  ASSERT_TRUE(server.wait_for_log("server query on UDP 0.0.0.0:")) << server.errors();
  const std::string port = std::to_string(test_port());
  const std::vector<std::string> find = {
      "ip", "netns", "exec", lan.finder_ns, ZOLT_CLIENT_BINARY, "--find", "--port", port};
  const std::string found =
      "10.77.0.1:" + port + "  Across the veth  map Vevoder  players 0/1  seat free  ";
  // The finder waits a second for the answers: on a busy machine the two
  // round trips (the challenge, then INFO) may take longer, so it asks again.
  std::string said;
  for (int attempt = 0; attempt < 5 && !holds(said, found); ++attempt) {
    said = run_tool(find, dir.path());
  }
  EXPECT_TRUE(holds(said, found)) << said;
  server.kill();
  server.wait_exit();
  const std::string after = run_tool(find, dir.path());
  EXPECT_FALSE(holds(after, "10.77.0.1")) << after;
  EXPECT_TRUE(holds(after, "no server answered on port " + port)) << after;
}

}  // namespace
