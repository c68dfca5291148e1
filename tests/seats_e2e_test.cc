// Seats, the lobby and the walker against the real server: a joiner served
// while a slow player is waited for, a client that stops reading, connections
// that take no seat, and a log nobody reads.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
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

// A network of the case's own, made on this thread (the server and the
// clients it starts are in it) and left for the one the case began in at the
// end, so that the small buffers set in it reach no other case.
class OwnNetwork {
 public:
  OwnNetwork() {
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY);
    if (original_ < 0 || ::unshare(CLONE_NEWNET) != 0) return;
    entered_ = true;
    const int control = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq loopback{};
    std::strcpy(loopback.ifr_name, "lo");
    loopback.ifr_flags = IFF_UP;
    ready_ = control >= 0 && ::ioctl(control, SIOCSIFFLAGS, &loopback) == 0;
    if (control >= 0) ::close(control);
  }
  ~OwnNetwork() {
    if (entered_) ::setns(original_, CLONE_NEWNET);
    if (original_ >= 0) ::close(original_);
  }
  OwnNetwork(const OwnNetwork&) = delete;
  OwnNetwork& operator=(const OwnNetwork&) = delete;

  // Whether the network is there and a setting of it took value.
  bool set(const char* setting, const char* value) const {
    if (!ready_) return false;
    const int fd = ::open(setting, O_WRONLY);
    const bool written = fd >= 0 && ::write(fd, value, std::strlen(value)) > 0;
    if (fd >= 0) ::close(fd);
    return written;
  }

 private:
  int original_ = -1;
  bool entered_ = false, ready_ = false;
};

template <typename Condition>
bool within_20_s(Condition condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

bool holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// How the stall of a client that stops reading ends.
enum class StallEnd {
  MatchOver,  // its time-out ends the match
  Dropped,    // its time-out drops it, and the others play on
  Kicked,     // no time-out: the operator's kick
};

struct StallCase {
  const char* name;
  std::vector<std::string> options;
  StallEnd end;
};

std::ostream& operator<<(std::ostream& out, const StallCase& c) {
  return out << c.name;
}

class StopsReading : public ::testing::TestWithParam<std::tuple<StallCase, const char*>> {};

// Player 1 keeps sending its side of the conversation and never reads;
// players 0 and 2 play. Once the server's send buffer to player 1 is full,
// only player 1 is charged and named, and while it is waited for the match
// thread stays awake and the console's commands run.
TEST_P(StopsReading, OnlyItsOwnSeatWaits) {
  const auto& [c, scheduler] = GetParam();
  if (server_is_windows()) GTEST_SKIP() << "a network namespace of the case's own";
  OwnNetwork network;
  // Small send buffers: the server's send to a client that does not read
  // (its receive buffer made small too) waits within a few turns.
  if (!network.set("/proc/sys/net/ipv4/tcp_wmem", "4096 4096 4096")) {
    GTEST_SKIP() << "a network namespace of the case's own needs root";
  }
  TempDir dir;
  put_bot_route_file(dir.path(), "");
  dir.write("dept0.txt", "10 20 30\n40 50 60\n");
  std::vector<std::string> args = {"localhost", "--humans", "3", "--bots", "0", "--map", "0"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  if (*scheduler != '\0') args.push_back(scheduler);
  if (c.end == StallEnd::Kicked) {
    args.insert(args.end(), {"--console-commands", "--view-linger", "0", "--http",
                             "127.0.0.1:" + std::to_string(view_port())});
  }
  ServerProcess server;
  server.start(dir.path(), args, "", c.end != StallEnd::Kicked);
  ASSERT_TRUE(server.wait_until_listening()) << server.errors();
  std::unique_ptr<TestClient> clients[3];
  for (auto& client : clients) {
    client = std::make_unique<TestClient>();
    ASSERT_EQ(client_join(client->link), 3) << server.errors();
  }
  int32_t index = -1, map = -1;
  for (auto& client : clients) client_learn(client->link, &index, &map);
  ASSERT_EQ(index, 2);
  // Player 1 sends its answers for many turns at once before the others
  // play, and more while they play; it never reads. Each is what one receive
  // of the server takes, read as 147 (an answer to every step) however many
  // lie together.
  const int stopper = static_cast<int>(clients[1]->link.socket);
  const int small = 1024;
  ::setsockopt(stopper, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::string answers;
  while (answers.size() < 2000 * MESSAGE_LIMIT) answers += "147 ";
  const auto sending_until = Clock::now() + std::chrono::seconds(20);
  for (size_t sent = 0; sent < answers.size();) {
    const long n =
        ::send(stopper, answers.data() + sent, answers.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) sent += static_cast<size_t>(n);
    ASSERT_TRUE(n > 0 || errno == EAGAIN) << std::strerror(errno);
    ASSERT_LT(Clock::now(), sending_until) << "the server takes no more of player 1's answers";
    if (n <= 0) std::this_thread::sleep_for(milliseconds(10));
  }
  std::atomic<int> turns[2] = {0, 0};  // of players 0 and 2
  ClientThreads threads;
  threads.start([&] {
    while (!threads.stop &&
           (::send(stopper, answers.data(), MESSAGE_LIMIT, MSG_DONTWAIT | MSG_NOSIGNAL) > 0 ||
            errno == EAGAIN)) {
      std::this_thread::sleep_for(milliseconds(2));
    }
  });
  for (int k : {0, 1}) {
    threads.start([&, k] {
      TestClient& client = *clients[2 * k];
      TurnView view;
      // Values of many digits: the more bytes player 1 is sent each turn,
      // the sooner the server's send to it waits.
      TurnReport report;
      report.x = report.y = report.heading = -2000000000 - k;
      for (int turn = 1; !threads.stop && client_turn(client.link, report, 3, view); ++turn)
        ++turns[k];
    });
  }
  std::string log;
  if (c.end == StallEnd::Kicked) {
    // Until the others' turns have stood still for longer than a match
    // thread may sleep before /healthz fails: player 1 is waited for.
    const auto deadline = Clock::now() + std::chrono::seconds(40);
    auto still_since = Clock::now();
    for (int seen = -1;;) {
      const HttpReply health = http_get(view_port(), "/healthz");
      ASSERT_EQ(health.status, 200) << health.body;
      if (turns[0] + turns[1] != seen) {
        seen = turns[0] + turns[1];
        still_since = Clock::now();
      } else if (Clock::now() - still_since > std::chrono::seconds(12)) {
        break;
      }
      ASSERT_LT(Clock::now(), deadline) << "the match never waited for player 1";
      std::this_thread::sleep_for(milliseconds(250));
    }
    server.write_input("kick 1\n");
    EXPECT_TRUE(server.wait_for_output("player 1 kicked")) << server.output();
  } else {
    EXPECT_TRUE(server.wait_for_log(" for 2 s (the client timeout)")) << server.errors();
  }
  if (c.end == StallEnd::MatchOver) {
    EXPECT_EQ(server.wait_exit(), 1);
    EXPECT_TRUE(holds(server.errors(), "player 1 timed out")) << server.errors();
    log = server.errors();
  } else {
    if (c.end == StallEnd::Dropped) {
      EXPECT_TRUE(server.wait_for_log("dropped in turn")) << server.errors();
    }
    const int held = std::max(turns[0].load(), turns[1].load());
    EXPECT_TRUE(within_20_s([&] { return turns[0] > held + 2 && turns[1] > held + 2; }))
        << "the others play on: " << server.errors();
    log = server.errors();
    if (c.end == StallEnd::Kicked) server.write_input("end\n");
  }
  threads.join_all();
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (holds(line, "timed out") || holds(line, "kept everyone waiting") ||
        holds(line, "stayed silent") || holds(line, "dropped in turn") || holds(line, "kicked")) {
      EXPECT_TRUE(holds(line, "player 1 ")) << line;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    BothSchedulers, StopsReading,
    ::testing::Combine(::testing::Values(StallCase{"timed_out_ends_the_match",
                                                   {"--client-timeout", "2"},
                                                   StallEnd::MatchOver},
                                         StallCase{"timed_out_dropped",
                                                   {"--client-timeout", "2", "--rejoin"},
                                                   StallEnd::Dropped},
                                         StallCase{"kicked", {}, StallEnd::Kicked}),
                       ::testing::Values("", "--concurrent")),
    [](const auto& param_info) {
      return std::string(std::get<0>(param_info.param).name) +
             (*std::get<1>(param_info.param) == '\0' ? "_one_after_another" : "_at_once");
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
