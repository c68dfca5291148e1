#include "record/replay.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "console/console.h"
#include "console/files.h"

namespace {

constexpr char ROUTES[] = "\"routes\": [";
constexpr size_t ROUTES_LENGTH = sizeof ROUTES - 1;

// The line at the file's position, without its line feed. False at the end
// of the file or on a read error.
bool read_line(std::FILE* file, std::string* line) {
  line->clear();
  char chunk[4096];
  while (std::fgets(chunk, sizeof chunk, file) != nullptr) {
    const size_t length = std::strlen(chunk);
    if (length > 0 && chunk[length - 1] == '\n') {
      line->append(chunk, length - 1);
      return true;
    }
    line->append(chunk, length);
  }
  return false;
}

// The routes array a line names, as written: "[[...], ...]", or "null" when
// the line names none or its text is not a list of lists of integers.
std::string routes_of(const std::string& line) {
  const size_t start = line.find(ROUTES);
  if (start == std::string::npos) return "null";
  const size_t open = start + ROUTES_LENGTH - 1;
  int depth = 0;
  for (size_t i = open; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '[') {
      ++depth;
    } else if (c == ']') {
      if (--depth == 0) return line.substr(open, i - open + 1);
    } else if (std::strchr("0123456789-, ", c) == nullptr) {
      break;
    }
  }
  return "null";
}

// The map's name as the first line gives it, printable text only.
std::string map_name_of(const std::string& line) {
  static constexpr char member[] = "\"map_name\": \"";
  const size_t start = line.find(member);
  std::string name;
  if (start == std::string::npos) return name;
  for (size_t i = start + sizeof member - 1; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] >= ' ' && line[i] <= '~' && line[i] != '\\') name += line[i];
  }
  return name;
}

// Finds ROUTES in a stream of bytes, one at a time, across reads (the
// Knuth-Morris-Pratt automaton of the pattern).
struct RoutesFinder {
  size_t fallback[ROUTES_LENGTH] = {};
  size_t matched = 0;

  RoutesFinder() {
    for (size_t i = 1, k = 0; i < ROUTES_LENGTH; ++i) {
      while (k > 0 && ROUTES[i] != ROUTES[k]) k = fallback[k - 1];
      if (ROUTES[i] == ROUTES[k]) ++k;
      fallback[i] = k;
    }
  }
  // Whether c completes the pattern.
  bool take(char c) {
    while (matched > 0 && c != ROUTES[matched]) matched = fallback[matched - 1];
    if (c == ROUTES[matched]) ++matched;
    if (matched < ROUTES_LENGTH) return false;
    matched = fallback[matched - 1];
    return true;
  }
};

}  // namespace

bool replay_load(const std::string& path, Replay& replay, std::string* err) {
  const std::string problem = file_problem(path);
  if (!problem.empty()) {
    *err = "--replay: cannot read '" + path + "': " + problem;
    return false;
  }
  replay.path = path;
  replay.file.reset(std::fopen(path.c_str(), "rb"));
  if (!replay.file) {
    *err = "--replay: cannot open '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::FILE* file = replay.file.get();
  replay.turns = 0;
  replay.marks.assign(1, Replay::Mark{});
  RoutesFinder finder;
  uint64_t offset = 0, line_start = 0;
  int64_t routes_from = -1;
  bool names_routes = false;
  char chunk[64 * 1024];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    for (size_t i = 0; i < got; ++i, ++offset) {
      names_routes = finder.take(chunk[i]) || names_routes;
      if (chunk[i] != '\n') continue;
      if (names_routes) routes_from = static_cast<int64_t>(line_start);
      names_routes = false;
      line_start = offset + 1;
      if (++replay.turns % REPLAY_MARK_EVERY == 0)
        replay.marks.push_back({line_start, routes_from});
    }
  }
  if (std::ferror(file) != 0) {
    *err = "--replay: cannot read '" + path + "'";
    return false;
  }
  std::string first;
  if (replay.turns > 0 && console_seek(file, 0) && read_line(file, &first)) {
    replay.map_name = map_name_of(first);
  }
  return true;
}

bool replay_window(Replay& replay, uint64_t from, uint64_t count, size_t max_bytes,
                   std::string* out) {
  std::FILE* file = replay.file.get();
  if (from >= replay.turns) return false;
  const Replay::Mark& mark = replay.marks[from / REPLAY_MARK_EVERY];
  if (!console_seek(file, mark.offset)) return false;
  // The routes in force at `from`: those of the mark, or of a line between.
  int64_t routes_from = mark.routes_from;
  uint64_t offset = mark.offset;
  std::string line;
  for (uint64_t k = from / REPLAY_MARK_EVERY * REPLAY_MARK_EVERY; k < from; ++k) {
    if (!read_line(file, &line)) return false;
    if (line.find(ROUTES) != std::string::npos) routes_from = static_cast<int64_t>(offset);
    offset += line.size() + 1;
  }
  std::string routes = "null";
  if (routes_from >= 0) {
    if (!console_seek(file, static_cast<uint64_t>(routes_from)) || !read_line(file, &line)) {
      return false;
    }
    routes = routes_of(line);
  }
  char head[96];
  std::snprintf(head, sizeof head,
                "{\"from\": %" PRIu64 ", \"total\": %" PRIu64 ", \"map_name\": \"", from,
                replay.turns);
  *out = head + replay.map_name + "\", \"routes\": " + routes + "}\n";
  // The lines go straight into the answer: one copy of the window at most.
  const size_t limit = out->size() + max_bytes;
  if (!console_seek(file, offset)) return false;
  for (uint64_t k = from; k < replay.turns && k - from < count; ++k) {
    if (!read_line(file, &line)) return false;
    if (k > from && out->size() + line.size() + 1 > limit) break;
    *out += line;
    *out += '\n';
  }
  return true;
}
