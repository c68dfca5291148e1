// A recording read back for --replay, however long: indexed once at start,
// with the byte offset of every REPLAY_MARK_EVERY-th turn and of the last
// line before it that named the routes (record/record_line.h), so that any
// window of turns is read from the file when asked for. Memory stays a few
// bytes per REPLAY_MARK_EVERY turns and one line of at most REPLAY_MAX_LINE
// bytes (record/line_reader.h), and a window is bounded in bytes.
//
// The turns are the file's lines but those that are no turn: a last line cut
// short by a kill, the match's end record (record/end_record.h) and the
// marks a match that went on after a restart left (record/restart_mark.h). A
// damaged line (a NUL byte, a control byte, not an object) or one longer than
// REPLAY_MAX_LINE stays a turn, one line in its place, served as
//   {"damaged": {"line": N, "why": "holds a NUL byte"}}
// (N: its line in the file, from 1), so that its neighbours are never lost or
// shifted. A recording without an end record (cut short, or made before
// there was one) replays all the same.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "record/line_reader.h"
#include "record/scoreboard.h"

inline constexpr uint64_t REPLAY_MARK_EVERY = 64;
// The lines longer than REPLAY_MAX_LINE whose place is kept at start, so
// that a window steps over them instead of reading them again: the first
// this many.
inline constexpr size_t REPLAY_LONG_LINES_KEPT = 4096;
// The health chart of a whole recording: at most this many samples, of the
// first REPLAY_CHART_PLAYERS players.
inline constexpr uint64_t REPLAY_CHART_SAMPLES = 500;
inline constexpr size_t REPLAY_CHART_PLAYERS = 64;
// The longest line read: a window is at most 1 MB (view/http_view.h), and a
// turn of the largest match is a few kB.
inline constexpr size_t REPLAY_MAX_LINE = 1024 * 1024;
// The restart marks kept for the windows' header: the first this many.
inline constexpr size_t REPLAY_RESTARTS_KEPT = 1000;
// The scoreboards kept at start, so that a window counts the hits of at most
// a few hundred turns before it wherever it starts: one every
// Replay::score_every turns, their rows in at most this many bytes (the
// interval doubles whenever they would pass it).
inline constexpr size_t REPLAY_SCORE_BYTES = 512 * 1024;

struct Replay {
  struct Mark {
    uint64_t offset = 0;       // of turn k * REPLAY_MARK_EVERY
    uint64_t line = 0;         // its line in the file, from 0
    int64_t routes_from = -1;  // of the last line before it naming the routes, -1: none
  };
  struct Restart {
    uint64_t after_turn = 0;
    std::string at;  // "YYYY-MM-DDTHH:MM:SSZ"
  };

  std::string path;
  LineReader reader;     // read by whoever serves the windows
  uint64_t turns = 0;    // lines that are turns, damaged ones too
  uint64_t damaged = 0;  // of them, damaged or too long
  std::string map_name;  // as the first turn names it
  size_t players = 0;    // in the first whole turn
  std::vector<Mark> marks;
  struct LongLine {
    uint64_t offset = 0, length = 0;  // its first byte, its bytes without the line feed
  };
  std::vector<LongLine> long_lines;  // in file order, at most REPLAY_LONG_LINES_KEPT
  std::vector<Restart> restarts;     // at most REPLAY_RESTARTS_KEPT
  std::string end;                   // the end record's object, empty when the recording has none
  // Where the last window's scoreboard was counted up to: turn `turn` at
  // byte `offset` (line `line`), the hits of the turns before it in scores,
  // the names the last of them gave (its "names" member's value, empty:
  // none yet).
  struct Tally {
    uint64_t turn = 0, offset = 0, line = 0;
    std::vector<PlayerScore> scores;
    std::string names;
  } tally;
  std::string health_chart;  // made on the first ask
  // The scoreboard before turn c * score_every, for each c: its rows in
  // score_rows[c] (none: nobody has scored yet), and the offset of the last
  // turn before it that named the players (-1: none) in names_from[c].
  uint64_t score_every = REPLAY_MARK_EVERY;
  std::vector<std::vector<PlayerScore>> score_rows;
  std::vector<int64_t> names_from;
};

// What one reader of the windows owns: its own file and where its last
// window's scoreboard was counted to. Several read one Replay side by side,
// each with its own cursor, once replay_load has returned.
struct ReplayCursor {
  LineReader reader;
  Replay::Tally tally;
};

// A cursor of its own on replay's file; false and *err when it cannot be
// opened.
bool replay_cursor_open(const Replay& replay, ReplayCursor& cursor, std::string* err);

// Opens and indexes the recording at path. Returns false and fills *err,
// naming the path and the reason, when it cannot be read or is not a
// regular file (console/files.h). The scoreboards kept take at most
// score_bytes.
bool replay_load(const std::string& path, Replay& replay, std::string* err,
                 size_t score_bytes = REPLAY_SCORE_BYTES);

// Turns from, from + 1, ... of the recording, at most count of them and
// beyond the first none that would pass max_bytes, after a header line:
//   {"from": F, "total": T, "map_name": "N", "routes": [...] or null,
//    "names": [...] or null, "scores": [[hits made, hits taken, damage dealt,
//    damage taken] per player], "restarts": [{"after_turn": T, "at": "..."},
//    ...], "end": {...} or null}
// where "routes" and "names" are those the last turn before `from` named,
// "scores" count the hits of the turns before `from` (record/scoreboard.h),
// and "end" is the end record's object. Each line ends with a line feed; a
// damaged turn is served as damaged (above), and so is a first turn longer
// than max_bytes. count 0: the header alone. False when from is not a turn of
// the recording or the file cannot be read (replay.reader.error then says
// why).
bool replay_window(Replay& replay, uint64_t from, uint64_t count, size_t max_bytes,
                   std::string* out);
// The same, read with a cursor of its own: replay is only read.
bool replay_window(const Replay& replay, ReplayCursor& cursor, uint64_t from, uint64_t count,
                   size_t max_bytes, std::string* out);

// The hits a recording's line holds, counted into scores (a table of
// `players` rows); false when the line has no "hits" list.
bool replay_count_hits(std::string_view line, PlayerScore* scores, size_t players);

// The whole recording's health, for the page's charts:
//   {"every": S, "health": [[h of line 0, line S, line 2S, ...] per player]}
// of the first REPLAY_CHART_PLAYERS players; S makes at most
// REPLAY_CHART_SAMPLES samples. False when the file cannot be read.
bool replay_health_chart(Replay& replay, std::string* out);
// The same, read with a cursor of its own, and not kept.
bool replay_health_chart(const Replay& replay, ReplayCursor& cursor, std::string* out);
