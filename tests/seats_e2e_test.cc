// Seats, the lobby and the walker against the real server: a joiner served
// while a slow player is waited for, connections that take no seat, and a
// log nobody reads.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/client.h"
#include "net/message.h"
#include "net/protocol.h"
#include "net/socket.h"
#include "tests/server_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Waits until the server's log holds text; false after 10 s.
bool logged(ServerProcess& server, const std::string& text) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (server.errors().find(text) == std::string::npos) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

TurnReport at(int32_t x, int32_t y) {
  TurnReport report;
  report.x = x;
  report.y = y;
  report.heading = 900;
  return report;
}

class SlowPlayer : public ::testing::TestWithParam<const char*> {};

// Player 0 answers each value of its report 0.4 s late, inside its time-out
// of 3 s; a client that takes player 1's free slot answers at once. It joins
// at once: the server serves it while it waits for player 0, and its time
// counts only its own silence.
TEST_P(SlowPlayer, APromptJoinerJoinsWhileTheServerWaitsForIt) {
  TempDir dir;
  put_bot_route_file(dir.path(), "");
  dir.write("dept0.txt", "10 20\n30 40\n");
  std::vector<std::string> args = {"localhost", "--humans", "2",        "--bots",           "0",
                                   "--map",     "0",        "--rejoin", "--client-timeout", "3"};
  if (*GetParam() != '\0') args.push_back(GetParam());
  ServerProcess server;
  server.start(dir.path(), args, "", true);
  ASSERT_TRUE(server.wait_until_listening()) << server.errors();
  TestClient slow;
  ASSERT_EQ(client_join(slow.link), 2);
  {
    TestClient leaving;
    ASSERT_EQ(client_join(leaving.link), 2);
    int32_t index = -1, map = -1;
    client_learn(slow.link, &index, &map);
    client_learn(leaving.link, &index, &map);
    ASSERT_EQ(index, 1);
  }
  std::atomic<int> slow_turns{0};
  slow.link.trace = [](bool outgoing, const char* step, int32_t) {
    if (outgoing && std::strcmp(step, "reply") != 0) std::this_thread::sleep_for(milliseconds(400));
  };
  // Joined on every way out, a failed assertion included.
  std::jthread playing([&](const std::stop_token& stop) {
    TurnView view;
    for (int turn = 0;
         !stop.stop_requested() && turn < 20 && client_turn(slow.link, at(1, turn), 2, view);
         ++turn) {
      ++slow_turns;
    }
  });
  ASSERT_TRUE(logged(server, "player 1 (127.0.0.1:")) << server.errors();
  ASSERT_TRUE(logged(server, "dropped in turn")) << server.errors();
  // The joiner comes while the slow player's exchange is under way.
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (slow_turns == 0 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  ASSERT_GT(slow_turns, 0) << server.errors();
  std::this_thread::sleep_for(milliseconds(200));
  TestClient joiner;
  EXPECT_EQ(client_join(joiner.link), 2);
  int32_t index = -1, map = -1;
  client_learn(joiner.link, &index, &map);
  EXPECT_EQ(index, 1);
  TurnView view;
  EXPECT_TRUE(client_turn(joiner.link, at(2, 0), 2, view)) << server.errors();
  EXPECT_TRUE(logged(server, "rejoined in turn")) << server.errors();
  playing.request_stop();
  playing.join();
  EXPECT_EQ(server.errors().find("did not finish joining"), std::string::npos) << server.errors();
  EXPECT_EQ(server.errors().find("timed out"), std::string::npos) << server.errors();
  slow.close();
  joiner.close();
  EXPECT_EQ(server.wait_exit(), 1);
}

INSTANTIATE_TEST_SUITE_P(BothSchedulers, SlowPlayer, ::testing::Values("", "--concurrent"),
                         [](const auto& param_info) {
                           return std::string(*param_info.param == '\0' ? "one_after_another"
                                                                        : "at_once");
                         });

// A bare connect-and-close before the players (a load balancer's check, a
// port scan), or one that says something other than the greeting and goes,
// takes no slot when the operator asked to survive broken clients.
TEST(Lobby, AConnectionThatClosesBeforeItGreetsTakesNoSlot) {
  for (const char* option : {"--drop-broken-clients", "--rejoin"})
    for (const bool says_one : {false, true}) {
      SCOPED_TRACE(std::string(option) + (says_one ? ", a stray that says 1" : ""));
      TempDir dir;
      put_bot_route_file(dir.path(), "");
      dir.write("dept0.txt", "10 20\n30 40\n");
      ServerProcess server;
      server.start(dir.path(), {"localhost", "--humans", "2", "--bots", "0", "--map", "0", option},
                   "", true);
      ASSERT_TRUE(server.wait_until_listening()) << server.errors();
      {
        TestClient stray;
        if (says_one) {
          // Its 1 is read once the echo it does not give is asked for.
          stray.send(1);
          EXPECT_EQ(stray.recv(), 2);
        }
      }
      // Windows may drop such a connection before the server takes it.
      if (!server_is_windows()) {
        ASSERT_TRUE(logged(server, "closed before it greeted; it takes no player's slot"))
            << server.errors();
      }
      TestClient first, second;
      ASSERT_EQ(client_join(first.link), 2);
      ASSERT_EQ(client_join(second.link), 2);
      int32_t index = -1, map = -1;
      client_learn(first.link, &index, &map);
      EXPECT_EQ(index, 0);
      client_learn(second.link, &index, &map);
      EXPECT_EQ(index, 1);
      TurnView view;
      EXPECT_TRUE(client_turn(first.link, at(1, 1), 2, view));
      EXPECT_TRUE(client_turn(second.link, at(2, 2), 2, view));
      if (!says_one) {
        EXPECT_EQ(server.errors().find(" left in turn 0"), std::string::npos) << server.errors();
      }
      first.close();
      second.close();
      EXPECT_EQ(server.wait_exit(), 1);
    }
}

// Times text occurs in log.
size_t count_of(const std::string& log, const std::string& text) {
  size_t count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
  return count;
}

// n connections that connect and close at once.
void strays(int n) {
  for (int i = 0; i < n; ++i) {
    std::string err;
    const SocketHandle stray = socket_connect("127.0.0.1", test_port(), &err);
    if (stray != INVALID_SOCKET_HANDLE) socket_close(stray);
  }
}

// A flood of connections that close at once, before the start and into a
// free slot during the match: a few lines each, then counts.
TEST(Lobby, AFloodOfStraysIsPacedInTheLog) {
  TempDir dir;
  put_bot_route_file(dir.path(), "");
  dir.write("dept0.txt", "10 20\n30 40\n");
  ServerProcess server;
  server.start(dir.path(), {"localhost", "--humans", "2", "--bots", "0", "--map", "0", "--rejoin"},
               "", true);
  ASSERT_TRUE(server.wait_until_listening()) << server.errors();
  strays(300);
  TestClient first;
  {
    TestClient leaving;
    ASSERT_EQ(client_join(first.link), 2);
    ASSERT_EQ(client_join(leaving.link), 2);
    int32_t index = -1, map = -1;
    client_learn(first.link, &index, &map);
    client_learn(leaving.link, &index, &map);
    ASSERT_EQ(index, 1);
    TurnView view;
    ASSERT_TRUE(client_turn(first.link, at(1, 1), 2, view));
  }
  // The server waits for player 0's next report and serves joiners meanwhile.
  ASSERT_TRUE(logged(server, "dropped in turn")) << server.errors();
  const std::string before_the_match = server.errors();
  EXPECT_EQ(count_of(before_the_match, " joined from "), 2u) << before_the_match;
  EXPECT_LE(count_of(before_the_match, "closed before it greeted"), 4u) << before_the_match;
  strays(300);
  // Accepted after every stray, a client gets the slot (one refused while
  // a stray held it tries again).
  int32_t index = -1;
  for (int tries = 0; tries < 400 && index != 1; ++tries) {
    TestClient joiner;
    if (client_join(joiner.link) != 2) continue;
    int32_t map = -1;
    client_learn(joiner.link, &index, &map);
  }
  EXPECT_EQ(index, 1);
  const std::string log = server.errors().substr(before_the_match.size());
  EXPECT_LE(count_of(log, "takes the dropped player's slot"), 4u) << log;
  EXPECT_LE(count_of(log, "did not finish joining"), 4u) << log;
  EXPECT_LE(count_of(log, " left in turn "), 1u) << log;
}

// With --rejoin and no --client-timeout, a silent connection that takes a
// free slot has a bounded time to join; the rightful player then takes it.
TEST(Lobby, ASilentJoinerCannotSquatAFreeSlot) {
  TempDir dir;
  put_bot_route_file(dir.path(), "");
  dir.write("dept0.txt", "10 20\n30 40\n");
  ServerProcess server;
  server.start(
      dir.path(),
      {"localhost", "--humans", "2", "--bots", "0", "--map", "0", "--rejoin", "--join-time", "1"},
      "", true);
  ASSERT_TRUE(server.wait_until_listening()) << server.errors();
  TestClient first;
  {
    TestClient leaving;
    ASSERT_EQ(client_join(first.link), 2);
    ASSERT_EQ(client_join(leaving.link), 2);
    int32_t index = -1, map = -1;
    client_learn(first.link, &index, &map);
    client_learn(leaving.link, &index, &map);
  }
  std::jthread playing([&](const std::stop_token& stop) {
    TurnView view;
    for (int turn = 0; !stop.stop_requested() && client_turn(first.link, at(1, turn), 2, view);
         ++turn) {
      std::this_thread::sleep_for(milliseconds(5));
    }
  });
  ASSERT_TRUE(logged(server, "dropped in turn")) << server.errors();
  TestClient squatter;
  ASSERT_TRUE(logged(server, "player 1: a client from")) << server.errors();
  EXPECT_TRUE(logged(server, "did not finish joining within 1 s")) << server.errors();
  EXPECT_TRUE(logged(server, "did not finish joining; the slot stays free")) << server.errors();
  TestClient rightful;
  EXPECT_EQ(client_join(rightful.link), 2);
  int32_t index = -1, map = -1;
  client_learn(rightful.link, &index, &map);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(server.errors().find("kept everyone waiting"), std::string::npos) << server.errors();
}

// The body of GET path on the live view; empty without an answer.
std::string view_get(const std::string& path) {
  return http_get(view_port(), path).body;
}

// Waits up to 10 s until GET path's answer holds text.
bool view_shows(const std::string& path, const std::string& text) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (view_get(path).find(text) == std::string::npos) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

// What the view says of the seats: ready only while a seat is really free,
// and, served at once, the seat the match actually waits for.
TEST(View, ReadyOnlyWithAFreeSeatAndNamesTheSeatWaitedFor) {
  TempDir dir;
  put_bot_route_file(dir.path(), "");
  dir.write("dept0.txt", "10 20 30\n40 50 60\n");
  ServerProcess server;
  server.start(dir.path(),
               {"localhost", "--humans", "3", "--bots", "0", "--map", "0", "--rejoin",
                "--concurrent", "--http", "127.0.0.1:" + std::to_string(view_port())},
               "", true);
  ASSERT_TRUE(server.wait_until_listening()) << server.errors();
  ASSERT_TRUE(view_shows("/readyz", "a player can join"));
  TestClient clients[3];
  for (TestClient& client : clients) ASSERT_EQ(client_join(client.link), 3);
  // Every seat taken, none numbered yet: nobody else can join.
  EXPECT_TRUE(view_shows("/readyz", "no player can join"));
  int32_t index = -1, map = -1;
  for (TestClient& client : clients) client_learn(client.link, &index, &map);
  // Players 1 and 2 report; player 0 says nothing after its relay_a.
  clients[0].send(5);
  ASSERT_EQ(clients[0].recv(), ACK);
  std::thread others[2];
  for (int q : {1, 2}) {
    others[q - 1] = std::thread([&clients, q] {
      TurnView view;
      client_turn(clients[q].link, at(q, q), 3, view);
    });
  }
  EXPECT_TRUE(view_shows("/view.json", "\"waiting\": {\"player\": 0,")) << view_get("/view.json");
  clients[0].close();
  for (std::thread& other : others) other.join();
  for (TestClient& client : clients) client.close();
  EXPECT_EQ(server.wait_exit(), 1);
}

// The log goes to a pipe whose reader stopped reading: the match plays on,
// the lines that could not be written are counted, and a stop still ends it.
TEST(Log, AReaderThatStopsReadingHoldsNothing) {
  if (server_is_windows()) GTEST_SKIP() << "a named pipe and a POSIX signal";
  TempDir dir;
  put_bot_route_file(dir.path(), "");
  dir.write("dept0.txt", "10 20\n");
  const std::string fifo = dir.path() + "/log";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Opened for reading (so that the server's open goes through), never read.
  std::thread opener;
  int reader = -1;
  opener = std::thread([&] { reader = ::open(fifo.c_str(), O_RDONLY); });
  ServerProcess server;
  server.start(
      dir.path(),
      {"localhost", "--humans", "1", "--bots", "0", "--map", "0", "--trace", "--log", "log"}, "",
      true);
  opener.join();
  ASSERT_GE(reader, 0);
  TestClient client;
  ASSERT_EQ(client_join(client.link), 1);
  int32_t index = -1, map = -1;
  client_learn(client.link, &index, &map);
  // Every message traced: the pipe's 64 KB are full within these turns.
  TurnView view;
  for (int turn = 0; turn < 400; ++turn)
    ASSERT_TRUE(client_turn(client.link, at(turn, 1), 1, view));
  std::string log;
  char buffer[65536];
  fcntl(reader, F_SETFL, O_NONBLOCK);
  const auto drain = [&] {
    for (ssize_t got; (got = ::read(reader, buffer, sizeof buffer)) > 0;) {
      log.append(buffer, static_cast<size_t>(got));
    }
  };
  // Read again: the next line says how many were lost meanwhile.
  drain();
  ASSERT_TRUE(client_turn(client.link, at(0, 1), 1, view));
  server.send_signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0);
  drain();
  ::close(reader);
  EXPECT_NE(log.find("log lines were lost: the log's reader did not read them in time"),
            std::string::npos)
      << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
}

// Standard output is a pipe nobody reads: a flood of connections fills it
// with their console lines, and the server still greets and still stops.
TEST(ConsoleOutput, APipeNobodyReadsHoldsNothing) {
  if (server_is_windows()) GTEST_SKIP() << "the Windows console writes as always";
  TempDir dir;
  put_bot_route_file(dir.path(), "");
  dir.write("dept0.txt", "10 20\n");
  ServerProcess server;
  server.output_unread = true;
  // Without --rejoin each connection is a player's and prints its console
  // texts, about 84 bytes: a thousand are more than the pipe's 64 KB and
  // fewer than the listener holds waiting.
  server.start(dir.path(), {"localhost", "--humans", "1100", "--bots", "0", "--map", "0"}, "",
               true);
  ASSERT_TRUE(server.wait_until_listening()) << server.errors();
  strays(1000);
  // The next client is still greeted, and a stop still ends the server.
  TestClient client;
  EXPECT_EQ(client_join(client.link), 1100) << server.errors();
  server.send_signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0) << server.errors();
}

}  // namespace
