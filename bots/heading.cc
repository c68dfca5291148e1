#include "bots/heading.h"

#include <cmath>

int32_t segment_heading(const Segment& segment, int32_t current) {
  // Each case divides by a difference its own condition makes non-zero, and
  // the subtraction from 1800, 2700 or 3600 comes before the truncation.
  const double fx = segment.from_x, fy = segment.from_y;
  const double tx = segment.to_x, ty = segment.to_y;
  if (tx > fx && ty < fy)
    return static_cast<int32_t>(std::atan((ty - fy) / (fx - tx)) * TENTHS_PER_RADIAN);
  if (tx < fx && ty < fy) {
    return static_cast<int32_t>(1800.0 - std::atan((ty - fy) / (tx - fx)) * TENTHS_PER_RADIAN);
  }
  if (tx < fx && ty > fy) {
    return static_cast<int32_t>(2700.0 - std::atan((tx - fx) / (fy - ty)) * TENTHS_PER_RADIAN);
  }
  if (tx > fx && ty > fy) {
    return static_cast<int32_t>(3600.0 - std::atan((fy - ty) / (fx - tx)) * TENTHS_PER_RADIAN);
  }
  return current;
}

void update_heading(Match& match, int32_t b) {
  const auto row = static_cast<size_t>(b);
  int32_t& heading = match.heading[static_cast<size_t>(match.human_count) + row];
  heading = segment_heading(match.bot_segment[row], heading);
}

void bot_fire(Match&, int32_t, int32_t) {
  // The firing rule the clients know draws a chance of 0.8 or 0.9 for a bot
  // more than 800 units from the waypoint it walks to, and a hit needs more
  // than 0.9: no bot has ever hit anyone. A firing rule that can hit goes
  // here, with the bot's row, bot_target and the waypoint h at hand.
}
