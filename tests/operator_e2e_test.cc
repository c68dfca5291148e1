// The operator's hand on a running match, against the real server: every
// command over the remote console (RCON packets made with the server's own
// reader and writer, and a real RCON client from npm through
// tests/rcon_client.js) and at the console, served one at a time and all at
// once; bad remote console input, with the server and its match unharmed.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/client.h"
#include "net/rcon.h"
#include "net/socket.h"
#include "tests/browser.h"
#include "tests/server_process.h"
#include "tests/spawn.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kPassword = "a-long-test-secret";
constexpr const char* kRoutes =
    "360 342 300 258 240 258 300 342 360\n300 342 360 342 300 258 240 258 300\n"
    "517 483 429 388 383 417 471 512 517\n321 362 367 333 279 238 233 267 321\n";

// One remote console connection, speaking the packets as any client does.
struct Rcon {
  SocketHandle socket = INVALID_SOCKET_HANDLE;
  std::string in;
  int32_t next_id = 1;

  ~Rcon() { close(); }
  bool connect(uint16_t port, const char* source = nullptr) {
    std::string err;
    socket = socket_connect("127.0.0.1", port, &err, source);
    if (socket != INVALID_SOCKET_HANDLE) socket_set_receive_timeout(socket, REPLY_WAIT_MS);
    return socket != INVALID_SOCKET_HANDLE;
  }
  void close() {
    if (socket != INVALID_SOCKET_HANDLE) socket_close(socket, true);
    socket = INVALID_SOCKET_HANDLE;
  }
  void send_bytes(const std::string& bytes) const {
    socket_send(socket, bytes.data(), bytes.size());
  }
  void send(int32_t id, int32_t type, const std::string& body) const {
    std::string bytes;
    rcon_append_packet(bytes, id, type, body);
    send_bytes(bytes);
  }
  // The next packet; false once the connection is closed (or the wait ran out).
  bool read(RconPacket* packet) {
    for (;;) {
      size_t used = 0;
      const RconRead got = rcon_read_packet(in.data(), in.size(), packet, &used);
      if (got == RconRead::Packet) {
        in.erase(0, used);
        return true;
      }
      if (got == RconRead::Malformed) return false;
      char buffer[4096];
      const size_t n = socket_recv(socket, buffer, sizeof buffer);
      if (n == 0) return false;
      in.append(buffer, n);
    }
  }
  // Whether the server accepted the password.
  bool auth(const std::string& password) {
    const int32_t id = next_id++;
    send(id, RCON_AUTH, password);
    RconPacket empty, verdict;
    if (!read(&empty) || !read(&verdict)) return false;
    return verdict.type == RCON_AUTH_RESPONSE && verdict.id == id;
  }
  // A command's whole answer, however many packets it takes (counted in
  // *packets): an empty packet sent behind it comes back after it, even
  // behind `end`, before the server closes; a client that waits for it
  // fails without it.
  std::string command(const std::string& text, int* packets = nullptr) {
    const int32_t id = next_id++;
    const int32_t marker = next_id++;
    send(id, RCON_EXECCOMMAND, text);
    send(marker, RCON_RESPONSE_VALUE, "");
    std::string answer;
    int count = 0;
    RconPacket packet;
    bool marked = false;
    while (!marked && read(&packet)) {
      marked = packet.id == marker;
      if (packet.id != id) continue;
      answer += packet.body;
      ++count;
    }
    EXPECT_TRUE(marked) << "no empty packet came back behind '" << text << "': " << answer;
    if (packets != nullptr) *packets = count;
    return answer;
  }
  // Whether the server closes the connection (whatever it sends before).
  bool closed_by_server() {
    char buffer[4096];
    for (;;) {
      bool timed_out = false;
      if (socket_recv(socket, buffer, sizeof buffer, &timed_out) == 0) return !timed_out;
    }
  }
};

// A server with humans, bots and the remote console, in a folder of its own.
struct Running {
  TempDir dir;
  ServerProcess server;
  uint16_t rcon_port = 0;
  // The password in ZOLT_RCON_PASSWORD rather than in --rcon-password-file.
  bool password_in_environment = false;

  void start(int humans, int bots, std::vector<std::string> extra, bool console = false) {
    put_bot_route_file(dir.path(), kRoutes);
    dir.write("dept0.txt", "100 900 500 300\n100 700 40 60\n");
    dir.write("password", kPassword + "\n");
    rcon_port = free_port();
    std::vector<std::string> args = {"--humans", std::to_string(humans),
                                     "--bots",   std::to_string(bots),
                                     "--map",    "0",
                                     "--rcon",   "127.0.0.1:" + std::to_string(rcon_port)};
    if (!password_in_environment) {
      args.insert(args.end(), {"--rcon-password-file", dir.path() + "/password"});
    }
    args.insert(args.end(), extra.begin(), extra.end());
    // The server takes the environment as it starts: no other case sees it.
    if (password_in_environment) setenv("ZOLT_RCON_PASSWORD", kPassword.c_str(), 1);
    server.start(dir.path(), args, "", !console);
    unsetenv("ZOLT_RCON_PASSWORD");
    // Without humans the game's port is not listened on.
    if (humans > 0) {
      ASSERT_TRUE(server.wait_until_listening()) << server.errors();
    }
    ASSERT_TRUE(server.wait_until_listening(20000, rcon_port)) << server.errors();
  }
};

// A client that plays turns until its link closes or it is told to stop;
// each turn's view is kept, and a gate may hold it before a given turn.
struct Player {
  TestClient client;
  int32_t index = -1;
  std::atomic<int> turns{0};
  std::atomic<int> hold_before{0};  // 0: none; n: wait before turn n while set
  std::atomic<bool> waiting_in_turn{false};
  std::vector<TurnView> views;
  int32_t players = 0;

  void join() {
    players = client_join(client.link);
    int32_t map = 0;
    client_learn(client.link, &index, &map);
  }
  void play(const std::atomic<bool>& stop, int last_turn = 1 << 30) {
    TurnView view;
    view.players.resize(static_cast<size_t>(players));
    for (int turn = 1; turn <= last_turn && !stop; ++turn) {
      while (hold_before == turn && !stop)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      TurnReport report;
      report.x = 100 + turn;
      report.y = 200 + turn;
      report.heading = 900;
      waiting_in_turn = true;
      if (!client_turn(client.link, report, players, view)) return;
      waiting_in_turn = false;
      views.push_back(view);
      ++turns;
    }
  }
};

// The player joins and plays on a thread of threads, as Player::play does.
void join_and_play(ClientThreads& threads, Player& player, const std::atomic<bool>& stop,
                   int last_turn = 1 << 30) {
  threads.start([&player, &stop, last_turn] {
    player.join();
    player.play(stop, last_turn);
  });
}

// Waits for a condition, polled; whether it held within 20 s.
template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The body of GET path on the live view; empty without an answer.
std::string view_body(const std::string& path) {
  return http_get(view_port(), path).body;
}

bool holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class Scheduler : public ::testing::TestWithParam<bool> {
 protected:
  std::vector<std::string> scheduler() const {
    return GetParam() ? std::vector<std::string>{"--concurrent"} : std::vector<std::string>{};
  }
};

std::string scheduler_name(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "AllAtOnce" : "OneAfterAnother";
}

TEST_P(Scheduler, OverRconStatusKickRejoinAllowAndEnd) {
  Running run;
  std::vector<std::string> extra = scheduler();
  extra.insert(extra.end(), {"--rejoin", "--view-linger", "0", "--record", "match.jsonl",
                             "--resume", "--http", "127.0.0.1:" + std::to_string(view_port())});
  run.start(2, 1, extra);
  // What the clients' threads use outlives them: the threads are joined first.
  std::atomic<bool> stop{false};
  Player first;
  std::unique_ptr<Player> second;
  ClientThreads threads;
  join_and_play(threads, first, stop);
  ASSERT_TRUE(run.server.wait_for_log("player 0 joined from")) << run.server.errors();
  second = std::make_unique<Player>();
  threads.start([&, p = second.get()] {
    p->join();
    p->play(stop);
  });
  ASSERT_TRUE(run.server.wait_for_log("match started")) << run.server.errors();

  Rcon rcon;
  ASSERT_TRUE(rcon.connect(run.rcon_port));
  ASSERT_TRUE(rcon.auth(kPassword));
  const std::string status = rcon.command("status");
  EXPECT_TRUE(holds(status, "settings: 2 humans, 1 bot, map 0")) << status;
  EXPECT_TRUE(holds(status, "human 0 127.0.0.1:")) << status;
  EXPECT_TRUE(holds(status, "human 1 127.0.0.1:")) << status;
  EXPECT_TRUE(holds(status, "bot 2 playing health")) << status;
  EXPECT_TRUE(holds(rcon.command("kick 2"), "player 2 is a bot")) << rcon.command("kick 2");
  EXPECT_TRUE(holds(rcon.command("kick 9"), "there is no player 9"));

  // The kick ends the client's connection: its turns end.
  EXPECT_TRUE(holds(rcon.command("kick 1"), "player 1 kicked"));
  EXPECT_TRUE(run.server.wait_for_log("player 1 (127.0.0.1:")) << run.server.errors();
  EXPECT_TRUE(run.server.wait_for_log("kicked by the operator (rcon 127.0.0.1:"))
      << run.server.errors();
  EXPECT_TRUE(holds(rcon.command("status"), "dropped")) << rcon.command("status");
  // With --rejoin a client that connects takes the slot again.
  Player third;
  join_and_play(threads, third, stop);
  ASSERT_TRUE(run.server.wait_for_log("player 1 (127.0.0.1:")) << run.server.errors();
  ASSERT_TRUE(run.server.wait_for_log("rejoined in turn")) << run.server.errors();
  EXPECT_TRUE(eventually([&] { return third.turns > 0; }));
  EXPECT_EQ(third.index, 1);

  // Only listed networks may join from now on: loopback is not in 10/8.
  EXPECT_EQ(rcon.command("allow add 10.0.0.0/8"), "allow: 10.0.0.0/8\n");
  EXPECT_TRUE(holds(rcon.command("kick 1"), "player 1 kicked"));
  EXPECT_TRUE(eventually([&] { return holds(rcon.command("status"), "dropped"); }));
  {
    std::string err;
    const SocketHandle refused = socket_connect("127.0.0.1", test_port(), &err);
    ASSERT_NE(refused, INVALID_SOCKET_HANDLE) << err;
    EXPECT_TRUE(run.server.wait_for_log("not in the --allow list")) << run.server.errors();
    socket_close(refused, true);
  }
  EXPECT_TRUE(holds(rcon.command("allow remove 10.0.0.0/8"), "anyone may join"));
  Player fourth;
  join_and_play(threads, fourth, stop);
  EXPECT_TRUE(eventually([&] { return fourth.turns > 0; }));
  EXPECT_EQ(fourth.index, 1);

  const std::string metrics = view_body("/metrics");
  EXPECT_TRUE(holds(metrics, "zolt_operator_commands_total{command=\"kick\"} 4")) << metrics;
  EXPECT_TRUE(holds(metrics, "zolt_operator_commands_total{command=\"allow\"} 2")) << metrics;

  EXPECT_EQ(rcon.command("end"), "ending the match\n");
  EXPECT_EQ(run.server.wait_exit(), 0) << run.server.errors();
  threads.join_all();
  EXPECT_TRUE(holds(run.server.errors(), "match stopped by the operator's end command (rcon)"))
      << run.server.errors();
  EXPECT_TRUE(holds(run.server.output(), "LA PARTIE EST TERMINEE")) << run.server.output();
  const std::string recording = read_file(run.dir.path() + "/match.jsonl");
  ASSERT_FALSE(recording.empty());
  EXPECT_EQ(recording.back(), '\n');
  const size_t last = recording.rfind('\n', recording.size() - 2);
  // The operator's end ends even a match that would resume after SIGTERM.
  EXPECT_TRUE(holds(recording.substr(last + 1), "\"stopped\"")) << recording.substr(last + 1);
}

// Plays `turns` turns with one client, pausing before turn 5 when asked;
// the client's views.
std::vector<TurnView> play_paused(const std::vector<std::string>& scheduler, bool pause) {
  Running run;
  std::vector<std::string> extra = scheduler;
  extra.insert(extra.end(), {"--http", "127.0.0.1:" + std::to_string(view_port()), "--view-linger",
                             "0", "--client-timeout", "3"});
  run.start(1, 1, extra);
  Player player;
  ClientThreads threads;
  player.hold_before = 4;
  join_and_play(threads, player, threads.stop, 8);
  if (!eventually([&] { return player.turns == 3; })) {
    ADD_FAILURE() << "three turns were not played: " << run.server.errors();
    return {};
  }
  Rcon rcon;
  EXPECT_TRUE(rcon.connect(run.rcon_port));
  EXPECT_TRUE(rcon.auth(kPassword));
  if (pause) {
    // Turn 4 is under way (the server waits for the client): it ends first.
    EXPECT_EQ(rcon.command("pause"), "paused: no new turn starts until resume\n");
    player.hold_before = 0;
    EXPECT_TRUE(eventually([&] { return player.turns == 4 && player.waiting_in_turn; }));
    // The client waits in its receive: the server starts no turn, however
    // often it is asked and however long it is given.
    // Held longer than --client-timeout: the pause counts against nobody.
    const auto held_until = Clock::now() + std::chrono::seconds(4);
    while (Clock::now() < held_until) {
      EXPECT_TRUE(holds(rcon.command("status"), "4 turns played, ")) << rcon.command("status");
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(player.turns, 4);
    EXPECT_TRUE(holds(view_body("/state.json"), "\"paused\": true")) << view_body("/state.json");
    if (Browser::available()) {
      // The page says so too.
      Browser browser;
      EXPECT_TRUE(browser.open("http://127.0.0.1:" + std::to_string(view_port()) + "/"))
          << browser.error();
      EXPECT_EQ(browser.eval_until("document.getElementById('stall').textContent.includes("
                                   "'Paused by the operator')"),
                "true");
    }
    EXPECT_EQ(rcon.command("resume"), "resumed\n");
  } else {
    player.hold_before = 0;
  }
  EXPECT_TRUE(eventually([&] { return player.turns == 8; }));
  EXPECT_FALSE(holds(view_body("/state.json"), "\"paused\""));
  EXPECT_FALSE(holds(run.server.errors(), "timed out")) << run.server.errors();
  rcon.command("end");
  EXPECT_EQ(run.server.wait_exit(), 0) << run.server.errors();
  threads.join_all();
  return player.views;
}

TEST_P(Scheduler, PauseHoldsTheTurnsAndResumeGoesOnWithTheSameValues) {
  const std::vector<TurnView> paused = play_paused(scheduler(), true);
  const std::vector<TurnView> straight = play_paused(scheduler(), false);
  ASSERT_EQ(paused.size(), 8u);
  ASSERT_EQ(straight.size(), 8u);
  for (size_t t = 0; t < paused.size(); ++t) {
    EXPECT_EQ(paused[t].relay_a, straight[t].relay_a) << "turn " << t + 1;
    EXPECT_EQ(paused[t].relay_b, straight[t].relay_b) << "turn " << t + 1;
    for (size_t p = 0; p < paused[t].players.size(); ++p) {
      const PlayerRow& a = paused[t].players[p];
      const PlayerRow& b = straight[t].players[p];
      EXPECT_TRUE(a.x == b.x && a.y == b.y && a.health == b.health && a.heading == b.heading)
          << "turn " << t + 1 << " player " << p;
    }
  }
}

TEST_P(Scheduler, AtTheConsoleStatusPauseKickAndEnd) {
  Running run;
  std::vector<std::string> extra = scheduler();
  extra.push_back("--console-commands");
  run.start(2, 1, extra, true);
  Player first, second;
  ClientThreads threads;
  join_and_play(threads, first, threads.stop);
  ASSERT_TRUE(run.server.wait_for_log("player 0 joined from")) << run.server.errors();
  join_and_play(threads, second, threads.stop);
  ASSERT_TRUE(run.server.wait_for_log("match started")) << run.server.errors();
  // A line past the limit is not run, not even its head; the next one is.
  run.server.write_input("kick 1" + std::string(1100, ' ') + "\nstatus\n");
  EXPECT_TRUE(run.server.wait_for_output("human 1 127.0.0.1:")) << run.server.output();
  EXPECT_TRUE(run.server.wait_for_log("a console line of more than 1024 bytes is not run"))
      << run.server.errors();
  EXPECT_FALSE(holds(run.server.output(), "kicked")) << run.server.output();
  run.server.write_input("pause\n");
  EXPECT_TRUE(run.server.wait_for_output("paused: no new turn starts")) << run.server.output();
  EXPECT_TRUE(run.server.wait_for_log("match paused by the operator (console)"));
  const int held = first.turns;
  EXPECT_TRUE(eventually([&] { return first.waiting_in_turn && second.waiting_in_turn; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LE(first.turns, held + 1) << "at most the turn under way ends";
  run.server.write_input("resume\nkik 1\n");
  EXPECT_TRUE(run.server.wait_for_output("did you mean 'kick'?")) << run.server.output();
  EXPECT_TRUE(eventually([&] { return first.turns > held + 2; }));
  run.server.write_input("kick 1\n");
  EXPECT_TRUE(run.server.wait_for_output("player 1 kicked; it stays where it stood"));
  EXPECT_TRUE(run.server.wait_for_log("kicked by the operator (console)")) << run.server.errors();
  const int after_kick = first.turns;
  EXPECT_TRUE(eventually([&] { return first.turns > after_kick + 2; }))
      << "the match goes on without the kicked client";
  run.server.write_input("end\n");
  EXPECT_EQ(run.server.wait_exit(), 0) << run.server.errors();
  threads.join_all();
  EXPECT_TRUE(holds(run.server.output(), "ending the match\n"));
  EXPECT_TRUE(holds(run.server.output(), "LA PARTIE EST TERMINEE")) << run.server.output();
  EXPECT_TRUE(holds(run.server.errors(), "match stopped by the operator's end command (console)"));
}

INSTANTIATE_TEST_SUITE_P(Operator, Scheduler, ::testing::Values(false, true), scheduler_name);

TEST(OperatorRcon, BadInputClosesTheConnectionAndHarmsNothing) {
  Running run;
  run.start(1, 1, {});
  Player player;
  ClientThreads threads;
  join_and_play(threads, player, threads.stop);
  ASSERT_TRUE(run.server.wait_for_log("match started")) << run.server.errors();
  Rcon good;
  ASSERT_TRUE(good.connect(run.rcon_port));
  ASSERT_TRUE(good.auth(kPassword));

  const auto unharmed = [&](const char* after) {
    const int turns = player.turns;
    EXPECT_TRUE(holds(good.command("status"), "human 0 127.0.0.1:")) << after;
    EXPECT_TRUE(eventually([&] { return player.turns > turns; })) << after;
  };
  struct Case {
    const char* name;
    bool authenticate;
    std::string bytes;
  };
  const auto with_size = [](int32_t size) {
    std::string bytes;
    rcon_append_packet(bytes, 1, RCON_EXECCOMMAND, "status");
    for (int shift = 0; shift < 32; shift += 8) {
      bytes[static_cast<size_t>(shift / 8)] =
          static_cast<char>(static_cast<uint32_t>(size) >> shift);
    }
    return bytes;
  };
  std::string unknown_type, before_auth, flood;
  rcon_append_packet(unknown_type, 5, 7, "status");
  rcon_append_packet(before_auth, 5, RCON_EXECCOMMAND, "end");
  for (int i = 0; i < 200; ++i) rcon_append_packet(flood, i, RCON_RESPONSE_VALUE, "");
  const Case cases[] = {
      {"a command before authentication", false, before_auth},
      {"a packet above the limit", true, with_size(RCON_MAX_SIZE + 1)},
      {"a negative size", true, with_size(-20)},
      {"an absurd size", false, with_size(0x7fffffff)},
      {"a type the protocol lacks", true, unknown_type},
      {"a flood of packets", true, flood},
      {"nothing at all (no authentication in time)", false, ""},
  };
  for (const Case& c : cases) {
    Rcon bad;
    ASSERT_TRUE(bad.connect(run.rcon_port)) << c.name;
    if (c.authenticate) {
      ASSERT_TRUE(bad.auth(kPassword)) << c.name;
    }
    bad.send_bytes(c.bytes);
    EXPECT_TRUE(bad.closed_by_server()) << c.name;
    unharmed(c.name);
  }

  // At most a few connections at once: with every one authenticated, the
  // one past them is closed.
  std::vector<std::unique_ptr<Rcon>> open;
  for (int i = 1; i < 8; ++i) {
    open.push_back(std::make_unique<Rcon>());
    ASSERT_TRUE(open.back()->connect(run.rcon_port));
    ASSERT_TRUE(open.back()->auth(kPassword));
  }
  Rcon extra;
  ASSERT_TRUE(extra.connect(run.rcon_port));
  EXPECT_TRUE(extra.closed_by_server());
  open.clear();
  unharmed("too many connections");

  EXPECT_EQ(good.command("end"), "ending the match\n");
  EXPECT_EQ(run.server.wait_exit(), 0) << run.server.errors();
}

// A port held by another program while the server starts.
struct HeldPort {
  SocketHandle socket = INVALID_SOCKET_HANDLE;
  explicit HeldPort(uint16_t port) {
    std::string err;
    socket = socket_bind(nullptr, port, &err);
    if (socket != INVALID_SOCKET_HANDLE) socket_listen(socket, 4, &err);
  }
  ~HeldPort() {
    if (socket != INVALID_SOCKET_HANDLE) socket_close(socket);
  }
};

TEST(OperatorStart, EveryPortIsBoundBeforeAnythingIsWrittenAndClashesAreRefused) {
  const std::string game = std::to_string(test_port());
  const uint16_t rcon_port = free_port();
  const std::string rcon = std::to_string(rcon_port);
  const std::string view = std::to_string(view_port());
  struct Case {
    const char* name;
    std::vector<std::string> args;
    uint16_t held;  // 0: none
    int code;
    std::string said;
  };
  const Case cases[] = {
      {"the remote console on the game's port",
       {"--rcon", "127.0.0.1:" + game},
       0,
       2,
       "--port " + game + " and --rcon 127.0.0.1:" + game + " ask for the same port"},
      {"the view on the game's port",
       {"--rcon", "127.0.0.1:" + rcon, "--http", "127.0.0.1:" + game},
       0,
       2,
       "--port " + game + " and --http 127.0.0.1:" + game + " ask for the same port"},
      {"the view on every address at the remote console's port",
       {"--rcon", "127.0.0.1:" + rcon, "--http", "0.0.0.0:" + rcon},
       0,
       2,
       "--http 0.0.0.0:" + rcon + " and --rcon 127.0.0.1:" + rcon + " ask for the same port"},
      {"the game's port held",
       {"--rcon", "127.0.0.1:" + rcon, "--http", "127.0.0.1:" + view},
       test_port(),
       3,
       "ERROR "},
      {"the remote console's port held",
       {"--rcon", "127.0.0.1:" + rcon, "--http", "127.0.0.1:" + view},
       rcon_port,
       3,
       "--rcon: "},
      {"the view's port held",
       {"--rcon", "127.0.0.1:" + rcon, "--http", "127.0.0.1:" + view},
       view_port(),
       3,
       "ERROR "},
  };
  for (const Case& c : cases) {
    TempDir dir;
    put_bot_route_file(dir.path(), kRoutes);
    dir.write("dept0.txt", "100 900 500 300\n100 700 40 60\n");
    dir.write("password", kPassword + "\n");
    std::vector<std::string> args = {"--humans",
                                     "1",
                                     "--bots",
                                     "1",
                                     "--map",
                                     "0",
                                     "--record",
                                     "match.jsonl",
                                     "--rcon-password-file",
                                     dir.path() + "/password"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::unique_ptr<HeldPort> held;
    if (c.held != 0) held = std::make_unique<HeldPort>(c.held);
    ServerProcess server;
    server.start(dir.path(), args, "", true);
    EXPECT_EQ(server.wait_exit(), c.code) << c.name << "\n" << server.errors();
    EXPECT_TRUE(holds(server.errors(), c.said)) << c.name << "\n" << server.errors();
    // Nothing is left behind, nor said to be served.
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/match.jsonl")) << c.name;
    EXPECT_FALSE(holds(server.errors(), "remote console (RCON) on")) << c.name;
    EXPECT_FALSE(holds(server.errors(), "match over")) << c.name << "\n" << server.errors();
  }
}

TEST(OperatorRcon, AnswersWhileThePlayersAreAwaited) {
  Running run;
  run.start(2, 1, {"--console-commands"}, true);
  Rcon rcon;
  ASSERT_TRUE(rcon.connect(run.rcon_port));
  ASSERT_TRUE(rcon.auth(kPassword));
  std::string status = rcon.command("status");
  EXPECT_TRUE(holds(status, "waiting for players: 0 of 2 joined\n")) << status;
  EXPECT_TRUE(holds(status, "settings: 2 humans, 1 bot, map 0")) << status;
  run.server.write_input("status\n");
  EXPECT_TRUE(run.server.wait_for_output("waiting for players: 0 of 2 joined"))
      << run.server.output();

  Player first;
  ClientThreads threads;
  join_and_play(threads, first, threads.stop);
  ASSERT_TRUE(run.server.wait_for_log("player 0 joined from")) << run.server.errors();
  status = rcon.command("status");
  EXPECT_TRUE(holds(status, "waiting for players: 1 of 2 joined\n")) << status;
  EXPECT_TRUE(holds(status, "human 0 127.0.0.1:")) << status;
  if (!server_is_windows()) {
    // Awaiting the second player with the operator's commands watched, on
    // the console and the remote console, the server rests: it wakes for
    // its one-second slices and the remote console's, not in a loop that
    // looks for commands.
    EXPECT_EQ(unrest(run.server.pid(), std::chrono::seconds(1), RESTING_WAKEUPS), "")
        << run.server.errors();
  }
  struct Case {
    const char* command;
    const char* answer;
  };
  const Case cases[] = {
      {"kick 0", "kick: the match has not started yet; this needs a running match\n"},
      {"pause", "pause: the match has not started yet; this needs a running match\n"},
      {"resume", "resume: the match has not started yet; this needs a running match\n"},
      {"allow add 10.0.0.0/8", "allow: 10.0.0.0/8\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(rcon.command(c.command), c.answer) << c.command;
  {
    // A connection the list refuses leaves the wait, and its commands, as they were.
    std::string err;
    const SocketHandle refused = socket_connect("127.0.0.1", test_port(), &err);
    ASSERT_NE(refused, INVALID_SOCKET_HANDLE) << err;
    EXPECT_TRUE(run.server.wait_for_log("not in the --allow list")) << run.server.errors();
    EXPECT_TRUE(holds(rcon.command("status"), "waiting for players: 1 of 2 joined"));
    socket_close(refused, true);
  }
  EXPECT_EQ(rcon.command("allow remove 10.0.0.0/8"),
            "allow: everyone (the list is empty: anyone may join)\n");
  // end ends the wait as a stop does.
  EXPECT_EQ(rcon.command("end"), "ending the match\n");
  EXPECT_EQ(run.server.wait_exit(), 0) << run.server.errors();
  threads.join_all();
  EXPECT_TRUE(holds(run.server.output(), "LA PARTIE EST TERMINEE")) << run.server.output();
  EXPECT_TRUE(holds(run.server.errors(), "match stopped by the operator's end command (rcon)"));
}

TEST(OperatorRcon, AResumedMatchAnswersWhileItWaitsAndAPortTakenLeavesItAsItWas) {
  Running run;
  run.start(1, 1, {"--record", "match.jsonl", "--resume"});
  Player player;
  ClientThreads threads;
  // Three turns, then the client stays silent: the server is killed in the fourth.
  join_and_play(threads, player, threads.stop, 3);
  ASSERT_TRUE(eventually([&] { return player.turns == 3; })) << run.server.errors();
  threads.join_all();
  run.server.kill();
  const std::string recording = run.dir.path() + "/match.jsonl";
  const std::string kept = read_file(recording);
  ASSERT_FALSE(kept.empty());
  const std::vector<std::string> args = {"--record",
                                         "match.jsonl",
                                         "--resume",
                                         "--rcon",
                                         "127.0.0.1:" + std::to_string(run.rcon_port),
                                         "--rcon-password-file",
                                         run.dir.path() + "/password"};
  {
    // The remote console's port taken: the start fails before the recording
    // is touched, and the match is there for the next start.
    HeldPort held(run.rcon_port);
    ServerProcess refused;
    refused.start(run.dir.path(), args, "", true);
    EXPECT_EQ(refused.wait_exit(), 3) << refused.errors();
    EXPECT_EQ(read_file(recording), kept);
  }
  ServerProcess resumed;
  resumed.start(run.dir.path(), args, "", true);
  ASSERT_TRUE(resumed.wait_until_listening()) << resumed.errors();
  ASSERT_TRUE(resumed.wait_until_listening(20000, run.rcon_port)) << resumed.errors();
  Rcon rcon;
  ASSERT_TRUE(rcon.connect(run.rcon_port)) << resumed.errors();
  ASSERT_TRUE(rcon.auth(kPassword));
  const std::string status = rcon.command("status");
  EXPECT_TRUE(holds(status, "waiting for players: 0 of 1 joined")) << status;
  EXPECT_EQ(rcon.command("end"), "ending the match\n");
  EXPECT_EQ(resumed.wait_exit(), 0) << resumed.errors();
}

TEST(OperatorRcon, ServesEveryOperatorAtOnceWhileOneWaits) {
  Running run;
  run.start(2, 0, {"--client-timeout", "3", "--join-time", "3"});
  // A client that connects and says nothing holds the match thread in its
  // greeting until its time runs out.
  std::string err;
  const SocketHandle stalled = socket_connect("127.0.0.1", test_port(), &err);
  ASSERT_NE(stalled, INVALID_SOCKET_HANDLE) << err;
  ASSERT_TRUE(run.server.wait_for_log("player 0 joined from")) << run.server.errors();
  Rcon slow;
  ASSERT_TRUE(slow.connect(run.rcon_port));
  ASSERT_TRUE(slow.auth(kPassword));
  slow.send(7, RCON_EXECCOMMAND, "status");
  // Meanwhile a second operator logs in, and a third connects and does.
  const auto started = Clock::now();
  Rcon second, third;
  ASSERT_TRUE(second.connect(run.rcon_port));
  EXPECT_TRUE(second.auth(kPassword));
  ASSERT_TRUE(third.connect(run.rcon_port));
  EXPECT_TRUE(third.auth(kPassword));
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(2));
  // The slow one's answer comes once the match thread takes it.
  RconPacket answer;
  ASSERT_TRUE(slow.read(&answer));
  EXPECT_EQ(answer.id, 7);
  EXPECT_TRUE(holds(answer.body, "waiting for players: 1 of 2 joined")) << answer.body;
  EXPECT_TRUE(holds(second.command("status"), "waiting for players"));
  EXPECT_EQ(third.command("end"), "ending the match\n");
  EXPECT_EQ(run.server.wait_exit(), 0) << run.server.errors();
  socket_close(stalled, true);
}

TEST(OperatorRcon, AStrangerOnTheOperatorsAddressCannotKeepItOut) {
  Running run;
  run.start(1, 0, {});
  // From the operator's own address: wrong passwords on as many connections
  // as it likes, and connections that never log in, renewed all along.
  std::atomic<bool> stop{false};
  std::atomic<int> wrong_answers{0};
  ClientThreads threads;
  for (int t = 0; t < 10; ++t) {
    threads.start([&, t] {
      while (!stop) {
        Rcon stranger;
        if (!stranger.connect(run.rcon_port)) continue;
        socket_set_receive_timeout(stranger.socket, 3000);
        if (t < 4) {
          stranger.send(1, RCON_AUTH, "not-the-password");
          RconPacket empty, verdict;
          if (stranger.read(&empty) && stranger.read(&verdict) && verdict.id == -1) {
            ++wrong_answers;
          }
        } else {
          // Renewed before its time to log in runs out.
          for (int i = 0; i < 40 && !stop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
          }
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const auto attack_began = Clock::now() - std::chrono::seconds(1);
  for (int i = 0; i < 4; ++i) {
    Rcon operator_;
    ASSERT_TRUE(operator_.connect(run.rcon_port)) << i;
    const auto asked = Clock::now();
    EXPECT_TRUE(operator_.auth(kPassword)) << i;
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(5)) << i;
    EXPECT_TRUE(holds(operator_.command("status"), "waiting for players")) << i;
  }
  stop = true;
  threads.join_all();
  const double seconds = std::chrono::duration<double>(Clock::now() - attack_began).count();
  // Brute force stays slow: a few verdicts a second, not thousands.
  EXPECT_LT(wrong_answers / seconds, 8.0) << wrong_answers << " in " << seconds << " s";
  EXPECT_FALSE(holds(run.server.errors(), "refused for a minute"));
  // The log is not flooded: a few lines, then a count once a minute.
  const std::string log = run.server.errors();
  size_t wrong_lines = 0;
  for (size_t at = log.find(": wrong password"); at != std::string::npos;
       at = log.find(": wrong password", at + 1)) {
    ++wrong_lines;
  }
  EXPECT_GE(wrong_lines, 1u) << log;
  EXPECT_LE(wrong_lines, 4u) << log;
  Rcon last;
  ASSERT_TRUE(last.connect(run.rcon_port));
  ASSERT_TRUE(last.auth(kPassword));
  EXPECT_EQ(last.command("end"), "ending the match\n");
  EXPECT_EQ(run.server.wait_exit(), 0) << run.server.errors();
}

// Without humans the console's keys pace the bots: the remote console's
// commands run between the bots' steps, once a key has come.
TEST(OperatorRcon, ABotsOnlyMatchTakesCommandsOnceAKeyHasCome) {
  Running run;
  run.password_in_environment = true;
  run.start(0, 1, {}, true);
  Rcon rcon;
  ASSERT_TRUE(rcon.connect(run.rcon_port)) << run.server.errors();
  ASSERT_TRUE(rcon.auth(kPassword));
  EXPECT_TRUE(run.server.wait_for_log("its password from ZOLT_RCON_PASSWORD"))
      << run.server.errors();
  // Keys come until the commands are answered, whenever the match takes them.
  ClientThreads keys;
  keys.start([&] {
    while (!keys.stop) {
      run.server.write_input("\n");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  const std::string status = rcon.command("status");
  EXPECT_TRUE(holds(status, "settings: 0 humans, 1 bot, map 0")) << status;
  EXPECT_TRUE(holds(status, "bot 0 playing")) << status;
  EXPECT_EQ(rcon.command("end"), "ending the match\n");
  keys.join_all();
  EXPECT_EQ(run.server.wait_exit(), 0) << run.server.errors();
  EXPECT_TRUE(holds(run.server.errors(), "match stopped by the operator's end command (rcon)"))
      << run.server.errors();
}

// The folder holding the npm RCON client the test command installs
// (tools/install-deps.sh); ZOLT_NODE_MODULES may name another.
std::string node_modules() {
  const char* given = std::getenv("ZOLT_NODE_MODULES");
  return given != nullptr && *given != '\0' ? given : ZOLT_NODE_MODULES;
}

TEST(OperatorRcon, ARealRconClientDrivesEveryCommandAndReadsALongStatusSplit) {
  const std::string modules = node_modules();
  const bool have_node = std::system("node --version > /dev/null 2>&1") == 0;
  const bool have_module = std::filesystem::exists(modules + "/rcon-client/package.json");
  if (!have_node || !have_module) {
    // A developer's machine may lack them; the test command installs them
    // and then requires them (ZOLT_NODE_REQUIRED, tools/test.sh).
    if (std::getenv("ZOLT_NODE_REQUIRED") != nullptr || std::getenv("CI") != nullptr) {
      FAIL() << "node or rcon-client missing in " << modules;
    }
    GTEST_SKIP() << "node or the npm module rcon-client (in " << modules
                 << ") is missing: tools/install-deps.sh installs them";
  }
  Running run;
  // Enough bots that status takes more than one packet.
  run.start(1, 300, {});
  Player player;
  ClientThreads threads;
  join_and_play(threads, player, threads.stop);
  ASSERT_TRUE(run.server.wait_for_log("match started")) << run.server.errors();
  setenv("NODE_PATH", modules.c_str(), 1);
  const std::string out_path = run.dir.path() + "/node.out";
  SpawnSettings settings;
  settings.out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  settings.err = settings.out;
  const pid_t node = spawn_process({"node", std::string(ZOLT_SOURCE_DIR) + "/tests/rcon_client.js",
                                    std::to_string(run.rcon_port), kPassword},
                                   settings);
  ::close(settings.out);
  ASSERT_GT(node, 0);
  int status = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(90);
  pid_t ended = 0;
  while ((ended = waitpid(node, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (ended == 0) {
    ::kill(node, SIGKILL);
    waitpid(node, &status, 0);
  }
  const std::string said = read_file(out_path);
  EXPECT_TRUE(ended == node && WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
  EXPECT_TRUE(holds(said, "every check passed")) << said;
  EXPECT_EQ(run.server.wait_exit(), 0) << run.server.errors();
  EXPECT_TRUE(holds(run.server.errors(), "match stopped by the operator's end command (rcon)"));
}

}  // namespace
