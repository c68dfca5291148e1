// The recording of a match (--record FILE): after every turn one line
// (record/record_line.h) with the tables as the turn left them and the hits
// reported during it. It is written on the match thread: once the storage is
// made nothing allocates, and the first write that fails is logged and ends
// the recording, never the match.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "match/match.h"
#include "record/record_line.h"

struct Recording {
  std::FILE* file = nullptr;  // null: not recording, or a write failed
  std::string path;
  std::vector<char> buffer;  // the file's, so that a turn's first write allocates none
  std::vector<Hit> hits;     // this turn's, at most one per human
  size_t hit_count = 0;
  // The routes as the last line had them and as they are now, per bot its
  // 9 x and then its 9 y.
  std::vector<int32_t> routes, routes_now;
  bool first_line = true;
};

inline constexpr size_t RECORDED_ROUTE_SLOTS = 9;  // the waypoints of a route a line names

// Creates the recording's file and makes the storage for a match of
// `humans` human players and `bots` bots. The file's name is path with its
// time placeholders filled in (recording_name); a file of that name is never
// overwritten: the first free numbered name is taken instead (and logged).
// Returns false and fills *err, naming the path and the reason, when path
// holds an unknown placeholder, a name is taken by something other than a
// regular file (console/files.h), or no file can be created.
bool recording_open(Recording& recording, const std::string& path, int32_t humans, int32_t bots,
                    std::string* err);

// path with %Y, %m, %d, %H, %M and %S replaced by the year, month, day,
// hour, minute and second of `now` in UTC, and %% by %. False, with *err
// naming the placeholder, for any other % sequence.
bool recording_name(const std::string& path, std::time_t now, std::string* name, std::string* err);

// The n-th other name for name: "-n" before its extension, as
// "games/lan1-2.jsonl" for "games/lan1.jsonl" and n = 2.
std::string recording_numbered_name(const std::string& name, int n);

// Notes a hit for the turn's line; one per human and turn, a later one of
// the same turn is left out.
void recording_add_hit(Recording& recording, const Hit& hit);

// Writes turn's line from the match's tables and its hits, and flushes it,
// so that a process killed later leaves every finished turn in the file.
void recording_write_turn(Recording& recording, uint64_t turn, const Match& match);
