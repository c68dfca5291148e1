// The server short of file descriptors, and given files it must not read or
// write: a device, a FIFO, a port its own view holds, a log that cannot be
// written.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "console/texts.h"
#include "net/socket.h"
#include "server/exit_codes.h"
#include "tests/server_process.h"

namespace {

using Clock = std::chrono::steady_clock;

size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The status of GET / on the view, 0 when there is no answer.
int view_status() {
  std::string err;
  const SocketHandle s = socket_connect("127.0.0.1", view_port(), &err);
  if (s == INVALID_SOCKET_HANDLE) return 0;
  const std::string request = "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  socket_send(s, request.data(), request.size());
  socket_set_receive_timeout(s, 5000);
  char head[16] = {};
  const size_t got = socket_recv(s, head, sizeof head - 1);
  socket_close(s, true);
  return got >= 12 && std::string(head, 9) == "HTTP/1.1 " ? std::stoi(std::string(head + 9, 3)) : 0;
}

class Resources : public ::testing::Test {
 protected:
  void SetUp() override {
    if (server_is_windows()) GTEST_SKIP() << "resource limits are set for a POSIX process";
    dir_.write("bot.txt", "");
    dir_.write("dept0.txt", "1 2\n3 4\n");
  }
  TempDir dir_;
  ServerProcess server_;
};

// With its descriptors used up, the view's accept fails while browsers
// wait: the view pauses instead of trying again at once, says so once, and
// serves again once descriptors are free.
TEST_F(Resources, AViewOutOfDescriptorsPausesAndSaysSoOnce) {
  // The sanitizers check objects through pipes of their own: out of
  // descriptors, they report every object they cannot look at.
  if (kSanitized) GTEST_SKIP() << "the sanitizers' runtime needs descriptors this case takes away";
  server_.limits = {{RLIMIT_NOFILE, 16}};
  // No human, and a bot that waits for a key that never comes: the match
  // thread takes no descriptor (an accept on the game port out of
  // descriptors fails at once, and would end the match) while the view's run
  // out.
  server_.start(dir_.path(),
                {"--humans", "0", "--bots", "1", "--map", "0", "--http",
                 "127.0.0.1:" + std::to_string(view_port())},
                "", false);
  ASSERT_TRUE(server_.wait_for_output(START_BANNER)) << server_.errors();
  std::vector<SocketHandle> browsers;
  std::string err;
  for (int i = 0; i < 24; ++i) {
    const SocketHandle s = socket_connect("127.0.0.1", view_port(), &err);
    ASSERT_NE(s, INVALID_SOCKET_HANDLE) << err;
    browsers.push_back(s);
  }
  // Accepting again at once kept the view's thread running; it wakes only
  // for its pause and the match's heartbeat.
  EXPECT_EQ(unrest(server_.pid(), std::chrono::seconds(1), RESTING_WAKEUPS), "")
      << server_.errors();
  for (const SocketHandle s : browsers) socket_close(s, true);
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  while (view_status() != 200 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(view_status(), 200);
  EXPECT_EQ(
      count_of(server_.errors(), "the live view cannot accept connections (Too many open files)"),
      1u)
      << server_.errors();
}

TEST_F(Resources, AGamePortOutOfDescriptorsNamesTheReason) {
  // The three standard descriptors, the listener and the first client.
  server_.limits = {{RLIMIT_NOFILE, 5}};
  server_.start(dir_.path(), {"--humans", "2", "--bots", "0", "--map", "0"}, "", true);
  ASSERT_TRUE(server_.wait_for_output(WAITING)) << server_.errors();
  TestClient first;
  client_join(first.link);
  EXPECT_TRUE(
      server_.wait_for_log("player 1: the connection could not be accepted (Too many open files)"))
      << server_.errors();
}

// With --rejoin the game port is watched during the match: out of
// descriptors, a waiting connection cannot be accepted, and the server must
// rest instead of trying again at every look.
TEST_F(Resources, ARejoinPortOutOfDescriptorsRestsAndSaysSoOnce) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers' runtime needs descriptors this case takes away";
  // The three standard descriptors, the listener and the two clients.
  server_.limits = {{RLIMIT_NOFILE, 6}};
  server_.start(dir_.path(),
                {"--humans", "2", "--bots", "0", "--map", "0", "--rejoin", "--concurrent"}, "",
                true);
  ASSERT_TRUE(server_.wait_for_output(WAITING)) << server_.errors();
  TestClient players[2];
  std::atomic<int> seated{0};
  std::atomic<bool> holding_wanted{false};
  std::atomic<int> holding{0};
  ClientThreads playing;
  for (TestClient& player : players) {
    playing.start([&player, &playing, &seated, &holding_wanted, &holding] {
      client_join(player.link);
      int32_t index = 0, map = 0;
      client_learn(player.link, &index, &map);
      ++seated;
      TurnView view;
      while (!playing.stop && client_turn(player.link, TurnReport{}, 2, view)) {
        if (holding_wanted) {
          ++holding;
          while (!playing.stop) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      // Gone at once: the other player may have begun its next turn, which
      // waits for this one's report (there is no client time-out).
      player.close();
    });
  }
  // The extra connection only once both players know their index: made
  // earlier, it could be accepted before the second player's, in its slot,
  // and then never speak.
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (seated < 2 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(seated, 2) << "the players were not told their index: " << server_.errors();
  std::string err;
  const SocketHandle extra = socket_connect("127.0.0.1", test_port(), &err);
  ASSERT_NE(extra, INVALID_SOCKET_HANDLE) << err;
  // The accept fails once the server looks at the listener.
  EXPECT_TRUE(server_.wait_for_log(": Too many open files; trying again every second"))
      << server_.errors();
  // The players hold between two turns: the server waits for them, and
  // with them for the listener, which stays ready while the connection
  // waits. Trying again at every look kept the server running.
  holding_wanted = true;
  const auto held_by = Clock::now() + std::chrono::seconds(20);
  while (holding < 2 && Clock::now() < held_by) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(holding, 2) << "the players did not hold: " << server_.errors();
  EXPECT_EQ(unrest(server_.pid(), std::chrono::seconds(1), RESTING_WAKEUPS), "")
      << server_.errors();
  playing.join_all();
  socket_close(extra, true);
  EXPECT_EQ(count_of(server_.errors(), ": Too many open files; trying again every second"), 1u)
      << server_.errors();
}

// Each is refused at once with a usage error; a FIFO without a writer would
// hold the server in open, a device would be read without end.
TEST_F(Resources, FilesThatAreNoRegularFilesAreRefusedAtOnce) {
  ASSERT_EQ(mkfifo((dir_.path() + "/fifo").c_str(), 0600), 0);
  const std::string view = "127.0.0.1:" + std::to_string(view_port());
  const std::vector<std::string> match = {"--humans", "0", "--bots", "0", "--map", "0"};
  const struct {
    std::vector<std::string> args;
    const char* named;
  } cases[] = {
      {{"--config", "/dev/zero"}, "--config: cannot read '/dev/zero': not a regular file"},
      {{"--config", "fifo"}, "--config: cannot read 'fifo': not a regular file"},
      {{"--config", "big.ini"}, "--config: cannot read 'big.ini': larger than 1048576 bytes"},
      {{"--replay", "/dev/zero", "--http", view}, "--replay: '/dev/zero': not a regular file"},
      {{"--replay", "fifo", "--http", view}, "--replay: 'fifo': not a regular file"},
      {{"--record", "fifo"}, "--record: 'fifo': not a regular file"},
      {{"--record", "/dev/null"}, "--record: '/dev/null': not a regular file"},
  };
  dir_.write("big.ini", "; " + std::string(1024 * 1024, 'x') + "\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), match.begin(), match.end());
    ServerProcess server;
    server.start(dir_.path(), args, "", true);
    EXPECT_EQ(server.wait_exit(), EXIT_USAGE);
    EXPECT_NE(server.errors().find(c.named), std::string::npos) << server.errors();
    EXPECT_EQ(server.output(), "");
  }
}

// The remote console's listener out of descriptors: it rests a second
// between accepts, as the game's port does, instead of spinning.
TEST_F(Resources, ARemoteConsoleOutOfDescriptorsRestsAndSaysSo) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers' runtime needs descriptors this case takes away";
  dir_.write("password", "a-long-test-secret\n");
  const uint16_t rcon_port = free_port();
  // The three standard descriptors, the two listeners and one connection.
  server_.limits = {{RLIMIT_NOFILE, 6}};
  server_.start(
      dir_.path(),
      {"--humans", "1", "--bots", "0", "--map", "0", "--rcon",
       "127.0.0.1:" + std::to_string(rcon_port), "--rcon-password-file", dir_.path() + "/password"},
      "", true);
  ASSERT_TRUE(server_.wait_for_output(WAITING)) << server_.errors();
  std::vector<SocketHandle> held;
  for (int i = 0; i < 3; ++i) {
    std::string err;
    held.push_back(socket_connect("127.0.0.1", rcon_port, &err));
    ASSERT_NE(held.back(), INVALID_SOCKET_HANDLE) << err;
  }
  EXPECT_TRUE(
      server_.wait_for_log("the remote console cannot accept a connection (Too many open "
                           "files): it rests a second"))
      << server_.errors();
  EXPECT_EQ(unrest(server_.pid(), std::chrono::seconds(1), RESTING_WAKEUPS), "")
      << server_.errors();
  for (const SocketHandle socket : held) socket_close(socket, true);
  server_.kill();
}

// The watch the cases above rely on tells a process that rests from one
// that spins, one that polls in a short loop and one that has ended.
TEST(Unrest, TellsARestFromASpinAShortPollAndAnEnd) {
  const struct {
    const char* name;
    void (*body)();
    const char* told;  // empty: it rests
  } cases[] = {
      {"sleeps", [] { pause(); }, ""},
      {"spins",
       [] {
         volatile bool going = true;
         while (going) {
         }
       },
       "ran or was ready to run"},
      {"polls every millisecond",
       [] {
         const timespec millisecond{0, 1000000};
         for (;;) nanosleep(&millisecond, nullptr);
       },
       "wake-ups"},
      {"has ended", [] { _exit(0); }, "not running"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      c.body();
      _exit(0);
    }
    // The child's start (or its end) is under way before it is watched.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string told = unrest(child, std::chrono::milliseconds(500), RESTING_WAKEUPS);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    if (*c.told == '\0') {
      EXPECT_EQ(told, "");
    } else {
      EXPECT_NE(told.find(c.told), std::string::npos) << told;
    }
  }
}

TEST_F(Resources, ALogThatCannotBeWrittenIsReportedOnceAndTheMatchPlays) {
  server_.start(dir_.path(), {"--log", "/dev/full", "--humans", "0", "--bots", "0", "--map", "0"},
                "", true);
  EXPECT_EQ(server_.wait_exit(), EXIT_MATCH_OVER);
  EXPECT_EQ(count_of(server_.errors(), "ERROR the log file '/dev/full' cannot be written ("), 1u)
      << server_.errors();
  EXPECT_NE(server_.output().find("LA PARTIE EST TERMINEE"), std::string::npos);
}

TEST_F(Resources, AGamePortTheViewAsksForTooIsRefusedAtStart) {
  const std::string port = std::to_string(view_port());
  server_.start(
      dir_.path(),
      {"--port", port, "--http", "127.0.0.1:" + port, "--humans", "1", "--bots", "0", "--map", "0"},
      "", true);
  EXPECT_EQ(server_.wait_exit(), EXIT_USAGE);
  EXPECT_NE(server_.errors().find("--port " + port + " and --http 127.0.0.1:" + port +
                                  " ask for the same port"),
            std::string::npos)
      << server_.errors();
  EXPECT_EQ(server_.output(), "") << "refused before the welcome";
}

}  // namespace
