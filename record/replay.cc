#include "record/replay.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool replay_load(const std::string& path, Replay& replay, std::string* err) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *err = "--replay: cannot open '" + path + "': " + std::strerror(errno);
    return false;
  }
  replay.lines.clear();
  char chunk[64 * 1024];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) replay.lines.append(chunk, got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    *err = "--replay: cannot read '" + path + "'";
    return false;
  }
  replay.turns = 0;
  for (const char c : replay.lines) replay.turns += c == '\n' ? 1 : 0;
  return true;
}
