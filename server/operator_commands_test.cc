#include "server/operator_commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console/console.h"
#include "match/match.h"
#include "server/options.h"
#include "server/rcon_listener.h"

namespace {

// Two humans (0 playing, 1 dropped) and a bot, nothing connected.
struct Table {
  Match match;
  Seats seats;
  Lobby lobby;
  SeatRules rules;
  Options options;
  bool paused = false;
  std::vector<int64_t> round_trips{1500000, 0};

  Table() {
    match.human_count = 2;
    match.bot_count = 1;
    match.map_number = 3;
    match.health = {100, 40, 75};
    seats.seat.resize(2);
    for (int32_t q = 0; q < 2; ++q) {
      Seat& seat = seats.seat[static_cast<size_t>(q)];
      seat.index = q;
      std::snprintf(seat.peer, sizeof seat.peer, "10.0.0.%d:5000", q + 1);
      std::snprintf(seat.who, sizeof seat.who, "%s", seat.peer);
    }
    seats.seat[1].status = SeatStatus::Dropped;
    seats.left = 1;
    rules.turn = 12;
    options.names = {"Ann", "Bob Two", "Robo"};
  }
  std::string run(const char* line) {
    CommandScope scope{seats,   lobby,   rules, match, options,
                       nullptr, &paused, 11,    2.5,   &round_trips};
    return run_operator_command(scope, line, "console").answer;
  }
};

TEST(OperatorCommands, EachCommandAnswersAndActsOnWhatItNames) {
  struct Case {
    const char* line;
    const char* answer;  // the answer holds this
    bool paused_after;
    int32_t left_after;  // humans not dropped
    const char* allow_after;
  };
  const Case cases[] = {
      {"status", "11 turns played, 2.5 turns/s\nsettings: 2 humans, 1 bot, map 3", false, 1,
       "everyone"},
      {"status",
       "human 0 10.0.0.1:5000 playing rtt 1.500 ms health 100 name Ann\n"
       "human 1 10.0.0.2:5000 dropped rtt - health 40 name Bob Two\n"
       "bot 2 playing health 75 name Robo\n",
       false, 1, "everyone"},
      {"  pause  ", "paused: no new turn starts", true, 1, "everyone"},
      {"pause", "already paused", true, 1, "everyone"},
      {"status", "11 turns played, 2.5 turns/s, paused\n", true, 1, "everyone"},
      {"resume", "resumed", false, 1, "everyone"},
      {"resume", "not paused", false, 1, "everyone"},
      {"kick 2", "player 2 is a bot", false, 1, "everyone"},
      {"kick 3", "there is no player 3 (players 0..2)", false, 1, "everyone"},
      {"kick", "give one player index", false, 1, "everyone"},
      {"kick -1", "give one player index", false, 1, "everyone"},
      {"kick 1", "player 1 has no client: it was dropped already", false, 1, "everyone"},
      {"allow add 192.168.1.7/24", "allow: 192.168.1.0/24\n", false, 1, "192.168.1.0/24"},
      {"allow add 10.0.0.7", "allow: 192.168.1.0/24,10.0.0.7/32\n", false, 1,
       "192.168.1.0/24,10.0.0.7/32"},
      {"allow add 10.0.0.0/33", "not one network", false, 1, "192.168.1.0/24,10.0.0.7/32"},
      {"allow add 1.2.3.4,5.6.7.8", "not one network", false, 1, "192.168.1.0/24,10.0.0.7/32"},
      {"allow remove 172.16.0.0/12", "is not in the list", false, 1, "192.168.1.0/24,10.0.0.7/32"},
      {"allow remove 192.168.1.0/24", "allow: 10.0.0.7/32\n", false, 1, "10.0.0.7/32"},
      {"allow", "allow: 10.0.0.7/32\n", false, 1, "10.0.0.7/32"},
      {"allow remove 10.0.0.7", "the list is empty: anyone may join", false, 1, "everyone"},
      {"allow drop 1.2.3.4", "allow, allow add CIDR or allow remove CIDR", false, 1, "everyone"},
      {"end now", "end takes no arguments", false, 1, "everyone"},
      {"paus", "unknown command 'paus'; did you mean 'pause'?", false, 1, "everyone"},
      {"xyzzy", "unknown command 'xyzzy' (help lists them)", false, 1, "everyone"},
      {"help", "kick N", false, 1, "everyone"},
      {"   stauts", "unknown command 'stauts'; did you mean 'status'?", false, 1, "everyone"},
      {"kick 0", "player 0 kicked; no human is left: the match ends", false, 0, "everyone"},
  };
  Table table;
  for (const Case& c : cases) {
    const std::string answer = table.run(c.line);
    EXPECT_NE(answer.find(c.answer), std::string::npos) << c.line << " answered:\n" << answer;
    EXPECT_EQ(table.paused, c.paused_after) << c.line;
    EXPECT_EQ(table.seats.left, c.left_after) << c.line;
    CommandScope scope{table.seats, table.lobby,   table.rules, table.match, table.options,
                       nullptr,     &table.paused, 0,           0,           nullptr};
    const std::string allowed = run_operator_command(scope, "allow", "console").answer;
    EXPECT_EQ(allowed, "allow: " + std::string(c.allow_after) + "\n") << c.line;
  }
  EXPECT_EQ(table.seats.seat[0].status, SeatStatus::Dropped);
  EXPECT_EQ(console_stop_asked(), nullptr) << "no command above ends the match";
}

TEST(OperatorCommands, EndRaisesTheStopAsASignalDoesAndAnEmptyLineDoesNothing) {
  Table table;
  EXPECT_EQ(table.run("   "), "");
  EXPECT_EQ(console_stop_asked(), nullptr);
  EXPECT_EQ(table.run("end"), "ending the match\n");
  ASSERT_NE(console_stop_asked(), nullptr);
  EXPECT_STREQ(console_stop_asked(), "the operator's end command (console)");
  console_ask_stop(nullptr);
}

TEST(OperatorCommands, KickingAJoinerGivesItsSlotBackAndWithRejoinSaysSo) {
  Table table;
  table.options.rejoin = true;
  table.seats.seat[1].status = SeatStatus::Playing;
  table.seats.seat[1].join = JoinStage::Greeting;
  EXPECT_NE(table.run("kick 1").find("its slot is free"), std::string::npos);
  EXPECT_TRUE(is_free(table.seats.seat[1]));
  EXPECT_EQ(table.seats.left, 1) << "a joiner was never counted in";
}

TEST(OperatorCommands, ThePasswordIsComparedWhole) {
  EXPECT_TRUE(rcon_password_matches("a-long-secret-1", "a-long-secret-1"));
  for (const char* other : {"", "a-long-secret-", "a-long-secret-12", "A-long-secret-1"}) {
    EXPECT_FALSE(rcon_password_matches(other, "a-long-secret-1")) << other;
  }
}

}  // namespace
