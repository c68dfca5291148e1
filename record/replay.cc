#include "record/replay.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "console/files.h"
#include "record/end_record.h"

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

// The value of a line's list member (`"names": [`), as written, or "" when
// the line has none or it is not closed on the line.
std::string list_member(const std::string& line, const char* member) {
  const size_t start = line.find(member);
  if (start == std::string::npos) return "";
  const size_t open = start + std::strlen(member) - 1;
  bool quoted = false;
  for (size_t i = open + 1; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (!quoted && line[i] == ']') return line.substr(open, i - open + 1);
    if (!quoted && line[i] == '[') break;  // names hold no lists
  }
  return "";
}

// The number after `name` at or after `at`; `at` moves past it. False when
// there is none before `end`.
bool number_after(const std::string& line, const char* name, size_t* at, size_t end,
                  int64_t* value) {
  const size_t found = line.find(name, *at);
  if (found == std::string::npos || found >= end) return false;
  const char* start = line.c_str() + found + std::strlen(name);
  char* stop = nullptr;
  *value = std::strtoll(start, &stop, 10);
  if (stop == start) return false;
  *at = static_cast<size_t>(stop - line.c_str());
  return true;
}

// Players in a line: its "index" members.
size_t players_of(const std::string& line) {
  size_t players = 0;
  for (size_t at = line.find("\"index\": "); at != std::string::npos;
       at = line.find("\"index\": ", at + 1)) {
    ++players;
  }
  return players;
}

}  // namespace

bool replay_count_hits(const std::string& line, PlayerScore* scores, size_t players) {
  static constexpr char member[] = "\"hits\": [";
  const size_t start = line.rfind(member);
  if (start == std::string::npos) return false;
  const size_t end = line.find(']', start);
  size_t at = start + sizeof member - 1;
  int64_t from = 0, damage = 0, target = 0;
  while (number_after(line, "\"from\": ", &at, end, &from) &&
         number_after(line, "\"damage\": ", &at, end, &damage) &&
         number_after(line, "\"target\": ", &at, end, &target)) {
    score_hit(scores, players, saturate_to_int32(from), saturate_to_int32(damage),
              saturate_to_int32(target));
  }
  return true;
}

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
  uint64_t offset = 0, line_start = 0, last_line_start = 0;
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
      last_line_start = line_start;
      line_start = offset + 1;
      if (++replay.turns % REPLAY_MARK_EVERY == 0)
        replay.marks.push_back({line_start, routes_from});
    }
  }
  if (std::ferror(file) != 0) {
    *err = "--replay: cannot read '" + path + "'";
    return false;
  }
  std::string line;
  replay.end.clear();
  if (replay.turns > 0 && console_seek(file, last_line_start) && read_line(file, &line) &&
      line.rfind(END_LINE_START, 0) == 0 && line.size() > sizeof END_LINE_START) {
    replay.end = line.substr(sizeof END_LINE_START - 1, line.size() - sizeof END_LINE_START);
    --replay.turns;
  }
  replay.players = 0;
  if (replay.turns > 0 && console_seek(file, 0) && read_line(file, &line)) {
    replay.map_name = map_name_of(line);
    replay.players = players_of(line);
  }
  replay.tally = Replay::Tally{};
  replay.tally.scores.assign(replay.players, PlayerScore{});
  replay.health_chart.clear();
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
  // The scoreboard before `from`: counted on from the last window's, or
  // from the start for a window before it.
  Replay::Tally& tally = replay.tally;
  if (tally.line > from) {
    tally = Replay::Tally{};
    tally.scores.assign(replay.players, PlayerScore{});
  }
  if (!console_seek(file, tally.offset)) return false;
  for (; tally.line < from; ++tally.line) {
    if (!read_line(file, &line)) return false;
    replay_count_hits(line, tally.scores.data(), tally.scores.size());
    if (std::string names = list_member(line, "\"names\": ["); !names.empty()) {
      tally.names = std::move(names);
    }
    tally.offset += line.size() + 1;
  }
  char head[96];
  std::snprintf(head, sizeof head,
                "{\"from\": %" PRIu64 ", \"total\": %" PRIu64 ", \"map_name\": \"", from,
                replay.turns);
  *out = head + replay.map_name + "\", \"routes\": " + routes +
         ", \"names\": " + (tally.names.empty() ? "null" : tally.names) + ", \"scores\": [";
  for (size_t p = 0; p < tally.scores.size(); ++p) {
    const PlayerScore& score = tally.scores[p];
    char row[96];
    std::snprintf(row, sizeof row, "%s[%" PRIu64 ", %" PRIu64 ", %" PRId64 ", %" PRId64 "]",
                  p == 0 ? "" : ", ", score.hits_made, score.hits_taken, score.damage_dealt,
                  score.damage_taken);
    *out += row;
  }
  *out += "], \"end\": " + (replay.end.empty() ? std::string("null") : replay.end) + "}\n";
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

bool replay_health_chart(Replay& replay, std::string* out) {
  if (!replay.health_chart.empty()) {
    *out = replay.health_chart;
    return true;
  }
  std::FILE* file = replay.file.get();
  if (!console_seek(file, 0)) return false;
  const uint64_t every = replay.turns <= REPLAY_CHART_SAMPLES
                             ? 1
                             : (replay.turns + REPLAY_CHART_SAMPLES - 1) / REPLAY_CHART_SAMPLES;
  std::vector<std::string> series;
  std::string line;
  for (uint64_t k = 0; k < replay.turns; ++k) {
    if (!read_line(file, &line)) return false;
    if (k % every != 0) continue;
    size_t at = 0;
    int64_t health = 0;
    for (size_t p = 0;
         p < REPLAY_CHART_PLAYERS && number_after(line, "\"health\": ", &at, line.size(), &health);
         ++p) {
      if (series.size() <= p) series.emplace_back();
      if (!series[p].empty()) series[p] += ", ";
      series[p] += std::to_string(health);
    }
  }
  std::string chart = "{\"every\": " + std::to_string(every) + ", \"health\": [";
  for (size_t p = 0; p < series.size(); ++p) chart += (p == 0 ? "[" : ", [") + series[p] + "]";
  chart += "]}";
  replay.health_chart = chart;
  *out = std::move(chart);
  return true;
}
