// The server's console, driven as an operator would through pipes.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "console/texts.h"
#include "match/match.h"
#include "net/socket.h"
#include "tests/server_process.h"

namespace {

const char* const kStart = START_BANNER;
const char* const kEnd = END_BANNER;
const char* const kRouteError = ROUTE_ERROR;
const char* const kTwoBots =
    "1 2 3 4 5 6 7 8 9 1 2 3 4 5 6 7 8 9\n1 2 3 4 5 6 7 8 9 1 2 3 4 5 6 7 8 9\n";

class Console : public ::testing::Test {
 protected:
  TempDir dir_;
  ServerProcess server_;
};

// The other cases take the texts from where the server does; this one holds
// them byte for byte, as the operators know them.
TEST_F(Console, AMatchWithoutPlayersShowsEveryTextAndEnds) {
  put_bot_route_file(dir_.path(), kTwoBots);
  server_.start(dir_.path(), {"localhost"}, answers(0, 0, 0), true);
  ASSERT_EQ(server_.wait_exit(), 0);
  EXPECT_EQ(server_.output(),
            " ------------   BIENVENUE DANS LE SERVEUR ZOLT 1.5   ------------\n\n\n"
            "\nL'ADRESSE IP DU SERVEUR EST 127.0.0.1."
            "\n\nTaper le nombre de joueurs humains : "
            "\nTaper le nombre de joueurs CPU : "
            "\n\n*******Maps Disponibles********"
            "\n  map 0 : Torvallind level 0 "
            "\n  map 1 : Vevoder            "
            "\n  map 2 : Zovezivadi Zavo    "
            "\n  map 3 : Ved Oravo vo dizav "
            "\n  map 4 : Rovudazizado       "
            "\n*******************************"
            "\n\nTaper le numero de la map : "
            "\n\n ------------     LA PARTIE EST COMMENCEE.     ------------\n"
            "\n\n ------------     LA PARTIE EST TERMINEE.     ------------\n");
}

TEST_F(Console, AMissingBotRouteFileIsReportedOnceWithoutBots) {
  put_bot_route_file(dir_.path(), nullptr);
  server_.start(dir_.path(), {"localhost"}, answers(0, 0, 3), true);
  ASSERT_EQ(server_.wait_exit(), 0);
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + kRouteError + kStart + kEnd);
}

TEST_F(Console, WithoutAHostNameTheMachinesOwnAddressIsShown) {
  put_bot_route_file(dir_.path(), kTwoBots);
  server_.start(dir_.path(), {}, answers(0, 0, 0), true);
  ASSERT_EQ(server_.wait_exit(), 0);
  const std::string output = server_.output();
  std::smatch found;
  ASSERT_TRUE(
      std::regex_search(output, found, std::regex("L'ADRESSE IP DU SERVEUR EST ([0-9.]+)\\.\n")));
  if (!server_is_windows()) {
    char own[DOTTED_SIZE];
    std::string err;
    resolve_first_ipv4(nullptr, own, &err);
    EXPECT_EQ(found[1].str(), own) << err;
  }
  EXPECT_EQ(output, dialogue_output(found[1].str()) + kStart + kEnd);
}

TEST_F(Console, BadAnswersAreRefusedAndAskedAgain) {
  put_bot_route_file(dir_.path(), kTwoBots);
  server_.start(dir_.path(), {"localhost"},
                "abc\n-1\n1000001\n0\nx y z\n1000001\n 0\n3.5\n99999999999\n-7\n", true);
  ASSERT_EQ(server_.wait_exit(), 0);
  const std::string humans = HUMANS_PROMPT, bots = BOTS_PROMPT, map = MAP_PROMPT;
  const std::string not_integer = NOT_AN_INTEGER;
  char too_many[100];
  std::snprintf(too_many, sizeof too_many, TOO_MANY_PLAYERS, MAX_PLAYERS);
  std::string expected = dialogue_output("127.0.0.1");
  expected = expected.substr(0, expected.find(humans));
  expected += humans + not_integer + humans + NEGATIVE_COUNT + humans + too_many + humans;
  expected += bots + not_integer + bots + too_many + bots;
  expected += MAP_LIST + map + not_integer + map + OUT_OF_RANGE + map;
  EXPECT_EQ(server_.output(), expected + kStart + kEnd);
}

TEST_F(Console, TheEndOfInputDuringTheDialogueEndsTheServerWithCode2) {
  server_.start(dir_.path(), {"localhost"}, "1\n", true);
  EXPECT_EQ(server_.wait_exit(), 2);
  EXPECT_NE(server_.errors().find("end of console input"), std::string::npos);
  EXPECT_EQ(server_.output().find("LA PARTIE"), std::string::npos);
}

// Without a console (standard input a pipe, as for a service) the keys come
// from standard input, on Windows too.
TEST_F(Console, WithoutHumansEveryBotStepWaitsForOneKey) {
  put_bot_route_file(dir_.path(), kTwoBots);
  server_.start(dir_.path(), {"localhost"}, answers(0, 2, 0), false);
  ASSERT_TRUE(server_.wait_for_output(kStart));
  // Each key is taken on its own; a server that went on without keys would
  // leave them unread, one that ended would too.
  for (const char* key : {"a", "b", "c"}) {
    server_.write_input(key);
    EXPECT_TRUE(server_.wait_until_input_taken()) << "key " << key;
  }
  EXPECT_TRUE(server_.running());
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + kStart);
  server_.close_input();
  ASSERT_EQ(server_.wait_exit(), 0);
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + kStart + kEnd);
}

TEST_F(Console, KeysTypedAheadAreTakenOnePerBotStep) {
  put_bot_route_file(dir_.path(), kTwoBots);
  // Two bots: keys a and b pace turn 1, c and d turn 2, e the first step of
  // turn 3, and the input ends at the second. Keys taken all at once, or two
  // a step, would play fewer turns.
  server_.start(dir_.path(), {"localhost"}, answers(0, 2, 0) + "abcde", true);
  ASSERT_EQ(server_.wait_exit(), 0);
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + kStart + kEnd);
  EXPECT_NE(server_.errors().find("match over after 2 turns"), std::string::npos)
      << server_.errors();
}

TEST_F(Console, AMissingBotRouteFileIsReportedAfterEachRead) {
  put_bot_route_file(dir_.path(), nullptr);
  server_.start(dir_.path(), {"localhost"}, answers(1, 1, 0), false);
  ASSERT_TRUE(server_.wait_for_output(WAITING));
  TestClient client;
  client_join(client.link);
  int32_t index, map;
  client_learn(client.link, &index, &map);
  ASSERT_TRUE(server_.wait_for_output(kStart));
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + kRouteError + WAITING + CONNECTING +
                                  peer_line("127.0.0.1") + CONNECTED + kRouteError + kStart);
}

// The log on the console's own pipe, as both are on a terminal: a log line
// that comes while the console's line is open starts a line of its own.
TEST_F(Console, ALogLineOnTheConsolesPipeStartsOnANewLine) {
  if (server_is_windows()) GTEST_SKIP() << "Windows tells a shared console or file, not a pipe";
  put_bot_route_file(dir_.path(), "");
  server_.log_to_output = true;
  server_.start(dir_.path(), {"localhost", "--humans", "1", "--bots", "0", "--map", "0"}, "", true);
  ASSERT_TRUE(server_.wait_for_output(WAITING));
  TestClient client;
  ASSERT_TRUE(server_.wait_for_output(" INFO player 0 joined"));
  const std::string stamp = "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z";
  EXPECT_TRUE(std::regex_search(server_.output(), std::regex("\nIP du PC : 127\\.0\\.0\\.1\n" +
                                                             stamp + " INFO player 0 joined")))
      << server_.output();
}

}  // namespace
