#include "record/replay.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <string_view>
#include <utility>

#include "console/log.h"
#include "record/end_record.h"
#include "record/restart_mark.h"

namespace {

constexpr std::string_view ROUTES = "\"routes\": [";
// Damaged lines named one by one in the log at start; the rest are counted.
constexpr uint64_t DAMAGED_LOGGED = 10;

// The members of a turn the replay reads: those before the match's saved
// state, which the recording writes last (", \"save\": {...}") and the
// replay has no use for.
std::string_view turn_members(std::string_view text) {
  const size_t save = text.find(", \"save\": {");
  return save == std::string_view::npos ? text : text.substr(0, save);
}

// The routes array a line names, as written: "[[...], ...]", or "null" when
// the line names none or its text is not a list of lists of integers.
std::string routes_of(std::string_view line) {
  const size_t start = line.find(ROUTES);
  if (start == std::string_view::npos) return "null";
  const size_t open = start + ROUTES.size() - 1;
  int depth = 0;
  for (size_t i = open; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '[') {
      ++depth;
    } else if (c == ']') {
      if (--depth == 0) return std::string(line.substr(open, i - open + 1));
    } else if (std::strchr("0123456789-, ", c) == nullptr) {
      break;
    }
  }
  return "null";
}

// The map's name as the first turn gives it, printable text only.
std::string map_name_of(std::string_view line) {
  static constexpr std::string_view member = "\"map_name\": \"";
  const size_t start = line.find(member);
  std::string name;
  if (start == std::string_view::npos) return name;
  for (size_t i = start + member.size(); i < line.size() && line[i] != '"'; ++i) {
    if (line[i] >= ' ' && line[i] <= '~' && line[i] != '\\') name += line[i];
  }
  return name;
}

// The value of a line's list member (`"names": [`), as written, or "" when
// the line has none or it is not closed on the line.
std::string list_member(std::string_view line, std::string_view member) {
  const size_t start = line.find(member);
  if (start == std::string_view::npos) return "";
  const size_t open = start + member.size() - 1;
  bool quoted = false;
  for (size_t i = open + 1; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (!quoted && line[i] == ']') return std::string(line.substr(open, i - open + 1));
    if (!quoted && line[i] == '[') break;  // names hold no lists
  }
  return "";
}

// The number after `name` at or after `at`; `at` moves past it. False when
// there is none before `end`. Saturates rather than wraps.
bool number_after(std::string_view line, std::string_view name, size_t* at, size_t end,
                  int64_t* value) {
  const size_t found = line.find(name, *at);
  if (found == std::string_view::npos || found >= end) return false;
  size_t i = found + name.size();
  const bool negative = i < line.size() && line[i] == '-';
  if (negative) ++i;
  const size_t digits = i;
  uint64_t magnitude = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    const auto digit = static_cast<uint64_t>(line[i] - '0');
    magnitude = magnitude > (UINT64_MAX - digit) / 10 ? UINT64_MAX : magnitude * 10 + digit;
  }
  if (i == digits) return false;
  magnitude = std::min<uint64_t>(magnitude, INT64_MAX);
  *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  *at = i;
  return true;
}

// Players in a turn: the "index" members of its "players" list.
size_t players_of(std::string_view line) {
  static constexpr std::string_view list = "\"players\": [";
  const size_t start = line.find(list);
  if (start == std::string_view::npos) return 0;
  const size_t end = line.find(']', start);  // a player's row holds no list
  size_t players = 0;
  for (size_t at = line.find("\"index\": ", start); at < end;
       at = line.find("\"index\": ", at + 1)) {
    ++players;
  }
  return players;
}

enum class LineRole : uint8_t { Turn, End, Restart, Gap, Cut };

// What a line of the recording is to the replay: a damaged line is a turn
// whose text is lost, so that the turns after it keep their places.
LineRole role_of(const RecordingLine& line) {
  if (line.kind == LineKind::Cut) return LineRole::Cut;
  if (line.kind != LineKind::Whole) return LineRole::Turn;
  if (line.text.size() > sizeof END_LINE_START && line.text.rfind(END_LINE_START, 0) == 0) {
    return LineRole::End;
  }
  if (line.text.rfind(RESTART_LINE_START, 0) == 0) return LineRole::Restart;
  if (line.text.rfind(GAP_LINE_START, 0) == 0) return LineRole::Gap;
  return LineRole::Turn;
}

// The next turn, past the lines that are none; false at the end or on a
// read error. A line too long to hold that the index knows is stepped over,
// not read again.
bool next_turn(const Replay& replay, LineReader& reader, RecordingLine* line) {
  for (;;) {
    const auto known =
        std::lower_bound(replay.long_lines.begin(), replay.long_lines.end(), reader.offset,
                         [](const Replay::LongLine& long_line, uint64_t offset) {
                           return long_line.offset < offset;
                         });
    if (known != replay.long_lines.end() && known->offset == reader.offset) {
      *line = RecordingLine{};
      line->number = reader.number;
      line->offset = known->offset;
      line->length = known->length;
      line->kind = LineKind::TooLong;
      reader.why = "is longer than " + std::to_string(reader.max_line) + " bytes";
      line->why = reader.why.c_str();
      return line_reader_seek(reader, known->offset + known->length + 1, reader.number + 1);
    }
    if (!line_reader_next(reader, line)) return false;
    if (role_of(*line) == LineRole::Turn) return true;
  }
}

// A turn the window cannot give as it is written, in its place.
std::string damaged_json(uint64_t number, const char* why) {
  std::string json = "{\"damaged\": {\"line\": " + std::to_string(number + 1) + ", \"why\": \"";
  for (const char* c = why; *c != '\0'; ++c) {
    if (*c >= ' ' && *c != '"' && *c != '\\') json += *c;
  }
  return json + "\"}}";
}

}  // namespace

bool replay_count_hits(std::string_view line, PlayerScore* scores, size_t players) {
  static constexpr std::string_view member = "\"hits\": [";
  const size_t start = line.rfind(member);
  if (start == std::string_view::npos) return false;
  const size_t end = std::min(line.find(']', start), line.size());
  size_t at = start + member.size();
  int64_t from = 0, damage = 0, target = 0;
  while (number_after(line, "\"from\": ", &at, end, &from) &&
         number_after(line, "\"damage\": ", &at, end, &damage) &&
         number_after(line, "\"target\": ", &at, end, &target)) {
    score_hit(scores, players, saturate_to_int32(from), saturate_to_int32(damage),
              saturate_to_int32(target));
  }
  return true;
}

bool replay_load(const std::string& path, Replay& replay, std::string* err, size_t score_bytes) {
  replay = Replay{};
  std::string why;
  if (!line_reader_open(replay.reader, path, REPLAY_MAX_LINE, &why)) {
    *err = "--replay: " + why;
    return false;
  }
  replay.path = path;
  LineReader& reader = replay.reader;
  int64_t routes_from = -1;
  bool named = false;  // the first whole turn has given the map and the players
  uint64_t restarts = 0;
  std::vector<PlayerScore> scores;  // of the turns so far, once the players are known
  int64_t names_from = -1;
  size_t kept_bytes = 0;
  RecordingLine line;
  while (line_reader_next(reader, &line)) {
    switch (role_of(line)) {
      case LineRole::Cut:
        log_line(LogLevel::Warning, "--replay: line %" PRIu64 " of '%s' %s: left out",
                 line.number + 1, path.c_str(), line.why);
        continue;
      case LineRole::End:
        replay.end.assign(
            line.text.substr(sizeof END_LINE_START - 1, line.text.size() - sizeof END_LINE_START));
        continue;
      case LineRole::Restart: {
        Replay::Restart restart;
        if (!parse_restart_mark(line.text, &restart.after_turn, &restart.at)) {
          log_line(LogLevel::Warning,
                   "--replay: line %" PRIu64 " of '%s' is no restart mark as written: left out",
                   line.number + 1, path.c_str());
        } else if (++restarts <= REPLAY_RESTARTS_KEPT) {
          replay.restarts.push_back(std::move(restart));
        }
        continue;
      }
      case LineRole::Gap:
        continue;
      case LineRole::Turn:
        break;
    }
    if (replay.turns % REPLAY_MARK_EVERY == 0) {
      replay.marks.push_back({line.offset, line.number, routes_from});
    }
    if (replay.turns == replay.score_rows.size() * replay.score_every) {
      replay.score_rows.push_back(scores);
      replay.names_from.push_back(names_from);
      kept_bytes += sizeof scores + sizeof names_from + scores.size() * sizeof(PlayerScore);
      if (kept_bytes > score_bytes && replay.score_rows.size() >= 2) {
        // Every other one goes, and the interval doubles.
        size_t kept = 0;
        for (size_t c = 0; c < replay.score_rows.size(); c += 2, ++kept) {
          replay.score_rows[kept] = std::move(replay.score_rows[c]);
          replay.names_from[kept] = replay.names_from[c];
        }
        replay.score_rows.resize(kept);
        replay.names_from.resize(kept);
        replay.score_rows.shrink_to_fit();
        replay.names_from.shrink_to_fit();
        replay.score_every *= 2;
        kept_bytes =
            kept * (sizeof scores + sizeof names_from + scores.size() * sizeof(PlayerScore));
      }
    }
    ++replay.turns;
    replay.end.clear();  // an end record followed by turns ended no match
    if (line.kind == LineKind::TooLong && replay.long_lines.size() < REPLAY_LONG_LINES_KEPT) {
      replay.long_lines.push_back({line.offset, line.length});
    }
    if (line.kind != LineKind::Whole) {
      if (++replay.damaged <= DAMAGED_LOGGED) {
        log_line(LogLevel::Warning, "--replay: line %" PRIu64 " of '%s' %s: served as damaged",
                 line.number + 1, path.c_str(), line.why);
      }
      continue;
    }
    const std::string_view members = turn_members(line.text);
    if (members.find(ROUTES) != std::string_view::npos) {
      routes_from = static_cast<int64_t>(line.offset);
    }
    if (!named) {
      replay.map_name = map_name_of(members);
      replay.players = players_of(members);
      scores.assign(replay.players, PlayerScore{});
      named = true;
    }
    replay_count_hits(members, scores.data(), scores.size());
    if (!list_member(members, "\"names\": [").empty()) {
      names_from = static_cast<int64_t>(line.offset);
    }
  }
  if (!reader.error.empty()) {
    *err = "--replay: " + reader.error;
    return false;
  }
  if (replay.damaged > DAMAGED_LOGGED) {
    log_line(LogLevel::Warning, "--replay: '%s' has %" PRIu64 " damaged lines in all", path.c_str(),
             replay.damaged);
  }
  if (restarts > REPLAY_RESTARTS_KEPT) {
    log_line(LogLevel::Warning,
             "--replay: '%s' marks %" PRIu64 " restarts; the first %" PRIu64 " are shown",
             path.c_str(), restarts, static_cast<uint64_t>(REPLAY_RESTARTS_KEPT));
  }
  replay.tally.scores.assign(replay.players, PlayerScore{});
  return true;
}

bool replay_cursor_open(const Replay& replay, ReplayCursor& cursor, std::string* err) {
  cursor.tally = Replay::Tally{};
  return line_reader_open(cursor.reader, replay.path, REPLAY_MAX_LINE, err);
}

bool replay_window(Replay& replay, uint64_t from, uint64_t count, size_t max_bytes,
                   std::string* out) {
  ReplayCursor cursor{std::move(replay.reader), std::move(replay.tally)};
  const bool read = replay_window(std::as_const(replay), cursor, from, count, max_bytes, out);
  replay.reader = std::move(cursor.reader);
  replay.tally = std::move(cursor.tally);
  return read;
}

bool replay_window(const Replay& replay, ReplayCursor& cursor, uint64_t from, uint64_t count,
                   size_t max_bytes, std::string* out) {
  LineReader& reader = cursor.reader;
  if (from >= replay.turns) return false;
  const Replay::Mark& mark = replay.marks[from / REPLAY_MARK_EVERY];
  if (!line_reader_seek(reader, mark.offset, mark.line)) return false;
  // The routes in force at `from`: those of the mark, or of a turn between.
  int64_t routes_from = mark.routes_from;
  RecordingLine line;
  for (uint64_t k = from / REPLAY_MARK_EVERY * REPLAY_MARK_EVERY; k < from; ++k) {
    if (!next_turn(replay, reader, &line)) return false;
    if (line.kind == LineKind::Whole &&
        turn_members(line.text).find(ROUTES) != std::string_view::npos) {
      routes_from = static_cast<int64_t>(line.offset);
    }
  }
  const uint64_t start_offset = reader.offset, start_line = reader.number;
  std::string routes = "null";
  if (routes_from >= 0) {
    if (!line_reader_seek(reader, static_cast<uint64_t>(routes_from), 0) ||
        !line_reader_next(reader, &line)) {
      return false;
    }
    if (line.kind == LineKind::Whole) routes = routes_of(turn_members(line.text));
  }
  // The scoreboard before `from`: counted on from this cursor's last
  // window's, or from the scoreboard kept at start nearest before it.
  Replay::Tally& tally = cursor.tally;
  const uint64_t kept = from / replay.score_every, kept_turn = kept * replay.score_every;
  if (tally.turn > from || tally.turn < kept_turn || tally.scores.size() != replay.players) {
    const Replay::Mark& at = replay.marks[kept_turn / REPLAY_MARK_EVERY];
    tally = Replay::Tally{};
    tally.turn = kept_turn;
    tally.offset = at.offset;
    tally.line = at.line;
    tally.scores = replay.score_rows[kept];
    tally.scores.resize(replay.players);
    if (replay.names_from[kept] >= 0) {
      if (!line_reader_seek(reader, static_cast<uint64_t>(replay.names_from[kept]), 0) ||
          !line_reader_next(reader, &line)) {
        return false;
      }
      if (line.kind == LineKind::Whole) {
        tally.names = list_member(turn_members(line.text), "\"names\": [");
      }
    }
  }
  if (!line_reader_seek(reader, tally.offset, tally.line)) return false;
  for (; tally.turn < from; ++tally.turn) {
    if (!next_turn(replay, reader, &line)) return false;
    if (line.kind == LineKind::Whole) {
      const std::string_view members = turn_members(line.text);
      replay_count_hits(members, tally.scores.data(), tally.scores.size());
      if (std::string names = list_member(members, "\"names\": ["); !names.empty()) {
        tally.names = std::move(names);
      }
    }
    tally.offset = reader.offset;
    tally.line = reader.number;
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
  *out += "], \"restarts\": [";
  for (size_t r = 0; r < replay.restarts.size(); ++r) {
    const Replay::Restart& restart = replay.restarts[r];
    *out += (r == 0 ? "{\"after_turn\": " : ", {\"after_turn\": ") +
            std::to_string(restart.after_turn) + ", \"at\": \"" + restart.at + "\"}";
  }
  *out += "], \"end\": " + (replay.end.empty() ? std::string("null") : replay.end) + "}\n";
  // The lines go straight into the answer: one copy of the window at most.
  const size_t limit = out->size() + max_bytes;
  if (!line_reader_seek(reader, start_offset, start_line)) return false;
  for (uint64_t k = from; k < replay.turns && k - from < count; ++k) {
    if (!next_turn(replay, reader, &line)) return false;
    std::string damaged;
    if (line.kind != LineKind::Whole) {
      damaged = damaged_json(line.number, line.why);
    } else if (k == from && line.length + 1 > max_bytes) {
      damaged = damaged_json(line.number, "is longer than a window");
    }
    const std::string_view text = damaged.empty() ? line.text : std::string_view(damaged);
    if (k > from && out->size() + text.size() + 1 > limit) break;
    *out += text;
    *out += '\n';
  }
  return true;
}

bool replay_health_chart(Replay& replay, std::string* out) {
  if (!replay.health_chart.empty()) {
    *out = replay.health_chart;
    return true;
  }
  ReplayCursor cursor{std::move(replay.reader), {}};
  const bool read = replay_health_chart(std::as_const(replay), cursor, out);
  replay.reader = std::move(cursor.reader);
  if (read) replay.health_chart = *out;
  return read;
}

bool replay_health_chart(const Replay& replay, ReplayCursor& cursor, std::string* out) {
  LineReader& reader = cursor.reader;
  if (!line_reader_seek(reader, 0, 0)) return false;
  const uint64_t every = replay.turns <= REPLAY_CHART_SAMPLES
                             ? 1
                             : (replay.turns + REPLAY_CHART_SAMPLES - 1) / REPLAY_CHART_SAMPLES;
  std::vector<std::string> series;
  // Samples due but not taken: their turns were damaged, so the next whole
  // turn stands in for them and every series keeps its length.
  uint64_t owed = 0;
  RecordingLine line;
  for (uint64_t k = 0; k < replay.turns; ++k) {
    if (!next_turn(replay, reader, &line)) return false;
    if (k % every == 0) ++owed;
    if (owed == 0 || line.kind != LineKind::Whole) continue;
    const std::string_view members = turn_members(line.text);
    size_t at = 0;
    int64_t health = 0;
    for (size_t p = 0; p < REPLAY_CHART_PLAYERS &&
                       number_after(members, "\"health\": ", &at, members.size(), &health);
         ++p) {
      if (series.size() <= p) series.emplace_back();
      for (uint64_t n = 0; n < owed; ++n) {
        if (!series[p].empty()) series[p] += ", ";
        series[p] += std::to_string(health);
      }
    }
    owed = 0;
  }
  // Damaged turns at the end: each series stays at its last value.
  for (std::string& values : series) {
    const std::string last =
        values.substr(values.rfind(' ') == std::string::npos ? 0 : values.rfind(' ') + 1);
    for (uint64_t n = 0; n < owed; ++n) values += ", " + last;
  }
  std::string chart = "{\"every\": " + std::to_string(every) + ", \"health\": [";
  for (size_t p = 0; p < series.size(); ++p) chart += (p == 0 ? "[" : ", [") + series[p] + "]";
  chart += "]}";
  *out = std::move(chart);
  return true;
}
