// What --trace and --check-clients tell a client author, and that the match
// plays on exactly as without them: the same bytes to the client, the same
// console, the same exit code.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "tests/server_process.h"

namespace {

// A client that makes the mistakes authors make in a match of one human, no
// bot: the handshake, one turn, then it leaves. Returns all it was sent.
std::string play_faulty_client() {
  TestClient client;
  std::string received;
  for (const char* bytes : {"147", "1", "147", "25xyz", "0", "-1-1", "99999999999", "-1", "+7",
                            "147", "146", "147", " 147", "147"}) {
    client.send_raw(bytes);
    received += client.recv_raw() + "|";
  }
  client.close();
  return received;
}

struct MatchRun {
  std::string received, console, log;
  int exit_code = -3;
};

MatchRun run_match(const std::vector<std::string>& extra) {
  TempDir dir;
  dir.write("dept0.txt", "40\n50\n");
  std::vector<std::string> args = {"localhost", "--humans", "1", "--bots", "0", "--map", "0"};
  args.insert(args.end(), extra.begin(), extra.end());
  ServerProcess server;
  server.start(dir.path(), args, "", true);
  if (!server.wait_until_listening()) return {};
  MatchRun run{play_faulty_client(), "", "", server.wait_exit()};
  run.console = server.output();
  run.log = server.errors();
  run.log.erase(std::remove(run.log.begin(), run.log.end(), '\r'), run.log.end());
  return run;
}

size_t count_of(const std::string& text, const std::string& pattern) {
  const std::regex re(pattern);
  return static_cast<size_t>(
      std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

TEST(CheckClients, NameEveryDepartureAndLeaveTheMatchAsItWas) {
  const MatchRun plain = run_match({});
  const MatchRun checked = run_match({"--check-clients", "--trace"});
  ASSERT_FALSE(plain.received.empty()) << plain.log;
  EXPECT_EQ(checked.received, plain.received);
  EXPECT_EQ(checked.console, plain.console);
  EXPECT_EQ(plain.exit_code, 1);
  EXPECT_EQ(checked.exit_code, plain.exit_code);
  // One warning per departure, in order, and the count of each kind.
  std::string warnings;
  const std::regex warning("WARN player 0 \\(127\\.0\\.0\\.1:[0-9]+\\) in turn 1 at (step [^\n]*)");
  for (std::sregex_iterator it(checked.log.begin(), checked.log.end(), warning), end; it != end;
       ++it) {
    warnings += (*it)[1].str() + "\n";
  }
  EXPECT_EQ(
      warnings,
      "step 'relay_a': \"25xyz\" is not exactly one integer; read as 25\n"
      "step 'relay_b': reads as 0, which the server takes as no value (-1)\n"
      "step 'x': \"-1-1\" holds two messages in one receive; read as -1; its messages may now "
      "be read a step out of place\n"
      "step 'y': \"99999999999\" is outside the 32-bit range; read as 2147483647\n"
      "step 'heading': \"+7\" is not exactly one integer; read as 7\n"
      "step 'reply to relay_b': replied 146, not 147; the server drops it\n"
      "step 'reply to pos_y': \" 147\" is not exactly one integer; read as 147\n");
  EXPECT_EQ(count_of(checked.log,
                     "departures from the protocol: 1 replies other than 147, 3 "
                     "messages not exactly one integer, 1 zeros read as no value, 1 "
                     "numbers outside 32 bits, 1 receives holding two messages\n"),
            1u);
  // The handshake's 6 messages and the turn's 2 x (4 + 7), the bytes beside
  // those that are not a plain number.
  EXPECT_EQ(count_of(checked.log, "INFO trace player 0 turn [01] (C->S|S->C) '"), 6u + 22u);
  EXPECT_EQ(count_of(checked.log, "turn 1 C->S 'x' -1 bytes \"-1-1\"\n"), 1u);
  EXPECT_EQ(count_of(checked.log, "turn 1 S->C 'heading of player 0' 7\n"), 1u);
  EXPECT_EQ(count_of(plain.log, "(trace|departures)"), 0u);
}

TEST(CheckClients, TheSummaryIsWrittenAtAStopToo) {
  if (server_is_windows()) GTEST_SKIP() << "Wine does not pass POSIX signals to the server";
  TempDir dir;
  ServerProcess server;
  server.start(dir.path(),
               {"localhost", "--humans", "1", "--bots", "0", "--map", "0", "--check-clients"}, "",
               true);
  ASSERT_TRUE(server.wait_until_listening());
  TestClient client;
  client.send(200);  // not the greeting
  ASSERT_EQ(client.recv(), 1);
  client.send(1);
  ASSERT_EQ(client.recv(), 0);
  server.send_signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_EQ(count_of(server.errors(),
                     "INFO match stopped by SIGTERM after 0 turns\n[^\n]*WARN "
                     "player 0 \\([^)]*\\) departures from the protocol: "
                     "1 greetings other than 147\n"),
            1u)
      << server.errors();
}

}  // namespace
