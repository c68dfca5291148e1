// Bots seen through a client's table transfers: their moves and headings
// reach every client one turn after the step that made them.
#include <gtest/gtest.h>

#include "console/texts.h"
#include "tests/server_process.h"

namespace {

TEST(BotsSeenByClients, TheWorkedRouteArrivesPositionByPosition) {
  TempDir dir;
  // Bot 0 walks (100,100) -> (160,130) -> (200,130); bot 1 stands still on a
  // route along the x axis, so it keeps the starting heading.
  put_bot_route_file(dir.path(),
                     "100 160 200 200 200 200 200 200 200\n100 130 130 130 130 130 130 130 130\n"
                     "0 500 500 500 500 500 500 500 500\n5 5 5 5 5 5 5 5 5\n");
  dir.write("dept0.txt", "1\n1\n");
  ServerProcess server;
  server.start(dir.path(), {"localhost"}, answers(1, 2, 0), false);
  ASSERT_TRUE(server.wait_for_output(WAITING));
  TestClient client;
  ASSERT_EQ(client_join(client.link), 3);
  int32_t index, map;
  client_learn(client.link, &index, &map);

  const struct {
    int turn;
    int32_t x, y, heading;
  } seen[] = {
      {1, 100, 100, 2600},  // before any step
      {2, 100, 100, 3334},  // the arrival at waypoint 0 sets the segment, no move
      {3, 103, 101, 3334},  {4, 106, 103, 3334},
      {5, 109, 104, 3334},  {21, 157, 128, 3334},  // the last move of the segment
      {22, 157, 128, 3334},  // arrived; the next segment runs along +x and keeps the heading
      {23, 160, 130, 3334},
  };
  TurnReport report;
  report.x = 1;
  report.y = 1;
  report.heading = 1;
  TurnView view;
  size_t next = 0;
  for (int turn = 1; next < std::size(seen); ++turn) {
    client_turn(client.link, report, 3, view);
    if (seen[next].turn != turn) continue;
    EXPECT_EQ(view.players[1].x, seen[next].x) << "turn " << turn;
    EXPECT_EQ(view.players[1].y, seen[next].y) << "turn " << turn;
    EXPECT_EQ(view.players[1].heading, seen[next].heading) << "turn " << turn;
    EXPECT_EQ(view.players[1].health, 100);
    // Bot 1 walks its flat route 3 units a turn from the third turn on.
    EXPECT_EQ(view.players[2].x, turn < 3 ? 0 : 3 * (turn - 2)) << "turn " << turn;
    EXPECT_EQ(view.players[2].y, 5);
    EXPECT_EQ(view.players[2].heading, 2600);
    ++next;
  }
  EXPECT_EQ(next, std::size(seen));
}

}  // namespace
