#include "bots/route.h"

#include <cmath>
#include <limits>

#include "bots/heading.h"
#include "net/decimal.h"

namespace {

// +STEP_LENGTH, -STEP_LENGTH or 0, as the segment runs from `from` to `to`.
int64_t step_toward(float from, float to) {
  return from < to ? STEP_LENGTH : from > to ? -STEP_LENGTH : 0;
}

// A zero-length segment the bot is not within the tolerance of has no
// direction to walk: waypoints 0 and 1 coincide and the bot comes from a last
// waypoint far from them, or, beyond 2^24, single precision makes two nearby
// waypoints the same point. The bot then goes straight for the waypoint
// itself, as an integer, up to 3 units in each axis per turn, so that it
// arrives within a bounded number of turns and the route goes on as a loop.
void move_toward_point(const Segment& segment, int32_t& x, int32_t& y) {
  const int64_t target_x = segment.waypoint_x;
  const int64_t target_y = segment.waypoint_y;
  const auto approach = [](int64_t from, int64_t to) {
    const int64_t gap = to - from;
    return from + (gap > STEP_LENGTH ? STEP_LENGTH : gap < -STEP_LENGTH ? -STEP_LENGTH : gap);
  };
  x = saturate_to_int32(approach(x, target_x));
  y = saturate_to_int32(approach(y, target_y));
}

// Drops waypoint 0 of bot b's route and shortens every route by one; asked
// through trim_request. A route keeps at least two waypoints, the least that
// makes a segment.
void trim_route(Match& match, int32_t b) {
  const auto row = static_cast<size_t>(b);
  if (match.route_length > 2) {
    --match.route_length;
    for (int32_t i = 1; i < match.route_length; ++i) {
      const auto slot = static_cast<size_t>(i);
      match.route_x[row][slot - 1] = match.route_x[row][slot];
      match.route_y[row][slot - 1] = match.route_y[row][slot];
    }
  }
  match.trim_request[row] = 0;
}

void take_next_segment(Match& match, int32_t b) {
  const auto row = static_cast<size_t>(b);
  int32_t& index = match.waypoint_index[row];
  index = index < match.route_length - 1 ? index + 1 : 1;
  const auto to = static_cast<size_t>(index);
  const RouteRow& xs = match.route_x[row];
  const RouteRow& ys = match.route_y[row];
  match.bot_segment[row] = make_segment(xs[to - 1], ys[to - 1], xs[to], ys[to]);
}

// One move of 3 units along the segment; the direction comes from the
// segment alone, never from where the bot stands.
void move_along(const Segment& segment, int32_t& x, int32_t& y) {
  const bool vertical = segment.to_x == segment.from_x;
  if (vertical && segment.to_y == segment.from_y) {
    move_toward_point(segment, x, y);
    return;
  }
  // |slope| < 1 is exactly "the slope truncates to 0".
  if (!vertical && std::fabs(segment.slope) < 1.0f) {
    x = saturate_to_int32(x + step_toward(segment.from_x, segment.to_x));
    y = truncate_to_int32(static_cast<double>(x) * segment.slope + segment.intercept);
    return;
  }
  y = saturate_to_int32(y + step_toward(segment.from_y, segment.to_y));
  if (vertical) {
    x = truncate_to_int32(segment.to_x);
  } else {
    x = truncate_to_int32(static_cast<double>(int64_t{y} - segment.intercept) / segment.slope);
  }
}

}  // namespace

int32_t truncate_to_int32(double value) {
  if (std::isnan(value)) return 0;
  if (value <= static_cast<double>(INT32_LOW)) return static_cast<int32_t>(INT32_LOW);
  if (value >= static_cast<double>(INT32_HIGH)) return static_cast<int32_t>(INT32_HIGH);
  return static_cast<int32_t>(value);
}

Segment make_segment(int32_t from_x, int32_t from_y, int32_t to_x, int32_t to_y) {
  Segment segment;
  segment.waypoint_x = to_x;
  segment.waypoint_y = to_y;
  segment.from_x = static_cast<float>(from_x);
  segment.from_y = static_cast<float>(from_y);
  segment.to_x = static_cast<float>(to_x);
  segment.to_y = static_cast<float>(to_y);
  if (segment.to_x != segment.from_x) {
    segment.slope = static_cast<float>((double{segment.to_y} - segment.from_y) /
                                       (double{segment.to_x} - segment.from_x));
    segment.intercept =
        truncate_to_int32(double{segment.from_y} - double{segment.from_x} * segment.slope);
  }
  return segment;
}

bool has_arrived(int32_t x, int32_t y, int32_t wx, int32_t wy) {
  const int64_t dx = int64_t{x} - wx;
  const int64_t dy = int64_t{y} - wy;
  return dx >= -ARRIVAL_TOLERANCE && dx <= ARRIVAL_TOLERANCE && dy >= -ARRIVAL_TOLERANCE &&
         dy <= ARRIVAL_TOLERANCE;
}

void bot_step(Match& match, int32_t b) {
  const auto row = static_cast<size_t>(b);
  const auto player = static_cast<size_t>(match.human_count) + row;
  const int32_t h = match.waypoint_index[row];
  const auto slot = static_cast<size_t>(h);
  int32_t& x = match.pos_x[player];
  int32_t& y = match.pos_y[player];

  if (!has_arrived(x, y, match.route_x[row][slot], match.route_y[row][slot])) {
    move_along(match.bot_segment[row], x, y);
    bot_fire(match, b, h);
  } else {
    if (match.trim_request[row] != 0) trim_route(match, b);
    take_next_segment(match, b);
  }
  update_heading(match, b);
}
