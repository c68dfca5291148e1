// Heading and firing: the two things a bot does at the end of its step.
//
// A bot faces along its segment, in tenths of a degree counted from +x:
// 0 toward +x, 900 toward -y, 1800 toward -x, 2700 toward +y.
#pragma once

#include <cstdint>

#include "match/match.h"

// Tenths of a degree per radian, with exactly the ten digits the clients'
// headings were computed with (slightly below 1800/pi, so 45 degrees gives
// 449).
inline constexpr double TENTHS_PER_RADIAN = 572.9577951;

// The heading of a segment by the four-quadrant rule, 0..3599; current when
// the segment is parallel to an axis or of zero length.
int32_t segment_heading(const Segment& segment, int32_t current);

// Sets the heading of bot b from its segment.
void update_heading(Match& match, int32_t b);

// The firing hook, called after each move with the waypoint h the bot was
// walking to: the one place a firing rule goes. Today's rule never hits, so
// it does nothing.
void bot_fire(Match& match, int32_t b, int32_t h);
