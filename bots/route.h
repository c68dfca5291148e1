// Route following: each bot walks its waypoint route in straight segments, 3
// units per turn along the axis in which the segment extends farther (y when
// both extents are equal), the other coordinate taken from the segment's
// line. Within 3 units of its waypoint in both axes it has arrived: it stays
// put for that turn and takes up the next segment; after the last usable
// waypoint it goes on with the segment from waypoint 0 to waypoint 1.
//
// The numbers are what the clients see and are reproduced exactly: slope in
// single precision, intercept as a truncated integer, products and quotients
// in double precision, every conversion to an integer truncating toward zero.
// Results beyond the 32-bit range are held at its nearest end.
#pragma once

#include <cstdint>

#include "match/match.h"

inline constexpr int32_t ARRIVAL_TOLERANCE = 3;
inline constexpr int32_t STEP_LENGTH = 3;

// Truncates toward zero and holds the result within the 32-bit range; NaN
// gives 0.
int32_t truncate_to_int32(double value);

// The segment from (from_x, from_y) to (to_x, to_y), with its slope and
// intercept unless it is vertical or of zero length.
Segment make_segment(int32_t from_x, int32_t from_y, int32_t to_x, int32_t to_y);

// Whether a bot at (x, y) is within the tolerance of waypoint (wx, wy).
bool has_arrived(int32_t x, int32_t y, int32_t wx, int32_t wy);

// Bot b's step of a turn: arrival test, then either the move and the firing
// hook or the next segment, then the heading.
// REQUIRES: 0 <= b < bot_count, set_up_tables(match) has run.
void bot_step(Match& match, int32_t b);
