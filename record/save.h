// The save a recording's turn line carries, so that a match killed at any
// moment can go on from its last whole turn (--resume). Its last member:
//   "save": {"v": 1, "humans": H, "bots": B, "map": M, "turn_count": C,
//            "route_length": L, "bots_state": [[waypoint, trim, target,
//            waypoint_x, waypoint_y, from_x, from_y, to_x, to_y, slope,
//            intercept] per bot], "peers": ["a.b.c.d" or "" per human]}
// The segment's single-precision values are written as the bits of the
// float (an unsigned integer), so that a resumed bot walks exactly as it
// would have: a rounded decimal would move it by a unit some turns later.
// The rest of the match (positions, health, headings, relay values, routes)
// is in the line's other members (record/record_line.h); the routes in the
// last line that named them.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "match/match.h"

inline constexpr int SAVE_VERSION = 1;
inline constexpr size_t BOT_SAVE_VALUES = 11;

using BotSave = std::array<int64_t, BOT_SAVE_VALUES>;

// A turn line read back: the match as that turn left it.
struct MatchSave {
  uint64_t turn = 0;  // the line's "turn": the turns played
  int32_t humans = 0, bots = 0, map = 0;
  int32_t turn_count = 0, route_length = 0, relay_a = -1, relay_b = -1;
  std::vector<int32_t> pos_x, pos_y, health, heading;  // per player
  std::vector<BotSave> bots_state;                     // per bot
  std::vector<int32_t> routes;     // per bot its 9 x and then its 9 y; empty: the line names none
  std::vector<std::string> peers;  // per human, the address that held the slot; "" for none
};

// The bits of a float, and back.
inline uint32_t float_bits(float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}
inline float bits_float(uint32_t bits) {
  float value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Writes the save member (with its leading ", ") through out.put(text,
// length), in pieces, allocating nothing. peers(q) gives human q's address.
template <class Out, class Peer>
void write_save_json(Out& out, const Match& match, Peer peers) {
  char text[240];
  int n = std::snprintf(text, sizeof text,
                        ", \"save\": {\"v\": %d, \"humans\": %d, \"bots\": %d, \"map\": %d, "
                        "\"turn_count\": %d, \"route_length\": %d, \"bots_state\": [",
                        SAVE_VERSION, static_cast<int>(match.human_count),
                        static_cast<int>(match.bot_count), static_cast<int>(match.map_number),
                        static_cast<int>(match.turn_count), static_cast<int>(match.route_length));
  out.put(text, static_cast<size_t>(n));
  for (size_t b = 0; b < static_cast<size_t>(match.bot_count); ++b) {
    const Segment& s = match.bot_segment[b];
    n = std::snprintf(
        text, sizeof text, "%s[%d, %d, %d, %d, %d, %u, %u, %u, %u, %u, %d]", b == 0 ? "" : ", ",
        static_cast<int>(match.waypoint_index[b]), static_cast<int>(match.trim_request[b]),
        static_cast<int>(match.bot_target[b]), static_cast<int>(s.waypoint_x),
        static_cast<int>(s.waypoint_y), float_bits(s.from_x), float_bits(s.from_y),
        float_bits(s.to_x), float_bits(s.to_y), float_bits(s.slope), static_cast<int>(s.intercept));
    out.put(text, static_cast<size_t>(n));
  }
  out.put("], \"peers\": [", 13);
  for (size_t q = 0; q < static_cast<size_t>(match.human_count); ++q) {
    const char* peer = peers(q);
    n = std::snprintf(text, sizeof text, "%s\"%.15s\"", q == 0 ? "" : ", ", peer);
    out.put(text, static_cast<size_t>(n));
  }
  out.put("]}", 2);
}

// Reads a turn line of a recording back. False, with *what saying what is
// wrong ("no save member: made by another version", "\"players\" holds 3
// rows for 4 players", ...), when the line is no turn line, has no save of
// this version, or holds a value the tables cannot take.
bool read_save_line(std::string_view line, MatchSave* save, std::string* what);

// The order of a recording's lines: its turns go up by one from line to
// line from turn 1; a restart mark names the last turn before it, and a gap
// line (record/recording.h) the last turn before it and the turns it stands
// for.
struct TurnOrder {
  uint64_t last = 0;  // the turn of the last line taken
};

// Takes the next whole line of a recording. False, with *what saying what is
// wrong, when it breaks the order (a turn that is not the next, twice the
// same, a count beyond any match) or is no line a recording holds.
bool turn_order_next(TurnOrder& order, std::string_view line, std::string* what);

// Whether the line names the routes (record/record_line.h), without reading it all.
bool line_names_routes(std::string_view line);

// The match's tables as the save has them: sizes, settings, every table;
// route_x and route_y from routes (9 x and 9 y per bot). REQUIRES: save was
// read by read_save_line and routes has bots * 18 values.
void restore_match(Match& match, const MatchSave& save, const std::vector<int32_t>& routes);
