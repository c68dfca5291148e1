// Bot steps from any routes, positions, segments and waypoint state, with at
// least one human so that no step waits for a key. Every float-to-integer
// conversion runs under UBSan, so a position that is not a defined integer
// is a crash; the checks add what a step must keep:
// - an arriving bot stays put and takes the segment to its next waypoint;
// - a moving bot moves at most 3 units along at least one axis;
// - a bot's heading stays in 0..3599 or keeps its value;
// - nothing else changes: no health, no other player, waypoint index 0..8.
//
// Input: bytes human count (1..3), bot count (1..4), route length (2..9);
// then per bot 9 x and 9 y waypoints (int32, little-endian), waypoint index
// (0..8), trim request, target, position mode and, when not 0, x and y,
// segment mode and, when not 0, its four end points, heading mode and, when
// not 0, the heading; then the step count (1..16) and one bot per step.
#include <cinttypes>
#include <cstdlib>

#include "bots/route.h"
#include "fuzz/fuzz_support.h"
#include "match/match.h"

namespace {

int64_t distance(int32_t a, int32_t b) {
  return std::llabs(int64_t{a} - b);
}

void set_up_match(FuzzInput& input, Match& match) {
  match.human_count = input.take_small(1, 3);
  match.bot_count = input.take_small(1, 4);
  create_route_tables(match);
  const auto bots = static_cast<size_t>(match.bot_count);
  for (size_t b = 0; b < bots; ++b) {
    for (int i = 0; i < ROUTE_VALUES; ++i)
      match.route_x[b][static_cast<size_t>(i)] = input.take_int32();
    for (int i = 0; i < ROUTE_VALUES; ++i)
      match.route_y[b][static_cast<size_t>(i)] = input.take_int32();
  }
  create_client_table(match);
  set_up_tables(match);
  match.route_length = input.take_small(2, ROUTE_VALUES);

  const int32_t players = player_count(match);
  for (size_t b = 0; b < bots; ++b) {
    const size_t p = static_cast<size_t>(match.human_count) + b;
    match.waypoint_index[b] = input.take_small(0, ROUTE_VALUES - 1);
    match.trim_request[b] = input.take_byte() & 1;
    // A target is a player index; 0 is no target.
    match.bot_target[b] = static_cast<int32_t>(input.take_byte() % static_cast<uint32_t>(players));
    if (input.take_byte() != 0) {
      match.pos_x[p] = input.take_int32();
      match.pos_y[p] = input.take_int32();
    }
    if (input.take_byte() != 0) {
      const int32_t from_x = input.take_int32(), from_y = input.take_int32();
      const int32_t to_x = input.take_int32(), to_y = input.take_int32();
      match.bot_segment[b] = make_segment(from_x, from_y, to_x, to_y);
    }
    if (input.take_byte() != 0) {
      match.heading[p] = static_cast<int32_t>(static_cast<uint32_t>(input.take_int32()) % 3600u);
    }
  }
}

void check_step(const Match& before, const Match& after, int32_t b) {
  const auto row = static_cast<size_t>(b);
  const size_t self = static_cast<size_t>(before.human_count) + row;
  const int32_t h = before.waypoint_index[row];
  const auto slot = static_cast<size_t>(h);
  const int32_t x0 = before.pos_x[self], y0 = before.pos_y[self];
  const int32_t x1 = after.pos_x[self], y1 = after.pos_y[self];
  const bool arrived = distance(x0, before.route_x[row][slot]) <= ARRIVAL_TOLERANCE &&
                       distance(y0, before.route_y[row][slot]) <= ARRIVAL_TOLERANCE;
  FUZZ_REQUIRE(has_arrived(x0, y0, before.route_x[row][slot], before.route_y[row][slot]) == arrived,
               "arrival of bot %" PRId32, b);

  if (arrived) {
    FUZZ_REQUIRE(x1 == x0 && y1 == y0, "arriving bot %" PRId32 " moved", b);
    const int32_t next = after.waypoint_index[row];
    FUZZ_REQUIRE(next == (h < after.route_length - 1 ? h + 1 : 1),
                 "waypoint %" PRId32 " after %" PRId32 " of %" PRId32, next, h, after.route_length);
    const auto to = static_cast<size_t>(next);
    const Segment want = make_segment(after.route_x[row][to - 1], after.route_y[row][to - 1],
                                      after.route_x[row][to], after.route_y[row][to]);
    const Segment& got = after.bot_segment[row];
    FUZZ_REQUIRE(got.from_x == want.from_x && got.from_y == want.from_y && got.to_x == want.to_x &&
                     got.to_y == want.to_y,
                 "bot %" PRId32 " took a segment not ending at waypoint %" PRId32, b, next);
  } else {
    FUZZ_REQUIRE(distance(x0, x1) <= STEP_LENGTH || distance(y0, y1) <= STEP_LENGTH,
                 "bot %" PRId32 " jumped from (%" PRId32 ",%" PRId32 ") to (%" PRId32 ",%" PRId32
                 ")",
                 b, x0, y0, x1, y1);
    FUZZ_REQUIRE(after.waypoint_index[row] == h, "moving bot %" PRId32 " changed waypoint", b);
  }

  const int32_t heading = after.heading[self];
  FUZZ_REQUIRE(heading == before.heading[self] || (heading >= 0 && heading < 3600),
               "heading %" PRId32, heading);
  FUZZ_REQUIRE(after.route_length >= 2 && after.route_length <= ROUTE_VALUES,
               "route length %" PRId32, after.route_length);
  FUZZ_REQUIRE(before.health == after.health, "a bot step changed a health value");
  for (size_t p = 0; p < before.pos_x.size(); ++p) {
    if (p == self) continue;
    FUZZ_REQUIRE(before.pos_x[p] == after.pos_x[p] && before.pos_y[p] == after.pos_y[p] &&
                     before.heading[p] == after.heading[p],
                 "bot %" PRId32 " moved player %zu", b, p);
  }
  for (size_t other = 0; other < before.waypoint_index.size(); ++other) {
    if (other == row) continue;
    FUZZ_REQUIRE(before.waypoint_index[other] == after.waypoint_index[other],
                 "bot %" PRId32 " changed the waypoint of bot %zu", b, other);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  Match match;
  set_up_match(input, match);
  const int32_t steps = input.take_small(1, 16);
  for (int32_t s = 0; s < steps; ++s) {
    const int32_t b = input.take_small(0, match.bot_count - 1);
    const Match before = match;
    bot_step(match, b);
    check_step(before, match, b);
  }
  return 0;
}
