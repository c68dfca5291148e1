// The recording of a match (--record FILE): after every turn one line
// (record/record_line.h) with the tables as the turn left them and the hits
// reported during it. It is written on the match thread: once the storage is
// made nothing allocates, and the first write that fails is logged and ends
// the recording, never the match.
#pragma once

#include <cstdint>
#include <cstdio>
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
};

// Creates or empties the file at path and makes the storage for a match of
// `humans` human players. Returns false and fills *err, naming the path and
// the reason, when the file cannot be opened or is there and is not a
// regular file (console/files.h).
bool recording_open(Recording& recording, const std::string& path, int32_t humans,
                    std::string* err);

// Notes a hit for the turn's line; one per human and turn, a later one of
// the same turn is left out.
void recording_add_hit(Recording& recording, const Hit& hit);

// Writes turn's line from the match's tables and its hits, and flushes it,
// so that a process killed later leaves every finished turn in the file.
void recording_write_turn(Recording& recording, uint64_t turn, const Match& match);
