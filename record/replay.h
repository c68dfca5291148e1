// A recording read back for --replay, however long: indexed once at start,
// with the byte offset of every REPLAY_MARK_EVERY-th line and of the last
// line before it that named the routes (record/record_line.h), so that any
// window of turns is read from the file when asked for. Memory stays a few
// bytes per REPLAY_MARK_EVERY turns, and a window is bounded in bytes.
//
// Only whole lines count: a last line cut short by a kill is left out.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

inline constexpr uint64_t REPLAY_MARK_EVERY = 64;

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
  std::vector<Mark> marks;
};

// Opens and indexes the recording at path. Returns false and fills *err,
// naming the path and the reason, when it cannot be read or is not a
// regular file (console/files.h).
bool replay_load(const std::string& path, Replay& replay, std::string* err);

// Lines from, from + 1, ... of the recording, at most count of them and
// beyond the first none that would pass max_bytes, after a header line:
//   {"from": F, "total": T, "map_name": "N", "routes": [...] or null}
// where "routes" are those the last line before `from` named. Each line
// ends with a line feed. False when from is not a line of the recording or
// the file cannot be read.
bool replay_window(Replay& replay, uint64_t from, uint64_t count, size_t max_bytes,
                   std::string* out);
