// The server's console, driven as an operator would through pipes.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "net/socket.h"
#include "tests/server_process.h"

namespace {

const char* const kStart = "\n\n ------------     LA PARTIE EST COMMENCEE.     ------------\n";
const char* const kEnd = "\n\n ------------     LA PARTIE EST TERMINEE.     ------------\n";
const char* const kRouteError = "\n Erreur lors du chargement des bots !";
const char* const kTwoBots =
    "1 2 3 4 5 6 7 8 9 1 2 3 4 5 6 7 8 9\n1 2 3 4 5 6 7 8 9 1 2 3 4 5 6 7 8 9\n";

class Console : public ::testing::Test {
 protected:
  TempDir dir_;
  ServerProcess server_;
};

TEST_F(Console, AMatchWithoutPlayersShowsEveryTextAndEnds) {
  put_bot_route_file(dir_.path(), kTwoBots);
  server_.start(dir_.path(), {"localhost"}, answers(0, 0, 0), true);
  ASSERT_EQ(server_.wait_exit(), 0);
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + kStart + kEnd);
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
  const std::string humans = "\n\nTaper le nombre de joueurs humains : ";
  const std::string bots = "\nTaper le nombre de joueurs CPU : ";
  const std::string map = "\n\nTaper le numero de la map : ";
  const std::string not_integer = "\n----- Erreur : tapez un nombre entier. -----";
  const std::string too_many = "\n----- Erreur : pas plus de 1000000 joueurs en tout. -----";
  std::string expected = dialogue_output("127.0.0.1");
  expected = expected.substr(0, expected.find(humans));
  expected += humans + not_integer + humans +
              "\n----- Erreur : le nombre ne peut pas etre negatif. -----" + humans + too_many +
              humans;
  expected += bots + not_integer + bots + too_many + bots;
  const std::string full = dialogue_output("127.0.0.1");
  expected += full.substr(full.find("\n\n*******"), full.find(map) - full.find("\n\n*******"));
  expected += map + not_integer + map + "\n----- Erreur : nombre hors limites. -----" + map;
  EXPECT_EQ(server_.output(), expected + kStart + kEnd);
}

TEST_F(Console, TheEndOfInputDuringTheDialogueEndsTheServerWithCode2) {
  server_.start(dir_.path(), {"localhost"}, "1\n", true);
  EXPECT_EQ(server_.wait_exit(), 2);
  EXPECT_NE(server_.errors().find("end of console input"), std::string::npos);
  EXPECT_EQ(server_.output().find("LA PARTIE"), std::string::npos);
}

TEST_F(Console, WithoutHumansEveryBotStepWaitsForOneKey) {
  if (server_is_windows()) {
    GTEST_SKIP() << "the Windows server reads key presses from the console (_getch), not from "
                    "standard input, so a pipe cannot press them";
  }
  put_bot_route_file(dir_.path(), kTwoBots);
  server_.start(dir_.path(), {"localhost"}, answers(0, 2, 0), false);
  ASSERT_TRUE(server_.wait_for_output(kStart));
  // Each key is taken on its own and the server waits for the next one; the
  // line end of the last answer was not taken as a key.
  for (const char* key : {"a", "b", "c"}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(server_.running());
    server_.write_input(key);
    for (int i = 0; i < 100 && server_.unread_input() != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(server_.unread_input(), 0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(server_.running());
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + kStart);
  server_.close_input();
  ASSERT_EQ(server_.wait_exit(), 0);
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + kStart + kEnd);
}

TEST_F(Console, KeysTypedAheadAreTakenOnePerBotStep) {
  if (server_is_windows()) GTEST_SKIP() << "key presses come from the Windows console";
  put_bot_route_file(dir_.path(), kTwoBots);
  server_.start(dir_.path(), {"localhost"}, answers(0, 2, 0) + "abc", true);
  ASSERT_EQ(server_.wait_exit(), 0);
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + kStart + kEnd);
}

TEST_F(Console, AMissingBotRouteFileIsReportedAfterEachRead) {
  put_bot_route_file(dir_.path(), nullptr);
  server_.start(dir_.path(), {"localhost"}, answers(1, 1, 0), false);
  ASSERT_TRUE(server_.wait_for_output("Attente des joueurs..."));
  TestClient client;
  client_join(client.link);
  int32_t index, map;
  client_learn(client.link, &index, &map);
  ASSERT_TRUE(server_.wait_for_output(kStart));
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + kRouteError +
                                  "\nAttente des joueurs...\nEtablissement de la connection..."
                                  "\nIP du PC : 127.0.0.1\nConnection etablie." +
                                  kRouteError + kStart);
}

}  // namespace
