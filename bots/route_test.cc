#include "bots/route.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <vector>

#include "bots/heading.h"

namespace {

using Point = std::pair<int32_t, int32_t>;

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

// One human (so no bot step waits for a key) and one bot on the given route;
// waypoints not given repeat the last one.
Match one_bot_match(const std::vector<Point>& route) {
  Match match;
  match.human_count = 1;
  match.bot_count = 1;
  create_route_tables(match);
  for (size_t i = 0; i < ROUTE_VALUES; ++i) {
    const Point& p = route[std::min(i, route.size() - 1)];
    match.route_x[0][i] = p.first;
    match.route_y[0][i] = p.second;
  }
  set_up_tables(match);
  return match;
}

Point bot_position(const Match& match) {
  return {match.pos_x[1], match.pos_y[1]};
}

// Takes up the segment toward waypoint `index` as an arrival would, and puts
// the bot at `at`.
void walk_segment_from(Match& match, int32_t index, Point at) {
  match.waypoint_index[0] = index - 1;
  match.pos_x[1] = match.route_x[0][static_cast<size_t>(index - 1)];
  match.pos_y[1] = match.route_y[0][static_cast<size_t>(index - 1)];
  bot_step(match, 0);
  match.pos_x[1] = at.first;
  match.pos_y[1] = at.second;
}

TEST(BotStep, FirstStepIsAnArrivalWithoutAMove) {
  Match match = one_bot_match({{100, 100}, {160, 130}});
  bot_step(match, 0);
  EXPECT_EQ(bot_position(match), Point(100, 100));
  EXPECT_EQ(match.waypoint_index[0], 1);
  EXPECT_EQ(match.bot_segment[0].slope, 0.5f);
  EXPECT_EQ(match.bot_segment[0].intercept, 50);
}

TEST(BotStep, WalksTheWorkedRoutesTurnByTurn) {
  const struct {
    const char* name;
    std::vector<Point> route;
    std::vector<std::pair<int, Point>> seen;  // (turn, position after that turn's step)
    int arrival_turn;                         // the turn whose step takes up waypoint 2
  } cases[] = {
      {"shallow",
       {{100, 100}, {160, 130}, {200, 130}},
       {{1, {100, 100}},
        {2, {103, 101}},
        {3, {106, 103}},
        {4, {109, 104}},
        {20, {157, 128}},
        {21, {157, 128}}},
       21},
      {"steep",
       {{100, 100}, {110, 160}, {200, 160}},
       {{2, {100, 103}},
        {3, {101, 106}},
        {4, {101, 109}},
        {5, {102, 112}},
        {20, {109, 157}},
        {21, {109, 157}}},
       21},
  };
  for (const auto& c : cases) {
    Match match = one_bot_match(c.route);
    size_t next = 0;
    for (int turn = 1; turn <= c.arrival_turn; ++turn) {
      bot_step(match, 0);
      EXPECT_EQ(match.waypoint_index[0], turn < c.arrival_turn ? 1 : 2) << c.name << turn;
      if (next < c.seen.size() && c.seen[next].first == turn) {
        EXPECT_EQ(bot_position(match), c.seen[next].second) << c.name << " turn " << turn;
        ++next;
      }
    }
    EXPECT_EQ(next, c.seen.size()) << c.name;
  }
}

TEST(BotStep, SegmentsTakeTheirStepsByTheWorkedRules) {
  const struct {
    const char* name;
    Point from, to, start;
    std::vector<Point> moves;
  } cases[] = {
      {"vertical holds x on the segment",
       {50, 10},
       {50, 70},
       {52, 12},
       {{50, 15}, {50, 18}, {50, 21}}},
      {"past its waypoint walks on", {0, 0}, {2, 1}, {3, -3}, {{6, 3}, {9, 4}, {12, 6}}},
      {"45 degrees takes the y-step", {0, 0}, {100, 100}, {0, 0}, {{3, 3}, {6, 6}}},
      {"minus 45 degrees takes the y-step", {0, 0}, {100, -100}, {0, 0}, {{3, -3}, {6, -6}}},
      {"slope 0.99 takes the x-step", {0, 0}, {100, 99}, {0, 0}, {{3, 2}, {6, 5}}},
      {"horizontal keeps y at from_y", {10, 40}, {-90, 40}, {10, 55}, {{7, 40}, {4, 40}}},
      {"single precision slope, integer intercept",
       {1, 1},
       {4, 2},
       {-20, 0},
       {{-17, -5}, {-14, -4}}},
  };
  for (const auto& c : cases) {
    Match match = one_bot_match({c.from, c.to, {1000, 1000}});
    walk_segment_from(match, 1, c.start);
    for (const Point& expected : c.moves) {
      bot_step(match, 0);
      EXPECT_EQ(bot_position(match), expected) << c.name;
    }
  }
}

TEST(BotStep, ArrivalToleranceIsThreeInEachAxis) {
  const struct {
    Point at;
    bool arrived;
  } cases[] = {{{103, 103}, true}, {{97, 97}, true}, {{104, 100}, false}, {{100, 96}, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(has_arrived(c.at.first, c.at.second, 100, 100), c.arrived)
        << c.at.first << "," << c.at.second;
  }
  EXPECT_FALSE(has_arrived(kMax, 0, kMin, 0));
  EXPECT_TRUE(has_arrived(kMin, kMax, kMin + 3, kMax - 3));
}

TEST(BotStep, AfterTheLastWaypointTheRouteGoesOnFromWaypointOne) {
  Match match = one_bot_match(
      {{100, 100}, {160, 130}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {300, 300}});
  match.waypoint_index[0] = 8;
  match.pos_x[1] = 300;
  match.pos_y[1] = 300;
  bot_step(match, 0);
  EXPECT_EQ(match.waypoint_index[0], 1);
  EXPECT_EQ(bot_position(match), Point(300, 300));
  // The segment is waypoint 0 to 1 wherever the bot stands: it joins that
  // line with its next move and, already past waypoint 1, walks on in +x.
  bot_step(match, 0);
  EXPECT_EQ(bot_position(match), Point(303, 201));
  bot_step(match, 0);
  EXPECT_EQ(bot_position(match), Point(306, 203));
  EXPECT_EQ(match.heading[1], 3334);
}

TEST(BotStep, AZeroLengthSegmentBringsTheBotToItsWaypoint) {
  // Waypoints 0 and 1 coincide; the bot arrives at waypoint 8 far from them.
  Match match = one_bot_match(
      {{10, 10}, {10, 10}, {50, 0}, {50, 0}, {50, 0}, {50, 0}, {50, 0}, {50, 0}, {-100, 40}});
  match.waypoint_index[0] = 8;
  match.pos_x[1] = -100;
  match.pos_y[1] = 40;
  bot_step(match, 0);
  ASSERT_EQ(match.waypoint_index[0], 1);
  std::vector<Point> path;
  for (int turn = 0; turn < 60 && match.waypoint_index[0] == 1; ++turn) {
    bot_step(match, 0);
    path.push_back(bot_position(match));
  }
  ASSERT_EQ(match.waypoint_index[0], 2) << "never arrived";
  EXPECT_EQ(path[0], Point(-97, 37));
  EXPECT_EQ(path[9], Point(-70, 10));
  EXPECT_EQ(path.size(), 37u);  // 36 moves of 3 in x reach x = 8, then the arrival
  EXPECT_EQ(path.back(), Point(8, 10));
}

TEST(BotStep, WaypointsThatSinglePrecisionMakesOnePointAreStillReached) {
  // Beyond 2^24 floats are 128 apart here: both waypoints become 2^30.
  constexpr int32_t far = 1 << 30;
  Match match = one_bot_match({{far, 0}, {far + 30, 0}, {0, 0}});
  bot_step(match, 0);
  ASSERT_EQ(match.bot_segment[0].from_x, match.bot_segment[0].to_x);
  for (int turn = 0; turn < 20 && match.waypoint_index[0] == 1; ++turn) bot_step(match, 0);
  EXPECT_EQ(match.waypoint_index[0], 2) << "never arrived";
  EXPECT_EQ(bot_position(match), Point(far + 27, 0));
}

TEST(BotStep, ExtremeCoordinatesEndAtDefinedIntegerPositions) {
  const std::vector<std::vector<Point>> routes = {
      {{kMin, kMin}, {kMax, kMax}}, {{kMax, kMin}, {kMin, kMax}}, {{kMax, 0}, {kMax - 1, kMax}},
      {{0, kMax}, {kMax, kMax}},    {{kMin, 0}, {kMin, kMax}},    {{kMax, kMax}, {kMax, kMax}},
  };
  for (const auto& route : routes) {
    for (const Point& start : {Point{kMax, kMax}, Point{kMin, kMin}, Point{0, 0}}) {
      Match match = one_bot_match({route[0], route[1], {kMin, kMax}});
      walk_segment_from(match, 1, start);
      for (int turn = 0; turn < 5; ++turn) bot_step(match, 0);
      // Saturated moves stay within the range; sanitizer builds check the rest.
      EXPECT_GE(match.heading[1], 0);
      EXPECT_LE(match.heading[1], 3599);
    }
  }
  EXPECT_EQ(truncate_to_int32(1e300), kMax);
  EXPECT_EQ(truncate_to_int32(-1e300), kMin);
  EXPECT_EQ(truncate_to_int32(-2.5), -2);
  EXPECT_EQ(truncate_to_int32(101.5), 101);
  EXPECT_EQ(truncate_to_int32(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(BotStep, ATrimRequestDropsWaypointZeroAtTheNextArrival) {
  Match match = one_bot_match(
      {{0, 0}, {10, 0}, {20, 0}, {30, 0}, {40, 0}, {50, 0}, {60, 0}, {70, 0}, {80, 0}});
  match.trim_request[0] = 1;
  bot_step(match, 0);
  EXPECT_EQ(match.route_length, 8);
  EXPECT_EQ(match.trim_request[0], 0);
  const int32_t expected[] = {10, 20, 30, 40, 50, 60, 70, 70, 80};
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(match.route_x[0][i], expected[i]) << i;
  EXPECT_EQ(match.waypoint_index[0], 1);
  EXPECT_EQ(match.bot_segment[0].from_x, 10.0f);
  EXPECT_EQ(match.bot_segment[0].to_x, 20.0f);

  // A route keeps the two waypoints that make a segment.
  for (int i = 0; i < 10; ++i) {
    match.trim_request[0] = 1;
    match.pos_x[1] = match.route_x[0][static_cast<size_t>(match.waypoint_index[0])];
    match.pos_y[1] = 0;
    bot_step(match, 0);
  }
  EXPECT_EQ(match.route_length, 2);
  EXPECT_EQ(match.waypoint_index[0], 1);
}

TEST(BotStep, BotsLowerNoHealthEvenWithATarget) {
  Match match = one_bot_match({{0, 0}, {3000, 10}});
  bot_step(match, 0);
  for (int32_t target : {0, 1, -4, 99}) {
    match.bot_target[0] = target;
    // Far from the waypoint, on it, and past the range of the firing rule.
    for (const Point& at : {Point{0, 0}, Point{1500, 5}, Point{kMin, kMax}}) {
      match.pos_x[1] = at.first;
      match.pos_y[1] = at.second;
      bot_fire(match, 0, 1);
      bot_step(match, 0);
    }
  }
  EXPECT_EQ(match.health, std::vector<int32_t>(2, INITIAL_HEALTH));
}

}  // namespace
