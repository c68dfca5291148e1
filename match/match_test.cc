#include "match/match.h"

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

}  // namespace
