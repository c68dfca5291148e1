// The server run unattended, as operators of dedicated servers run it: the
// answers, files and port as options, the operator's log, clients that break,
// time out or leave, and a clean stop.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "console/texts.h"
#include "net/protocol.h"
#include "net/socket.h"
#include "tests/server_process.h"

namespace {

const char* const kStillBot =
    "300 300 300 300 300 300 300 300 300\n400 400 400 400 400 400 400 400 400\n";

// The console up to the address line, as the server shows it before any
// question.
std::string welcome() {
  return std::string(WELCOME_BANNER) + BANNER_GAP + formatted(ADDRESS_LINE, "127.0.0.1");
}

bool logged(std::string log, const std::string& pattern) {
  // Windows writes its line ends as CR LF.
  log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());
  // Every line: an ISO 8601 UTC time, then the level and the event.
  return std::regex_search(
      log, std::regex("(^|\n)[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z " + pattern));
}

TurnReport at(int32_t x, int32_t y) {
  TurnReport report;
  report.x = x;
  report.y = y;
  report.heading = 900;
  return report;
}

// A server started with options (and no console input), and its clients.
class Unattended : public ::testing::Test {
 protected:
  void start(std::vector<std::string> args, int humans) {
    humans_ = humans;
    args.insert(args.begin(), "localhost");
    server_.start(dir_.path(), args, "", true);
  }
  void join_all(int players) {
    ASSERT_TRUE(server_.wait_for_output(WAITING)) << server_.output() << server_.errors();
    for (int q = 0; q < humans_; ++q) {
      clients_.push_back(std::make_unique<TestClient>());
      ASSERT_EQ(client_join(clients_.back()->link), players);
    }
    for (int q = 0; q < humans_; ++q) {
      int32_t index = -1, map = -1;
      client_learn(clients_[static_cast<size_t>(q)]->link, &index, &map);
      ASSERT_EQ(index, q);
    }
  }
  bool turn(int q, const TurnReport& report, int players, TurnView* view) {
    return client_turn(clients_[static_cast<size_t>(q)]->link, report, players, *view);
  }

  TempDir dir_;
  ServerProcess server_;
  std::vector<std::unique_ptr<TestClient>> clients_;
  int humans_ = 0;
};

TEST_F(Unattended, OptionsAnswerTheQuestionsAndNameTheFiles) {
  std::filesystem::create_directories(dir_.path() + "/routes");
  std::filesystem::create_directories(dir_.path() + "/m");
  dir_.write("routes/r.txt", kStillBot);
  dir_.write("m/dept3.txt", "10 20\n30 40\n");
  start({"--humans", "2", "--bots", "1", "--map", "3", "--bot-file", "routes/r.txt", "--maps-dir",
         "m"},
        2);
  join_all(3);
  TurnView views[2];
  ASSERT_TRUE(turn(0, at(1, 1), 3, &views[0]));
  ASSERT_TRUE(turn(1, at(2, 2), 3, &views[1]));
  for (const TurnView& view : views) {
    EXPECT_EQ(view.players[0].x, 10);
    EXPECT_EQ(view.players[1].y, 40);
    EXPECT_EQ(view.players[2].x, 300);
    EXPECT_EQ(view.players[2].y, 400);
  }
  EXPECT_EQ(server_.output(), welcome() + WAITING + CONNECTING + peer_line("127.0.0.1") +
                                  CONNECTED + WAITING + CONNECTING + peer_line("127.0.0.1") +
                                  CONNECTED + START_BANNER + "\n dept3.txt\n dept3.txt");
  clients_.clear();
  EXPECT_EQ(server_.wait_exit(), 1);
  const std::string log = server_.errors();
  for (const std::string& event :
       {"INFO zolt-server " ZOLT_VERSION " starting: TCP port " + std::to_string(test_port()) +
            " .*bot route file 'routes/r.txt'",
        std::string("INFO the host name gives 127.0.0.1, a loopback address"),
        std::string("INFO player 0 joined from 127\\.0\\.0\\.1:[0-9]+\n"),
        std::string("INFO player 1 joined from 127\\.0\\.0\\.1:[0-9]+\n"),
        // Lines piped in are no commands here: the log says so.
        std::string("INFO operator commands at the console: off \\(--console-commands turns "
                    "them on\\)\n"),
        std::string("INFO match started: 2 humans, 1 bot, map 3\n"),
        // Clients that have gone have left: no error, one cause.
        std::string("INFO player 0 \\(127\\.0\\.0\\.1:[0-9]+\\) left in turn 2 at step "
                    "'relay_a': its connection closed before its exchange\n"),
        std::string("INFO match over after 1 turns in [0-9.]+ s: player 0 left\n")}) {
    EXPECT_TRUE(logged(log, event)) << event << "\n" << log;
  }
  EXPECT_FALSE(logged(log, "(ERROR|[^\n]*broke)")) << log;
}

TEST_F(Unattended, OnlyTheQuestionsNotAnsweredAreAsked) {
  put_bot_route_file(dir_.path(), "");
  const struct {
    std::vector<std::string> args;
    const char* input;
    std::string asked;
  } cases[] = {
      {{"--humans", "0", "--bots", "0", "--map", "1"}, "", ""},
      {{"--humans", "0", "--bots", "0"}, "4\n", std::string(MAP_LIST) + MAP_PROMPT},
      {{"--map", "2"}, "0\n0\n", std::string(HUMANS_PROMPT) + BOTS_PROMPT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    ServerProcess server;
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "localhost");
    server.start(dir_.path(), args, c.input, true);
    EXPECT_EQ(server.wait_exit(), 0);
    EXPECT_EQ(server.output(), welcome() + c.asked + START_BANNER + END_BANNER);
  }
}

TEST_F(Unattended, ABreakEndsTheMatchWithTheReasonInTheLog) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    int32_t relay_a_reply;  // 0: the client goes silent instead
    const char* logged_line;
    const char* why;  // the end's reason: the one cause, logged once
    int slow_ms = 0;  // the client waits this long before each message of the turn
  } cases[] = {
      {"146 as the reply to relay_a",
       {},
       146,
       "ERROR player 0 \\(127\\.0\\.0\\.1:[0-9]+\\) broke the protocol in turn 1 at step "
       "'reply to relay_a': expected 147, got 146",
       "player 0 broke the protocol"},
      {"silent longer than the client timeout",
       {"--client-timeout", "1"},
       0,
       "WARN player 0 \\(127\\.0\\.0\\.1:[0-9]+\\) stayed silent for 1 s \\(the client timeout\\) "
       "in turn 1 at step 'relay_a'",
       "player 0 timed out"},
      // The time-out bounds what one client makes everyone wait in a turn,
      // not the wait for one message. Each message comes 200 ms late, far
      // inside the second even on a loaded machine; the turn's 11 take 2.2 s.
      // The step the second runs out at depends on the pace: any one will do.
      {"each message inside the client timeout, too slow in all",
       {"--client-timeout", "1"},
       147,
       "WARN player 0 \\(127\\.0\\.0\\.1:[0-9]+\\) kept everyone waiting in this turn for 1 s "
       "\\(the client timeout\\) in turn 1 at step '[a-z_ ]+'",
       "player 0 timed out",
       200},
      {"the same, served at once",
       {"--client-timeout", "1", "--concurrent"},
       147,
       "WARN player 0 \\(127\\.0\\.0\\.1:[0-9]+\\) kept everyone waiting in this turn for 1 s "
       "\\(the client timeout\\) in turn 1 at step '[a-z_ ]+'",
       "player 0 timed out",
       200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerProcess server;
    std::vector<std::string> args = {"localhost", "--humans", "1", "--bots", "0", "--map", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    put_bot_route_file(dir_.path(), "");
    server.start(dir_.path(), args, "", true);
    ASSERT_TRUE(server.wait_for_output(WAITING));
    TestClient client;
    client_join(client.link);
    int32_t index, map;
    client_learn(client.link, &index, &map);
    if (c.slow_ms > 0) {
      client.link.trace = [&c](bool outgoing, const char*, int32_t) {
        if (outgoing) std::this_thread::sleep_for(std::chrono::milliseconds(c.slow_ms));
      };
    }
    if (c.relay_a_reply != 0) {
      TurnReport report = at(5, 5);
      report.relay_a_reply = c.relay_a_reply;
      TurnView view;
      client_turn(client.link, report, 1, view);
    }
    EXPECT_EQ(server.wait_exit(), 1);
    const std::string log = server.errors();
    EXPECT_TRUE(logged(log, c.logged_line)) << log;
    EXPECT_TRUE(logged(log, std::string("INFO match over after [01] turns .*: ") + c.why + "\n"))
        << log;
    EXPECT_EQ(logged(log, "ERROR"), c.relay_a_reply == 146) << log;
  }
}

TEST_F(Unattended, DroppedClientsLeaveTheOthersPlayingWithFullTables) {
  put_bot_route_file(dir_.path(), kStillBot);
  dir_.write("dept0.txt", "10 20\n30 40\n");
  start({"--humans", "2", "--bots", "1", "--map", "0", "--drop-broken-clients"}, 2);
  join_all(3);
  TurnView view;
  ASSERT_TRUE(turn(0, at(1, 1), 3, &view));
  ASSERT_TRUE(turn(1, at(2, 2), 3, &view));
  ASSERT_TRUE(turn(0, at(7, 8), 3, &view));
  clients_[0]->close();
  for (int32_t t = 0; t < 3; ++t) {
    ASSERT_TRUE(turn(1, at(50 + t, 60), 3, &view)) << "turn " << t;
    EXPECT_EQ(view.players[0].x, 7);  // the dropped player keeps its last values
    EXPECT_EQ(view.players[1].x, 50 + t);
    EXPECT_EQ(view.players[2].y, 400);
  }
  EXPECT_TRUE(server_.running());
  clients_[1]->close();
  EXPECT_EQ(server_.wait_exit(), 1);
  const std::string log = server_.errors();
  EXPECT_TRUE(logged(log,
                     "WARN player 0 \\(127\\.0\\.0\\.1:[0-9]+\\) dropped in turn 3; 1 human "
                     "client left"))
      << log;
  EXPECT_TRUE(logged(log, "INFO match over after 4 turns .*: no human client is left")) << log;
}

// The duration in "match over after N turns in S s" counts from the start of
// the match: it can never exceed how long the server process lived, however
// fast or slow the machine. A match that ended before its first turn was
// once timed from the clock's origin (the machine's uptime).
TEST_F(Unattended, TheMatchIsTimedFromItsStart) {
  using Clock = std::chrono::steady_clock;
  put_bot_route_file(dir_.path(), "");
  const struct {
    const char* name;
    std::vector<std::string> args;
    int turns_played;  // -1: the client greets, then closes during the handshake
  } cases[] = {
      {"gone in the handshake, dropped", {"--drop-broken-clients"}, -1},
      {"gone in the handshake", {}, -1},
      {"gone after a turn, dropped", {"--drop-broken-clients"}, 1},
      {"gone after a turn", {}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"localhost", "--humans", "1", "--bots", "0", "--map", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ServerProcess server;
    const auto started = Clock::now();
    server.start(dir_.path(), args, "", true);
    ASSERT_TRUE(server.wait_for_output(WAITING));
    {
      TestClient client;
      // A connection that closes before it greets takes no slot with
      // --drop-broken-clients: this one has greeted.
      client.send(ACK);
      client.recv();
      if (c.turns_played >= 0) {
        client.send(1);
        int32_t index, map;
        client_learn(client.link, &index, &map);
        TurnView view;
        ASSERT_TRUE(client_turn(client.link, at(1, 1), 1, view));
      }
    }
    EXPECT_EQ(server.wait_exit(), 1);
    const double lived = std::chrono::duration<double>(Clock::now() - started).count();
    std::string log = server.errors();
    log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());
    std::smatch found;
    ASSERT_TRUE(std::regex_search(log, found,
                                  std::regex("INFO match over after ([0-9]+) turns in "
                                             "([0-9]+\\.[0-9]) s: ")))
        << log;
    EXPECT_EQ(found[1].str(), std::to_string(std::max(c.turns_played, 0)));
    // The log rounds to a tenth of a second.
    EXPECT_LE(std::stod(found[2].str()), lived + 0.05) << log;
  }
}

TEST_F(Unattended, LogFileAndQuiet) {
  put_bot_route_file(dir_.path(), "");
  const struct {
    std::vector<std::string> args;
    bool info_in_file, info_on_stderr;
  } cases[] = {
      {{"--log", "server.log"}, true, false},
      {{"--log", "server.log", "--quiet"}, false, false},
      {{"--quiet"}, false, false},
      {{}, false, true},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(dir_.path() + "/server.log");
    ServerProcess server;
    std::vector<std::string> args = {"localhost", "--humans", "0", "--bots", "0", "--map", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    server.start(dir_.path(), args, "", true);
    EXPECT_EQ(server.wait_exit(), 0);
    const std::string file = read_file(dir_.path() + "/server.log");
    EXPECT_EQ(logged(file, "INFO match over after 0 turns"), c.info_in_file) << file;
    EXPECT_EQ(logged(server.errors(), "INFO match over"), c.info_on_stderr) << server.errors();
  }
}

TEST_F(Unattended, AConfigFileGivesTheOptions) {
  put_bot_route_file(dir_.path(), "");
  dir_.write("lan1.ini", "humans = 0\nbots = 0\nmap = 4\nquiet = true\n");
  ServerProcess server;
  server.start(dir_.path(), {"localhost", "--config", "lan1.ini"}, "", true);
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_EQ(server.output(), welcome() + START_BANNER + END_BANNER);
  EXPECT_FALSE(logged(server.errors(), "INFO")) << server.errors();
}

// A signal ends the match cleanly: the end banner, exit code 0, a log line.
// SIGHUP counts as the end of the console input.
TEST_F(Unattended, SignalsEndTheMatchCleanly) {
  if (server_is_windows()) GTEST_SKIP() << "Wine does not pass POSIX signals to the server";
  put_bot_route_file(dir_.path(), kStillBot);
  const struct {
    int signal_number;
    int humans;  // 0: a match whose bots wait for keys
    const char* logged_line;
  } cases[] = {
      {SIGTERM, 1, "INFO match stopped by SIGTERM after 1 turns"},
      {SIGINT, 1, "INFO match stopped by SIGINT after 1 turns"},
      {SIGHUP, 0, "INFO match over after 0 turns .*: the console input ended"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged_line);
    ServerProcess server;
    server.start(dir_.path(),
                 {"localhost", "--humans", std::to_string(c.humans), "--bots", "1", "--map", "0"},
                 "", false);
    if (c.humans == 1) {
      ASSERT_TRUE(server.wait_for_output(WAITING));
      TestClient client;
      client_join(client.link);
      int32_t index, map;
      client_learn(client.link, &index, &map);
      TurnView view;
      ASSERT_TRUE(client_turn(client.link, at(1, 1), 2, view));
      // The ACK of the next turn's first message: the first turn is over.
      client.send(NO_VALUE);
      ASSERT_EQ(client.recv(), ACK);
      server.send_signal(c.signal_number);
      EXPECT_EQ(server.wait_exit(), 0);
    } else {
      ASSERT_TRUE(server.wait_for_output(START_BANNER));
      server.send_signal(c.signal_number);
      EXPECT_EQ(server.wait_exit(), 0);
    }
    const std::string output = server.output();
    EXPECT_EQ(output.substr(output.size() - std::strlen(END_BANNER)), END_BANNER) << output;
    EXPECT_TRUE(logged(server.errors(), c.logged_line)) << server.errors();
  }
}

// A port another program holds, or an address given to --bind that is not
// one of this machine's, cannot be bound: the server ends before it waits
// for anyone, and says why in the usual words (Windows' own or, where the
// system has none, ours).
TEST_F(Unattended, APortThatCannotBeBoundEndsTheServerWithTheReason) {
  put_bot_route_file(dir_.path(), "");
  std::string err;
  const SocketHandle holder = socket_bind("127.0.0.1", test_port(), &err);
  ASSERT_TRUE(socket_listen(holder, 1, &err)) << err;
  const struct {
    const char* bind;
    const char* reason;
  } cases[] = {
      {"127.0.0.1", "(address already in use|only one usage of each socket address)"},
      {"192.0.2.1", "(cannot assign requested address|the requested address is not valid)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bind);
    ServerProcess server;
    server.start(dir_.path(),
                 {"localhost", "--humans", "1", "--bots", "0", "--map", "0", "--bind", c.bind}, "",
                 true);
    EXPECT_EQ(server.wait_exit(), 3);
    EXPECT_EQ(server.output(), welcome());
    const std::regex reason(
        "ERROR cannot bind TCP port " + std::to_string(test_port()) + ": " + c.reason + "[ \\r\\n]",
        std::regex::icase);
    EXPECT_TRUE(std::regex_search(server.errors(), reason)) << server.errors();
  }
  // A port the config file gives is named with its file and line, as every
  // other value of the file is.
  dir_.write("match.ini", "humans = 1\nport = " + std::to_string(test_port()) +
                              "\nbots = 0\nmap = 0\nbind = 127.0.0.1\n");
  ServerProcess server;
  server.port_in_config = true;
  server.start(dir_.path(), {"--config", "match.ini"}, "", true);
  EXPECT_EQ(server.wait_exit(), 3);
  EXPECT_TRUE(std::regex_search(
      server.errors(),
      std::regex("ERROR match.ini:2: cannot bind TCP port " + std::to_string(test_port()) + ": ")))
      << server.errors();
  socket_close(holder);
}

}  // namespace
