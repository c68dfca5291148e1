// A recording read back for --replay, however long: indexed once at start,
// with the byte offset of every REPLAY_MARK_EVERY-th line and of the last
// line before it that named the routes (record/record_line.h), so that any
// window of turns is read from the file when asked for. Memory stays a few
// bytes per REPLAY_MARK_EVERY turns, and a window is bounded in bytes.
//
// Only whole lines count: a last line cut short by a kill is left out. A
// last line that is the match's end record (record/end_record.h) is no
// turn: it is kept apart, and a recording without one (cut short, or made
// before there was one) replays all the same.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "record/scoreboard.h"

inline constexpr uint64_t REPLAY_MARK_EVERY = 64;
// The health chart of a whole recording: at most this many samples, of the
// first REPLAY_CHART_PLAYERS players.
inline constexpr uint64_t REPLAY_CHART_SAMPLES = 500;
inline constexpr size_t REPLAY_CHART_PLAYERS = 64;

struct Replay {
  struct Mark {
    uint64_t offset = 0;       // of line k * REPLAY_MARK_EVERY
    int64_t routes_from = -1;  // of the last line before it naming the routes, -1: none
  };
  struct Closer {
    void operator()(std::FILE* open_file) const { std::fclose(open_file); }
  };

  std::string path;
  std::unique_ptr<std::FILE, Closer> file;  // read by whoever serves the windows
  uint64_t turns = 0;                       // whole lines
  std::string map_name;                     // as the first line names it
  size_t players = 0;                       // in the first line
  std::vector<Mark> marks;
  std::string end;  // the end record's object, empty when the recording has none
  // Where the last window's scoreboard was counted up to: line `line` at
  // byte `offset`, the hits of the lines before it in scores, the names the
  // last of them gave (its "names" member's value, empty: none yet).
  struct Tally {
    uint64_t line = 0, offset = 0;
    std::vector<PlayerScore> scores;
    std::string names;
  } tally;
  std::string health_chart;  // made on the first ask
};

// Opens and indexes the recording at path. Returns false and fills *err,
// naming the path and the reason, when it cannot be read or is not a
// regular file (console/files.h).
bool replay_load(const std::string& path, Replay& replay, std::string* err);

// Lines from, from + 1, ... of the recording, at most count of them and
// beyond the first none that would pass max_bytes, after a header line:
//   {"from": F, "total": T, "map_name": "N", "routes": [...] or null,
//    "names": [...] or null, "scores": [[hits made, hits taken, damage dealt,
//    damage taken] per player], "end": {...} or null}
// where "routes" and "names" are those the last line before `from` named,
// "scores" count the hits of the lines before `from` (record/scoreboard.h),
// and "end" is the end record's object. Each line
// ends with a line feed. False when from is not a line of the recording or
// the file cannot be read.
bool replay_window(Replay& replay, uint64_t from, uint64_t count, size_t max_bytes,
                   std::string* out);

// The hits a recording's line holds, counted into scores (a table of
// `players` rows); false when the line has no "hits" list.
bool replay_count_hits(const std::string& line, PlayerScore* scores, size_t players);

// The whole recording's health, for the page's charts:
//   {"every": S, "health": [[h of line 0, line S, line 2S, ...] per player]}
// of the first REPLAY_CHART_PLAYERS players; S makes at most
// REPLAY_CHART_SAMPLES samples. False when the file cannot be read.
bool replay_health_chart(Replay& replay, std::string* out);
