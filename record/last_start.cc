#include "record/last_start.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "console/console.h"
#include "console/files.h"

namespace {

// The count's width: the largest count in full, so that the line keeps its
// length whatever it counts.
constexpr int COUNT_WIDTH = 20;
// The time's width: the largest count of milliseconds as seconds, or null.
constexpr int SECONDS_WIDTH = 21;
constexpr size_t TAIL_LENGTH =
    COUNT_WIDTH + SECONDS_WIDTH + sizeof ", \"seconds\": , \"end_lost\": false}\n" - 1;

constexpr std::string_view HEAD = "{\"recording\": \"";
constexpr std::string_view COUNT_HEAD = "\", \"turns_played\": ";
constexpr std::string_view SECONDS_HEAD = ", \"seconds\": ";
constexpr std::string_view END_HEAD = ", \"end_lost\": ";

// The digits at line[*i] (at most 19) as a number; false when there are none.
bool read_count(std::string_view line, size_t* i, uint64_t* value) {
  const size_t digits = *i;
  *value = 0;
  for (; *i < line.size() && line[*i] >= '0' && line[*i] <= '9' && *i - digits < 19; ++*i) {
    *value = *value * 10 + static_cast<uint64_t>(line[*i] - '0');
  }
  return *i != digits;
}

// The time at line[*i], as last_start_note writes it: seconds with three
// decimals, or null (-1). False for anything else, and for more than 9
// digits of seconds (over 31 years), which no match plays: its count in
// nanoseconds must not overflow.
bool read_seconds(std::string_view line, size_t* i, int64_t* ms) {
  if (line.substr(*i, 4) == "null") {
    *i += 4;
    *ms = -1;
    return true;
  }
  uint64_t whole = 0, thousandths = 0;
  const size_t point = *i;
  if (!read_count(line, i, &whole) || *i - point > 9 || line.substr(*i, 1) != ".") return false;
  ++*i;
  const size_t decimals = *i;
  if (!read_count(line, i, &thousandths) || *i - decimals != 3) return false;
  *ms = static_cast<int64_t>(whole * 1000 + thousandths);
  return true;
}

// The name as a JSON string's text: quotes, backslashes and control bytes
// escaped.
std::string escaped(const std::string& name) {
  std::string text;
  for (const char c : name) {
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
      text += code;
    } else {
      text += c;
    }
  }
  return text;
}

// The mark's line as last_start_note writes it; false for anything else.
bool read_mark(std::string_view line, LastStart* mark) {
  if (line.substr(0, HEAD.size()) != HEAD) return false;
  size_t i = HEAD.size();
  std::string name;
  for (; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] != '\\') {
      name += line[i];
    } else if (i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
      name += line[++i];
    } else if (line.substr(i, 4) == "\\u00" && i + 6 <= line.size()) {
      unsigned code = 0;
      if (std::sscanf(std::string(line.substr(i + 4, 2)).c_str(), "%2x", &code) != 1) return false;
      name += static_cast<char>(code);
      i += 5;
    } else {
      return false;
    }
  }
  if (line.substr(i, COUNT_HEAD.size()) != COUNT_HEAD) return false;
  i += COUNT_HEAD.size();
  uint64_t turns = 0;
  if (!read_count(line, &i, &turns)) return false;
  while (i < line.size() && line[i] == ' ') ++i;
  // An earlier version's mark has no time: unknown.
  int64_t played_ms = -1;
  if (line.substr(i, SECONDS_HEAD.size()) == SECONDS_HEAD) {
    i += SECONDS_HEAD.size();
    if (!read_seconds(line, &i, &played_ms)) return false;
    while (i < line.size() && line[i] == ' ') ++i;
  }
  if (line.substr(i, END_HEAD.size()) != END_HEAD) return false;
  const std::string_view end = line.substr(i + END_HEAD.size());
  if (end != "true }" && end != "false}") return false;
  // A name of the recording's own folder, as this server writes it; a zero
  // byte would have the system open a file of another name.
  if (name.empty() || name.find('\0') != std::string::npos ||
      std::filesystem::path(name).filename().string() != name) {
    return false;
  }
  mark->recording = name;
  mark->turns_played = turns;
  mark->played_ms = played_ms;
  mark->end_lost = end == "true }";
  return true;
}

}  // namespace

std::string last_start_path(const std::string& record_file) {
  return record_file + ".last";
}

bool last_start_take(LastStart& mark, const std::string& record_file, std::string* note,
                     std::string* err) {
  mark = LastStart{};
  mark.path = last_start_path(record_file);
  const std::string problem = file_problem(mark.path, 64 * 1024);
  if (!problem.empty()) {
    *err = "--resume: cannot use '" + mark.path + "': " + problem;
    return false;
  }
  mark.file = console_open_to_update(mark.path.c_str());
  if (mark.file == nullptr) {
    *err = "--resume: cannot open '" + mark.path + "': " + std::strerror(errno);
    return false;
  }
  if (!console_lock_file(mark.file)) {
    const int why = errno;
    std::fclose(mark.file);
    mark.file = nullptr;
    *err = why == EWOULDBLOCK || why == EAGAIN
               ? "--resume: another server is playing the match of '" + record_file +
                     "' (it holds '" + mark.path +
                     "'): one server per recording; stop it, or record elsewhere"
               : "--resume: cannot lock '" + mark.path + "': " + std::strerror(why);
    return false;
  }
  char text[8192];
  const size_t length = std::fread(text, 1, sizeof text, mark.file);
  const std::string_view line(text,
                              static_cast<size_t>(std::find(text, text + length, '\n') - text));
  if (line.empty()) return true;
  if (read_mark(line, &mark)) return true;
  *note = "'" + mark.path + "' is no mark this server wrote: it is not followed";
  return true;
}

bool last_start_begin(LastStart& mark, const std::string& recording, uint64_t turns,
                      std::string* err) {
  const std::string name = std::filesystem::path(recording).filename().string();
  mark.recording = name;
  mark.line = std::string(HEAD) + escaped(name) + std::string(COUNT_HEAD);
  mark.line.append(TAIL_LENGTH, ' ');
  const bool ok = last_start_note(mark, turns, false) && console_sync_file(mark.file);
  if (!ok) *err = "--resume: cannot write '" + mark.path + "': " + std::strerror(errno);
  return ok;
}

bool last_start_note(LastStart& mark, uint64_t turns_played, bool end_lost) {
  if (mark.file == nullptr || mark.line.empty()) return false;
  char seconds[32] = "null";
  if (mark.played_ms >= 0) {
    const auto ms = static_cast<uint64_t>(mark.played_ms);
    std::snprintf(seconds, sizeof seconds, "%" PRIu64 ".%03u", ms / 1000,
                  static_cast<unsigned>(ms % 1000));
  }
  char tail[128];
  const int n = std::snprintf(tail, sizeof tail,
                              "%-*" PRIu64 ", \"seconds\": %-*s, \"end_lost\": %s}\n", COUNT_WIDTH,
                              turns_played, SECONDS_WIDTH, seconds, end_lost ? "true " : "false");
  // The line's tail replaced in place: the same length, nothing allocated.
  std::memcpy(mark.line.data() + mark.line.size() - static_cast<size_t>(n), tail,
              static_cast<size_t>(n));
  mark.turns_played = turns_played;
  mark.end_lost = end_lost;
  return console_write_at(mark.file, 0, mark.line.data(), mark.line.size());
}
