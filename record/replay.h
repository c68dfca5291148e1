// A recording read back for --replay: its lines as they were written, served
// whole to the page, which plays them.
#pragma once

#include <cstdint>
#include <string>

struct Replay {
  std::string lines;
  uint64_t turns = 0;  // lines in the recording, one per turn
};

// Reads the recording at path. Returns false and fills *err, naming the path
// and the reason, when it cannot be read.
bool replay_load(const std::string& path, Replay& replay, std::string* err);
