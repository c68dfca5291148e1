// Human clients against the real server: handshake, turn exchange, table
// transfer, first-turn start positions, protocol break.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "console/texts.h"
#include "net/protocol.h"
#include "tests/server_process.h"

namespace {

const char* const kStart = START_BANNER;
const std::string kWelcomed =
    std::string(WAITING) + CONNECTING + peer_line("127.0.0.1") + CONNECTED;

// Bot routes for up to four bots, each standing still on (1000 + 10b, 2000 + 10b).
std::string still_bots(int bots) {
  std::string text;
  for (int b = 0; b < bots; ++b) {
    for (int axis = 0; axis < 2; ++axis) {
      for (int i = 0; i < 9; ++i) text += std::to_string((axis + 1) * 1000 + 10 * b) + " ";
      text += "\n";
    }
  }
  return text;
}

class Link : public ::testing::Test {
 protected:
  // Starts a match with the given counts and map; the start position file
  // of the map holds `starts` when it is not null.
  void start(int humans, int bots, int map, const char* starts) {
    humans_ = humans;
    players_ = humans + bots;
    put_bot_route_file(dir_.path(), still_bots(bots).c_str());
    if (starts != nullptr) dir_.write("dept" + std::to_string(map) + ".txt", starts);
    server_.start(dir_.path(), {"localhost"}, answers(humans, bots, map), false);
    ASSERT_TRUE(server_.wait_for_output(WAITING));
  }
  // Connects and numbers every human, well-behaved.
  void join_all() {
    for (int q = 0; q < humans_; ++q) {
      clients_.push_back(std::make_unique<TestClient>());
      ASSERT_EQ(client_join(clients_.back()->link), players_);
    }
    for (int q = 0; q < humans_; ++q) {
      int32_t index = -9, map = -9;
      client_learn(clients_[static_cast<size_t>(q)]->link, &index, &map);
      ASSERT_EQ(index, q);
    }
  }
  TurnView turn(int q, const TurnReport& report) {
    TurnView view;
    client_turn(clients_[static_cast<size_t>(q)]->link, report, players_, view);
    return view;
  }
  static TurnReport at(int32_t x, int32_t y, int32_t heading) {
    TurnReport report;
    report.x = x;
    report.y = y;
    report.heading = heading;
    return report;
  }
  // Plays one turn for every human with reports[q] and returns the views.
  std::vector<TurnView> round(const std::vector<TurnReport>& reports) {
    std::vector<TurnView> views;
    for (int q = 0; q < humans_; ++q) views.push_back(turn(q, reports[static_cast<size_t>(q)]));
    return views;
  }
  TestClient& client(int q) { return *clients_[static_cast<size_t>(q)]; }

  TempDir dir_;
  ServerProcess server_;
  std::vector<std::unique_ptr<TestClient>> clients_;
  int humans_ = 0;
  int players_ = 0;
};

TEST_F(Link, OneClientIsGreetedCountedNumberedAndToldTheMap) {
  start(1, 0, 7, nullptr);
  TestClient client;
  client.send_raw("147");
  EXPECT_EQ(client.recv_raw(), "1");
  client.send_raw("1");
  EXPECT_EQ(client.recv_raw(), "0");
  client.send_raw("147");
  EXPECT_EQ(client.recv_raw(), "7");
  ASSERT_TRUE(server_.wait_for_output(kStart));
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + kWelcomed + kStart);
}

TEST_F(Link, PlayerCountIncludesBotsAndIndexesFollowAcceptOrder) {
  start(2, 3, 4, nullptr);
  TestClient first;
  first.send(ACK);
  EXPECT_EQ(first.recv(), 5);
  first.send(5);
  TestClient second;
  second.send(ACK);
  EXPECT_EQ(second.recv(), 5);
  second.send(5);
  EXPECT_EQ(first.recv(), 0);
  first.send(0);  // any reply will do, even one that reads as zero
  EXPECT_EQ(first.recv(), 4);
  EXPECT_EQ(second.recv(), 1);
  second.send_raw("whatever");
  EXPECT_EQ(second.recv(), 4);
  ASSERT_TRUE(server_.wait_for_output(kStart));
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + kWelcomed + kWelcomed + kStart);
}

TEST_F(Link, AWrongGreetingOrEchoIsReportedAndTheHandshakeGoesOn) {
  start(2, 3, 0, nullptr);
  TestClient first;
  first.send(148);
  EXPECT_EQ(first.recv(), 5);
  first.send(4);
  TestClient second;
  second.send_raw("147\r\n");  // only the leading number counts
  EXPECT_EQ(second.recv(), 5);
  second.send(5);
  EXPECT_EQ(first.recv(), 0);
  first.send(ACK);
  EXPECT_EQ(first.recv(), 0);
  EXPECT_EQ(second.recv(), 1);
  second.send(ACK);
  EXPECT_EQ(second.recv(), 0);
  ASSERT_TRUE(server_.wait_for_output(kStart));
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + WAITING + CONNECTING +
                                  peer_line("127.0.0.1") + GREETING_ERROR + ECHO_ERROR + kWelcomed +
                                  kStart);
}

TEST_F(Link, OneExchangeIsExactlyTheseMessages) {
  start(1, 1, 0, "11\n22\n");
  join_all();
  TestClient& c = client(0);
  const char* const steps[][2] = {
      {"5", "147"},   // relay_a
      {"-1", "147"},  // relay_b
      {"30", "147"},  // x
      {"40", "147"},  // y
      {"12", "147"},  // damage
      {"2", "147"},   // target: the bot
      {"900", "5"},   // heading, then relay_a
      {"147", "-1"},  // reply, then relay_b
      {"1", "11"},    // table: pos_x of player 0 (the start position)
      {"1", "22"},    // pos_y
      {"1", "100"},   // health
      {"1", "900"},   // heading
      {"1", "1000"},  // the bot's pos_x
      {"1", "2000"},  // pos_y
      {"1", "88"},    // health after the hit
      {"1", "2600"},  // heading: the last message of the exchange
      // The next turn begins with the client's relay_a, and its ACK comes
      // alone: nothing followed the last heading. No hit this time.
      {"-1", "147"},  // relay_a
      {"-1", "147"},  // relay_b
      {"31", "147"},  // x
      {"41", "147"},  // y
      {"-1", "147"},  // damage: none, so no target
      {"901", "5"},   // heading, then relay_a
      {"147", "-1"},  // reply, then relay_b
      {"1", "31"},    // table: pos_x of player 0, this turn's
      {"1", "41"},    // pos_y
      {"1", "100"},   // health
      {"1", "901"},   // heading
      {"1", "1000"},  // the bot
      {"1", "2000"},
      {"1", "88"},
      {"1", "2600"},
  };
  for (const auto& step : steps) {
    c.send_raw(step[0]);
    EXPECT_EQ(c.recv_raw(), step[1]) << "after " << step[0];
  }
}

TEST_F(Link, RelayValuesCarryFromOneClientToAll) {
  start(2, 0, 0, "1 2 3 4");
  join_all();
  const struct {
    int32_t a0, b0, a1, b1;    // what clients 0 and 1 send
    int32_t seen0_a, seen0_b;  // what client 0 gets back
    int32_t seen1_a, seen1_b;  // what client 1 gets back
  } turns[] = {
      {5, -1, -1, 9, 5, -1, 5, 9},
      {-1, -1, -1, -1, 5, 9, 5, 9},
      {0, 0, -2, 147, 5, 9, -1, 147},
      {-7, -2, -1, -1, -7, -1, -7, -1},
  };
  for (const auto& t : turns) {
    TurnReport r0 = at(1, 1, 1), r1 = at(2, 2, 2);
    r0.relay_a = t.a0;
    r0.relay_b = t.b0;
    r1.relay_a = t.a1;
    r1.relay_b = t.b1;
    const auto views = round({r0, r1});
    EXPECT_EQ(views[0].relay_a, t.seen0_a);
    EXPECT_EQ(views[0].relay_b, t.seen0_b);
    EXPECT_EQ(views[1].relay_a, t.seen1_a);
    EXPECT_EQ(views[1].relay_b, t.seen1_b);
  }
}

TEST_F(Link, HitsLowerTheTargetsHealthBeforeTheReportersTable) {
  start(2, 1, 0, "1 2 3 4");
  join_all();
  const struct {
    int32_t damage, target;
    int32_t health[3];  // as client 0 sees it right after its report
  } hits[] = {
      {10, 2, {100, 90, 100}},  // the other human
      {-5, 2, {100, 95, 100}},  // negative damage heals
      {7, 1, {93, 95, 100}},    // a client may hit itself
      {3, 3, {93, 95, 97}},     // the bot
      {0, 3, {93, 95, 97}},     // 0 reads as no hit: no target follows
      {50, 0, {93, 95, 97}},    // target 0 reads as -1: names no player
      {50, 4, {93, 95, 97}},    // beyond the last player
      {50, -2147483647, {93, 95, 97}},
      {-2147483647 - 1, 1, {-2147483555, 95, 97}},  // wraps, no overflow
  };
  for (const auto& hit : hits) {
    TurnReport report = at(1, 1, 1);
    report.damage = hit.damage;
    report.target = hit.target;
    const auto views = round({report, at(2, 2, 2)});
    for (int p = 0; p < 3; ++p) {
      EXPECT_EQ(views[0].players[static_cast<size_t>(p)].health, hit.health[p])
          << "damage " << hit.damage << " target " << hit.target << " player " << p;
      EXPECT_EQ(views[1].players[static_cast<size_t>(p)].health, hit.health[p]);
    }
  }
  EXPECT_TRUE(server_.running());
}

TEST_F(Link, TheFirstTurnPutsEveryHumanOnTheStartPositions) {
  start(2, 1, 2, "10 20\n30 40\n");
  join_all();
  auto views = round({at(7, 8, 100), at(7, 8, 200)});
  for (const TurnView& view : views) {
    EXPECT_EQ(view.players[0].x, 10);
    EXPECT_EQ(view.players[0].y, 30);
    EXPECT_EQ(view.players[1].x, 20);
    EXPECT_EQ(view.players[1].y, 40);
    EXPECT_EQ(view.players[2].x, 1000);  // the bot on its first waypoint
    EXPECT_EQ(view.players[2].heading, 2600);
  }
  // Client 1 had not sent its heading yet when client 0 was served.
  EXPECT_EQ(views[0].players[1].heading, 2600);
  EXPECT_EQ(views[1].players[0].heading, 100);
  EXPECT_EQ(server_.output(), dialogue_output("127.0.0.1") + kWelcomed + kWelcomed + kStart +
                                  "\n dept2.txt\n dept2.txt");

  // From the second turn on, what a client sends is stored as it is, and 0
  // arrives as -1. Earlier clients see later ones one turn late.
  views = round({at(0, 5, 101), at(60, 0, 201)});
  EXPECT_EQ(views[0].players[0].x, -1);
  EXPECT_EQ(views[0].players[1].x, 20);
  EXPECT_EQ(views[1].players[0].x, -1);
  EXPECT_EQ(views[1].players[1].x, 60);
  EXPECT_EQ(views[1].players[1].y, -1);
  views = round({at(1, 1, 102), at(2, 2, 202)});
  EXPECT_EQ(views[0].players[1].x, 60);
  EXPECT_EQ(views[0].players[1].heading, 201);
  EXPECT_EQ(server_.output().find("dept2.txt\n dept2.txt\n"), std::string::npos);
}

TEST_F(Link, WithoutAStartPositionFileTheSentPositionsStay) {
  start(2, 0, 9, nullptr);
  join_all();
  const auto views = round({at(7, 8, 1), at(5, 6, 2)});
  EXPECT_EQ(views[0].players[0].x, 7);
  EXPECT_EQ(views[0].players[0].y, 8);
  EXPECT_EQ(views[0].players[1].x, 0);  // not yet sent: 0, not garbage
  EXPECT_EQ(views[0].players[1].y, 0);
  EXPECT_EQ(views[1].players[1].x, 5);
  EXPECT_NE(server_.errors().find("dept9.txt"), std::string::npos);
  EXPECT_TRUE(server_.running());
}

TEST_F(Link, AReplyOtherThanAckToRelayAEndsTheProcessWithCode1) {
  start(2, 0, 0, "1 2 3 4");
  join_all();
  round({at(1, 1, 1), at(2, 2, 2)});
  const std::string before = server_.output();
  TurnReport report = at(1, 1, 1);
  report.relay_a_reply = 146;
  turn(0, report);
  EXPECT_EQ(server_.wait_exit(), 1);
  EXPECT_EQ(server_.output(), before);
}

TEST_F(Link, RepliesOtherThanAckElsewhereChangeNothing) {
  start(1, 0, 0, "1 2");
  join_all();
  TestClient& c = client(0);
  for (const char* value : {"-1", "-1", "3", "4", "-1", "5"}) {
    c.send_raw(value);
    c.recv_raw();
  }
  c.send_raw("147");
  EXPECT_EQ(c.recv_raw(), "-1");  // relay_b
  // The start position file put the player on (1, 2).
  for (const char* table_value : {"1", "2", "100", "5"}) {
    c.send_raw("146");
    EXPECT_EQ(c.recv_raw(), table_value);
  }
  // The match goes on: the next turn is served as usual.
  const TurnView view = turn(0, at(7, 8, 9));
  EXPECT_FALSE(client(0).link.closed);
  EXPECT_EQ(view.players[0].x, 7);
  EXPECT_EQ(view.players[0].heading, 9);
}

TEST_F(Link, AClientThatClosesMidMatchEndsTheMatchWithCode1) {
  start(2, 0, 0, "1 2 3 4");
  join_all();
  round({at(1, 1, 1), at(2, 2, 2)});
  client(0).close();
  EXPECT_EQ(server_.wait_exit(), 1);
}

}  // namespace
