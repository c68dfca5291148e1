#include "bots/heading.h"

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "bots/route.h"

namespace {

// Distance beyond which a bot with a target may hit it at all.
constexpr double FIRING_RANGE = 800;

}  // namespace

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

void bot_fire(Match& match, int32_t b, int32_t h) {
  const auto row = static_cast<size_t>(b);
  const int32_t target = match.bot_target[row];
  if (target == 0) return;

  // The chance of a hit grows with the distance from the waypoint the bot is
  // walking to: 0 within FIRING_RANGE, 0.8 or 0.9 beyond, and a hit needs
  // more than 0.9. A bot standing on its waypoint (distance 0) has no chance.
  const auto player = static_cast<size_t>(match.human_count) + row;
  const auto slot = static_cast<size_t>(h);
  const double dx = double{0.0} + match.pos_x[player] - match.route_x[row][slot];
  const double dy = double{0.0} + match.pos_y[player] - match.route_y[row][slot];
  const double distance = std::floor(std::sqrt(dx * dx + dy * dy));
  const int64_t in_range = distance > FIRING_RANGE ? 1 : 0;
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  const int64_t draw = 8 + std::rand() % 2;
  const float chance = static_cast<float>(draw * in_range) / 10.0f;
  if (chance > 0.9 && target > 0 && target < player_count(match)) {
    int32_t& health = match.health[static_cast<size_t>(target)];
    health = static_cast<int32_t>(static_cast<uint32_t>(health) - 1u);
  }
}
