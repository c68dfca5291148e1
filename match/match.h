// The match state: every table of one match, created once at the sizes typed
// at the console and kept until the process ends.
//
// - Player index: humans 0..human_count-1 in accept order, then bot b at
//   human_count + b. Per-player tables are indexed by it.
// - Bot index: 0..bot_count-1. Per-bot tables are indexed by it, never by the
//   player index.
// - Target numbers sent by clients are player index + 1.
//
// No table is resized, copied or cleared between turns; a turn allocates
// nothing.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "net/socket.h"

inline constexpr int32_t INITIAL_HEADING = 2600;  // tenths of a degree
inline constexpr int32_t INITIAL_HEALTH = 100;
inline constexpr int ROUTE_SLOTS = 10;  // slots per route row; slot 9 is never used
// The waypoints of a bot's route: read from the bot route file, written in
// each line of a recording and drawn by the page.
inline constexpr int ROUTE_VALUES = 9;

// The largest player count the console accepts: enough for any match a
// machine can hold, and small enough that every table can be created and the
// count always fits a 32-bit integer.
inline constexpr int32_t MAX_PLAYERS = 1000000;

using RouteRow = std::array<int32_t, ROUTE_SLOTS>;

// The straight piece of route a bot walks, from waypoint i-1 to waypoint i.
// End points and slope are single precision and the intercept an integer on
// purpose: the clients see positions computed with exactly these roundings.
struct Segment {
  int32_t waypoint_x = 0, waypoint_y = 0;  // the waypoint walked to, exactly
  float from_x = 0, from_y = 0;
  float to_x = 0, to_y = 0;
  float slope = 0;        // meaningless for a vertical or zero-length segment
  int32_t intercept = 0;  // likewise
};

struct Match {
  // Console answers; never change after the dialogue.
  int32_t human_count = 0;
  int32_t bot_count = 0;
  int32_t map_number = 0;

  int32_t route_length = ROUTE_VALUES;  // shared by all bots
  int32_t relay_a = -1;
  int32_t relay_b = -1;
  int32_t turn_count = 0;  // 1 during the first turn, 2 afterwards

  // Per player.
  std::vector<int32_t> pos_x, pos_y, heading, health;

  // Per bot.
  std::vector<RouteRow> route_x, route_y;
  std::vector<int32_t> waypoint_index;
  std::vector<int32_t> trim_request;  // non-zero: drop waypoint 0 at the next arrival
  std::vector<int32_t> bot_target;    // player index the bot fires at; 0 = none
  std::vector<Segment> bot_segment;

  // Per human, by player index.
  std::vector<SocketHandle> client_socket;
};

// REQUIRES: 0 <= human_count, 0 <= bot_count, human_count + bot_count <= MAX_PLAYERS.
inline int32_t player_count(const Match& match) {
  return match.human_count + match.bot_count;
}

// Creates route_x and route_y with bot_count rows of zeros, so that slots the
// bot route file does not supply hold 0 rather than garbage.
void create_route_tables(Match& match);

// Creates client_socket with human_count invalid entries.
void create_client_table(Match& match);

// Creates the per-player tables and the remaining per-bot tables and gives
// them their starting values: heading 2600 and health 100 for everyone, each
// bot on waypoint 0 of its route, turn_count 0. Humans' positions are 0 until
// the first turn replaces them.
void set_up_tables(Match& match);
