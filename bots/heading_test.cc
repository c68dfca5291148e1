#include "bots/heading.h"

#include <gtest/gtest.h>

#include "bots/route.h"

namespace {

TEST(SegmentHeading, FollowsTheFourQuadrantRule) {
  const struct {
    int32_t fx, fy, tx, ty;
    int32_t heading;
  } cases[] = {
      {0, 0, 10, -10, 449},   {0, 0, 100, -1, 5},         {0, 0, 1000, -1, 0},
      {0, 0, -10, -10, 1350}, {0, 0, -1, -1000, 900},     {0, 0, -10, 10, 2250},
      {0, 0, -10, 20, 2434},  {0, 0, 10, 10, 3150},       {0, 0, 100, 1, 3594},
      {0, 0, 1000, 1, 3599},  {100, 100, 160, 130, 3334}, {100, 100, 110, 160, 2794},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(segment_heading(make_segment(c.fx, c.fy, c.tx, c.ty), 1234), c.heading)
        << "(" << c.fx << "," << c.fy << ") to (" << c.tx << "," << c.ty << ")";
  }
}

TEST(SegmentHeading, KeepsTheHeadingAlongAnAxisOrWithoutLength) {
  for (const auto& to : {std::pair{10, 0}, {0, 10}, {-10, 0}, {0, -10}, {0, 0}}) {
    EXPECT_EQ(segment_heading(make_segment(0, 0, to.first, to.second), 2600), 2600);
  }
}

TEST(SegmentHeading, StaysWithinATurnForExtremeSegments) {
  const int32_t big = 2147483647;
  for (const auto& s : {make_segment(-big, -big, big, big), make_segment(big, 0, -big, 1),
                        make_segment(0, big, 1, -big), make_segment(0, 0, 1, big)}) {
    const int32_t heading = segment_heading(s, -1);
    EXPECT_GE(heading, 0);
    EXPECT_LT(heading, 3600);
  }
}

TEST(UpdateHeading, SetsTheBotsEntryAfterTheHumans) {
  Match match;
  match.human_count = 2;
  match.bot_count = 2;
  create_route_tables(match);
  set_up_tables(match);
  match.bot_segment[1] = make_segment(0, 0, -10, 10);
  update_heading(match, 1);
  EXPECT_EQ(match.heading, (std::vector<int32_t>{2600, 2600, 2600, 2250}));
}

}  // namespace
