// The recording's line: one JSON object per turn, the object /state.json
// serves (the turn, the map, the relay values, every player's row) with the
// hits reported in the turn added:
//   {"turn": T, "map": M, "relay_a": A, "relay_b": B, "players": [{"index": 0,
//    "human": true, "x": X, "y": Y, "health": H, "heading": D}, ...],
//    "map_name": "N", "routes": [[x0..x8, y0..y8] per bot],
//    "hits": [{"from": Q, "damage": D, "target": P + 1}, ...],
//    "save": {...}}
// where only the first line names the map, a line names the routes when
// they differ from the last line's (the first always does), and the save
// (record/save.h) holds the rest of what a resumed match needs.
// Written through out.put(text, length) in pieces: the recording writes to
// its file on the match thread without allocating, the view into a string.
#pragma once

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// A hit a client reported: player `from`'s damage on target (player index + 1).
struct Hit {
  int32_t from = 0, damage = 0, target = 0;
};

// The state object up to and including its "players" list, left open so
// that a caller may add members before its closing brace. row(p) gives
// player p's values as members x, y, health and heading.
template <class Out, class Row>
void write_state_json_open(Out& out, uint64_t turn, int32_t map, int32_t relay_a, int32_t relay_b,
                           int32_t humans, size_t players, Row row) {
  char text[160];
  int n = std::snprintf(text, sizeof text,
                        "{\"turn\": %" PRIu64
                        ", \"map\": %d, \"relay_a\": %d, \"relay_b\": %d, "
                        "\"players\": [",
                        turn, static_cast<int>(map), static_cast<int>(relay_a),
                        static_cast<int>(relay_b));
  out.put(text, static_cast<size_t>(n));
  for (size_t p = 0; p < players; ++p) {
    const auto r = row(p);
    n = std::snprintf(text, sizeof text,
                      "%s{\"index\": %" PRIu64
                      ", \"human\": %s, \"x\": %d, \"y\": %d, \"health\": %d, "
                      "\"heading\": %d}",
                      p == 0 ? "" : ", ", static_cast<uint64_t>(p),
                      p < static_cast<size_t>(humans) ? "true" : "false", static_cast<int>(r.x),
                      static_cast<int>(r.y), static_cast<int>(r.health),
                      static_cast<int>(r.heading));
    out.put(text, static_cast<size_t>(n));
  }
  out.put("]", 1);
}

// The "map_name" member (name: plain text, nothing to escape).
template <class Out>
void write_map_name_json(Out& out, const char* name) {
  char text[96];
  const int n = std::snprintf(text, sizeof text, ", \"map_name\": \"%s\"", name);
  out.put(text, static_cast<size_t>(n));
}

// The "routes" member: per bot, 2 * slots values, its x and then its y.
template <class Out>
void write_routes_json(Out& out, const int32_t* values, size_t bots, size_t slots) {
  static constexpr char name[] = ", \"routes\": [";
  out.put(name, sizeof name - 1);
  char text[32];
  for (size_t i = 0; i < bots * 2 * slots; ++i) {
    const size_t k = i % (2 * slots);
    const int n = std::snprintf(text, sizeof text, "%s%d%s", k == 0 ? (i == 0 ? "[" : ", [") : ", ",
                                static_cast<int>(values[i]), k == 2 * slots - 1 ? "]" : "");
    out.put(text, static_cast<size_t>(n));
  }
  out.put("]", 1);
}

// The "hits" member.
template <class Out>
void write_hits_json(Out& out, const Hit* hits, size_t count) {
  out.put(", \"hits\": [", 11);
  char text[96];
  for (size_t h = 0; h < count; ++h) {
    const Hit& hit = hits[h];
    const int n = std::snprintf(
        text, sizeof text, "%s{\"from\": %d, \"damage\": %d, \"target\": %d}", h == 0 ? "" : ", ",
        static_cast<int>(hit.from), static_cast<int>(hit.damage), static_cast<int>(hit.target));
    out.put(text, static_cast<size_t>(n));
  }
  out.put("]", 1);
}
