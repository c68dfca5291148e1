#include "record/resume.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "console/console.h"
#include "console/files.h"
#include "console/log.h"
#include "record/end_record.h"
#include "record/line_reader.h"
#include "record/replay.h"
#include "record/restart_mark.h"

namespace {

bool starts_with(std::string_view text, const char* start) {
  return text.substr(0, std::strlen(start)) == start;
}

// "'games/lan1.jsonl' line 12: " before what is wrong.
std::string at_line(const std::string& path, uint64_t line) {
  return "'" + path + "' line " + std::to_string(line) + ": ";
}

// Reads the line at offset again (the reader keeps only the last one).
bool read_line_at(LineReader& reader, uint64_t offset, uint64_t number, std::string* text) {
  RecordingLine line;
  if (!line_reader_seek(reader, offset, number) || !line_reader_next(reader, &line) ||
      line.kind != LineKind::Whole) {
    return false;
  }
  text->assign(line.text);
  return true;
}

// Copies bytes [from, to) of path to a free name beside it.
bool copy_aside(const std::string& path, uint64_t from, uint64_t to, std::string* aside,
                std::string* err) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(from));
  const int open_error = errno;
  // The file was read whole just before: it was removed, cut or made
  // unreadable since, or the disk failed.
  const auto not_again = [to](int error) {
    return std::string("it cannot be read again: ") +
           (error != 0 ? std::strerror(error)
                       : "it ends before byte " + std::to_string(to) + " now");
  };
  for (int n = 0; n <= 9999; ++n) {
    *aside = n == 0 ? path + ".cut" : recording_numbered_name(path + ".cut", n);
    if (!file_problem(*aside).empty()) continue;
    std::FILE* out = console_create_file(aside->c_str());
    if (out == nullptr) {
      if (errno == EEXIST) continue;
      *err = std::string(
                 "cannot create a file beside it to copy what follows its last whole line "
                 "to ('") +
             *aside + "': " + std::strerror(errno) + ")";
      return false;
    }
    char chunk[64 * 1024];
    uint64_t left = to - from;
    std::string why = in ? "" : not_again(open_error);
    while (why.empty() && left > 0) {
      const size_t want = left < sizeof chunk ? static_cast<size_t>(left) : sizeof chunk;
      errno = 0;
      in.read(chunk, static_cast<std::streamsize>(want));
      if (in.gcount() != static_cast<std::streamsize>(want)) {
        why = not_again(errno);
      } else if (std::fwrite(chunk, 1, want, out) != want) {
        why = std::strerror(errno);
      }
      left -= want;
    }
    if (why.empty() && (std::fflush(out) != 0 || !console_sync_file(out))) {
      why = std::strerror(errno);
    }
    std::fclose(out);
    if (!why.empty()) {
      *err = "cannot copy what follows its last whole line to '" + *aside + "' (" + why + ")";
    }
    return why.empty();
  }
  *err =
      "cannot create a file beside it to copy what follows its last whole line to: the "
      "names '" +
      path + ".cut' to '" + recording_numbered_name(path + ".cut", 9999) + "' are all taken";
  return false;
}

// Writes a line straight to the recording's file and flushes it. With a
// mark (--resume) a failure leaves the file as it was, and the next turn
// tries again.
void put_line(Recording& recording, const char* text, size_t length) {
  if (recording.file == nullptr) return;
  if (std::fwrite(text, 1, length, recording.file) == length && std::fflush(recording.file) == 0) {
    recording.whole_bytes += length;
    return;
  }
  const int why = errno;
  std::fclose(recording.file);
  recording.file = nullptr;
  if (recording.last != nullptr) {
    std::error_code ec;
    std::filesystem::resize_file(recording.path, recording.whole_bytes, ec);
    recording.behind = true;
    log_line(LogLevel::Error,
             "the recording '%s' could not be written (%s): the match goes on and every turn "
             "tries again",
             recording.path.c_str(), std::strerror(why));
    return;
  }
  log_line(LogLevel::Error, "the recording '%s' could not be written (%s): it stops here",
           recording.path.c_str(), std::strerror(why));
}

}  // namespace

std::string resume_file(const std::string& path, const LastStart& mark, std::string* note) {
  std::error_code ec;
  if (!mark.recording.empty()) {
    const std::string named = (std::filesystem::path(path).parent_path() / mark.recording).string();
    if (std::filesystem::exists(named, ec)) return named;
    *note = "the last start's recording '" + named + "' is gone";
    return "";
  }
  // No mark (a recording of an earlier version): the file written last,
  // whatever names are missing between.
  std::string last;
  std::filesystem::file_time_type newest{};
  for (int n = 0; n <= 9999; ++n) {
    const std::string name = n == 0 ? path : recording_numbered_name(path, n);
    const auto written = std::filesystem::last_write_time(name, ec);
    if (ec || (!last.empty() && written < newest)) continue;
    last = name;
    newest = written;
  }
  return last;
}

bool read_resume_point(const std::string& path, ResumePoint* point, std::string* err) {
  *point = ResumePoint{};
  point->path = path;
  LineReader reader;
  if (!line_reader_open(reader, path, RESUME_MAX_LINE, err)) return false;
  // One pass: where the last whole turn line and the last line naming the
  // routes start; then those two are read again.
  uint64_t turn_offset = 0, turn_number = 0, routes_offset = 0, routes_number = 0;
  bool has_routes = false;
  TurnOrder order;
  std::string what;
  RecordingLine line;
  while (line_reader_next(reader, &line)) {
    if (line.kind != LineKind::Whole) {
      if (point->lines_left_out++ == 0) {
        point->left_out_why = "line " + std::to_string(line.number + 1) + " " + line.why;
      }
      continue;
    }
    // A line damaged in the middle of the file is no crash's: its turns
    // cannot be counted on.
    if (point->lines_left_out > 0) {
      *err = at_line(path, line.number + 1) + "a whole line after " + point->left_out_why;
      return false;
    }
    if (!turn_order_next(order, line.text, &what)) {
      *err = at_line(path, line.number + 1) + what;
      return false;
    }
    point->whole_bytes = line.offset + line.length + 1;
    point->lines_left_out = 0;
    point->left_out_why.clear();
    point->finished = starts_with(line.text, END_LINE_START);
    if (starts_with(line.text, RESTART_LINE_START) || point->finished) continue;
    point->has_turn = true;
    turn_offset = line.offset;
    turn_number = line.number;
    if (line_names_routes(line.text)) {
      has_routes = true;
      routes_offset = line.offset;
      routes_number = line.number;
    }
  }
  if (!reader.error.empty()) {
    *err = "cannot read '" + path + "': " + reader.error;
    return false;
  }
  point->file_bytes = reader.offset;
  // A "\r\n" ending counts one byte more than the text and its line feed.
  if (point->whole_bytes > point->file_bytes) point->whole_bytes = point->file_bytes;
  if (!point->has_turn || point->finished) return true;
  point->line_number = turn_number + 1;
  std::string text;
  if (!read_line_at(reader, turn_offset, turn_number, &text)) {
    *err = "cannot read '" + path + "' again: " + reader.error;
    return false;
  }
  if (!read_save_line(text, &point->save, &what)) {
    *err = at_line(path, point->line_number) + what;
    return false;
  }
  if (point->save.turn != order.last) {
    *err = at_line(path, point->line_number) + "its save is of turn " +
           std::to_string(point->save.turn) + ", the line of turn " + std::to_string(order.last);
    return false;
  }
  if (!has_routes) {
    *err = at_line(path, point->line_number) + "no line up to it names the bots' routes";
    return false;
  }
  // The scoreboard goes on from the hits of every turn up to it.
  point->scores.assign(
      static_cast<size_t>(point->save.humans) + static_cast<size_t>(point->save.bots),
      PlayerScore{});
  if (!line_reader_seek(reader, 0, 0)) {
    *err = "cannot read '" + path + "' again: " + reader.error;
    return false;
  }
  while (line_reader_next(reader, &line) && line.number <= turn_number) {
    if (line.kind == LineKind::Whole && starts_with(line.text, "{\"turn\": ")) {
      replay_count_hits(std::string(line.text), point->scores.data(), point->scores.size());
    }
  }
  point->routes = point->save.routes;
  if (routes_offset != turn_offset) {
    MatchSave routes_save;
    if (!read_line_at(reader, routes_offset, routes_number, &text) ||
        !read_save_line(text, &routes_save, &what)) {
      *err = at_line(path, routes_number + 1) + (what.empty() ? "cannot be read again" : what);
      return false;
    }
    if (routes_save.bots != point->save.bots) {
      *err = at_line(path, routes_number + 1) + "its match has " +
             std::to_string(routes_save.bots) + " bots, line " +
             std::to_string(point->line_number) + "'s " + std::to_string(point->save.bots);
      return false;
    }
    point->routes = routes_save.routes;
  }
  return true;
}

bool recording_continue(Recording& recording, const ResumePoint& point,
                        std::vector<std::string> name_table, std::string* err) {
  const std::string& path = point.path;
  const std::string problem = file_problem(path);
  if (!problem.empty()) {
    *err = "--resume: cannot write '" + path + "': " + problem;
    return false;
  }
  if (point.whole_bytes < point.file_bytes) {
    std::string aside;
    if (!copy_aside(path, point.whole_bytes, point.file_bytes, &aside, err)) {
      *err = "--resume: '" + path + "': " + *err;
      return false;
    }
    std::error_code ec;
    std::filesystem::resize_file(path, point.whole_bytes, ec);
    if (ec) {
      *err = "--resume: cannot cut '" + path + "' after its last whole line: " + ec.message();
      return false;
    }
    log_line(LogLevel::Warning,
             "--resume: '%s' went on after its last whole line with %" PRIu64
             " bytes (%s): they are left out, copied to '%s'",
             path.c_str(), point.file_bytes - point.whole_bytes, point.left_out_why.c_str(),
             aside.c_str());
  }
  recording.file = console_open_to_append(path.c_str());
  if (recording.file == nullptr) {
    *err = "--resume: cannot open '" + path + "' to go on: " + std::strerror(errno);
    return false;
  }
  recording.path = path;
  recording.whole_bytes = point.whole_bytes;
  recording.last_turn_written = point.save.turn;
  recording_make_storage(recording, point.save.humans, point.save.bots, std::move(name_table));
  // The next line names the routes only if they change, as it would have.
  recording.routes = point.routes;
  recording.first_line = false;
  return true;
}

void recording_write_restart(Recording& recording, uint64_t after_turn, std::time_t now) {
  char stamp[TIMESTAMP_SIZE];
  format_timestamp(now, stamp);
  char text[128];
  const int n =
      std::snprintf(text, sizeof text, "%s{\"after_turn\": %" PRIu64 ", \"at\": \"%s\"}}\n",
                    RESTART_LINE_START, after_turn, stamp);
  put_line(recording, text, static_cast<size_t>(n));
}
