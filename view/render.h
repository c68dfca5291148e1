// The texts the live view serves, made from a copy of the published state:
// /state.json, the page's own /view.json, and /metrics.
#pragma once

#include <string>

#include "view/snapshot.h"

// {"turn": N, "map": M, "relay_a": A, "relay_b": B, "players": [...],
// "clients": ["playing" | "dropped" | "rejoined" per human], "scoreboard":
// [{"hits_made": M, "hits_taken": T, "damage_dealt": D, "damage_taken": E}
// per player (record/scoreboard.h)], "names": ["N" or null per player] when the
// operator named players, "end": {...} once the match is over
// (record/end_record.h)}
std::string state_json(const Frame& frame);

// What the page draws: {"state": <state_json>, "humans": H, "turns_total": T,
// "messages_total": M, "round_trip": [seconds or null per human], "waiting":
// {"player": Q, "seconds": S} or null, "map_name": "...", "joined": J,
// "elapsed": seconds since the match started (up to its end),
// "hits": [{"turn": T, "from": F, "damage": D, "target": G}, newest first],
// "routes": [[x0..x8, y0..y8] per bot]}.
std::string view_json(const Frame& frame);

// What the page shows before the match, from Snapshot::read_lobby:
// {"lobby": {"humans": H, "bots": B, "map": M, "map_name": "...", "joined": J,
// "addresses": ["address:port", ...]}}.
std::string lobby_json(const Frame& frame);

// The Prometheus text format, version 0.0.4.
std::string metrics_text(const Frame& frame);
