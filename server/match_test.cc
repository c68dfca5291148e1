#include "server/match.h"

#include <gtest/gtest.h>

namespace {

TEST(MatchTables, SetUpPlacesBotsOnTheirFirstWaypointAfterTheHumans) {
  Match match;
  match.human_count = 2;
  match.bot_count = 3;
  create_route_tables(match);
  for (int b = 0; b < 3; ++b) {
    match.route_x[static_cast<size_t>(b)][0] = 100 + b;
    match.route_y[static_cast<size_t>(b)][0] = 200 + b;
  }
  match.turn_count = 5;
  set_up_tables(match);

  ASSERT_EQ(match.pos_x.size(), 5u);
  EXPECT_EQ(match.heading, std::vector<int32_t>(5, INITIAL_HEADING));
  EXPECT_EQ(match.health, std::vector<int32_t>(5, INITIAL_HEALTH));
  EXPECT_EQ(match.pos_x, (std::vector<int32_t>{0, 0, 100, 101, 102}));
  EXPECT_EQ(match.pos_y, (std::vector<int32_t>{0, 0, 200, 201, 202}));
  EXPECT_EQ(match.waypoint_index, std::vector<int32_t>(3, 0));
  EXPECT_EQ(match.trim_request, std::vector<int32_t>(3, 0));
  EXPECT_EQ(match.bot_target, std::vector<int32_t>(3, 0));
  EXPECT_EQ(match.turn_count, 0);
  EXPECT_EQ(match.relay_a, -1);
  EXPECT_EQ(match.relay_b, -1);
}

TEST(MatchTables, RoutesAndClientsStartEmptyNotGarbage) {
  Match match;
  match.human_count = 3;
  match.bot_count = 2;
  create_route_tables(match);
  create_client_table(match);
  for (const RouteRow& row : match.route_x) EXPECT_EQ(row, RouteRow{});
  for (const RouteRow& row : match.route_y) EXPECT_EQ(row, RouteRow{});
  EXPECT_EQ(match.client_socket, std::vector<SocketHandle>(3, INVALID_SOCKET_HANDLE));
}

TEST(MatchTables, NoPlayersMeansEmptyTables) {
  Match match;
  create_route_tables(match);
  create_client_table(match);
  set_up_tables(match);
  EXPECT_TRUE(match.pos_x.empty());
  EXPECT_TRUE(match.heading.empty());
  EXPECT_TRUE(match.route_x.empty());
  EXPECT_TRUE(match.client_socket.empty());
}

TEST(FillInts, StoresOnlyTheFirstCountEntries) {
  std::vector<int32_t> table(4, 9);
  fill_ints(table, 2, 5);
  EXPECT_EQ(table, (std::vector<int32_t>{5, 5, 9, 9}));
  fill_ints(table, 0, 1);
  fill_ints(table, -3, 1);
  EXPECT_EQ(table, (std::vector<int32_t>{5, 5, 9, 9}));
}

}  // namespace
