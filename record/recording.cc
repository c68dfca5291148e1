#include "record/recording.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "console/console.h"
#include "console/files.h"
#include "console/log.h"
#include "console/texts.h"
#include "record/restart_mark.h"
#include "record/save.h"

namespace {

// Writes to the recording's file; after the first failure the recording
// stops and the match goes on, or with a mark (--resume) falls behind.
struct FileOut {
  Recording& recording;
  uint64_t turn;
  uint64_t count = 0;  // bytes taken by the stream

  void put(const char* bytes, size_t length) {
    if (recording.file == nullptr) return;
    if (std::fwrite(bytes, 1, length, recording.file) != length) return failed();
    count += length;
  }
  void flush() {
    if (recording.file != nullptr && std::fflush(recording.file) != 0) failed();
  }
  void failed() {
    const int why = errno;
    std::fclose(recording.file);
    recording.file = nullptr;
    if (recording.last == nullptr) {
      log_line(LogLevel::Error,
               "the recording '%s' could not be written in turn %" PRIu64
               " (%s): it stops here, the match goes on",
               recording.path.c_str(), turn, std::strerror(why));
      return;
    }
    // What the stream wrote of the line goes: the file ends with a whole
    // line, and the next turn appends to it.
    std::error_code ec;
    std::filesystem::resize_file(recording.path, recording.whole_bytes, ec);
    if (!recording.behind) {
      log_line(LogLevel::Error,
               "the recording '%s' could not be written in turn %" PRIu64
               " (%s): the match goes on and every turn tries again; a resume now would go on "
               "after turn %" PRIu64,
               recording.path.c_str(), turn, std::strerror(why), recording.last_turn_written);
    }
    recording.behind = true;
  }
};

// Opens the file of a recording that fell behind again, and puts the line
// for the turns it lacks. False while it cannot be opened.
bool catch_up(Recording& recording, FileOut& out) {
  std::error_code ec;
  std::filesystem::resize_file(recording.path, recording.whole_bytes, ec);
  if (ec) return false;
  recording.file = console_open_to_append(recording.path.c_str());
  if (recording.file == nullptr) return false;
  std::setvbuf(recording.file, recording.buffer.data(), _IOFBF, recording.buffer.size());
  const uint64_t lost = out.turn - 1 - recording.last_turn_written;
  if (lost > 0) {
    char text[96];
    const int n = std::snprintf(text, sizeof text,
                                "%s{\"after_turn\": %" PRIu64 ", \"turns\": %" PRIu64 "}}\n",
                                GAP_LINE_START, recording.last_turn_written, lost);
    out.put(text, static_cast<size_t>(n));
  }
  recording.name_again = true;
  return true;
}

void sync_now(Recording& recording, uint64_t turn) {
  recording.last_sync = std::chrono::steady_clock::now();
  recording.unsynced = false;
  if (!console_sync_file(recording.file) && !recording.sync_failed) {
    recording.sync_failed = true;
    log_line(LogLevel::Warning,
             "the recording '%s' could not be synced to the disk in turn %" PRIu64
             " (%s): its lines reach the operating system, a power cut may lose them",
             recording.path.c_str(), turn, std::strerror(errno));
  }
}

// The file at path opened to write from its start when it holds no match:
// nothing, or only restart marks (of resumes that ended before a turn).
// Null, with errno EEXIST, when it may hold anything else, is held by a
// running server or cannot be read.
std::FILE* take_unplayed(const std::string& path) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return errno = EEXIST, nullptr;
  char text[4096];
  const size_t length = std::fread(text, 1, sizeof text, in);
  const bool whole = std::feof(in) != 0;
  std::fclose(in);
  // Anything but whole restart marks may be a match, or another program's.
  std::string_view held(text, length);
  bool unplayed = whole;
  while (unplayed && !held.empty()) {
    const size_t end = held.find('\n');
    unplayed = end != std::string_view::npos &&
               held.substr(0, sizeof RESTART_LINE_START - 1) == RESTART_LINE_START;
    held.remove_prefix(end == std::string_view::npos ? held.size() : end + 1);
  }
  if (!unplayed) return errno = EEXIST, nullptr;
  std::FILE* file = console_open_to_append(path.c_str());
  if (file == nullptr) return errno = EEXIST, nullptr;
  // Locked before it is emptied: a server that holds it keeps it as it is.
  if (!console_lock_file(file)) {
    std::fclose(file);
    return errno = EEXIST, nullptr;
  }
  std::error_code ec;
  std::filesystem::resize_file(path, 0, ec);
  if (ec) {
    std::fclose(file);
    return errno = EEXIST, nullptr;
  }
  log_line(LogLevel::Info,
           "--record: '%s' holds no match (a start that ended before its first "
           "turn): it is taken again",
           path.c_str());
  return file;
}

}  // namespace

bool recording_name(const std::string& path, std::time_t now, std::string* name, std::string* err) {
  // Each placeholder is a piece of "YYYY-MM-DDTHH:MM:SSZ".
  struct Piece {
    char placeholder;
    size_t offset, length;
  };
  static constexpr Piece pieces[] = {{'Y', 0, 4},  {'m', 5, 2},  {'d', 8, 2},
                                     {'H', 11, 2}, {'M', 14, 2}, {'S', 17, 2}};
  char stamp[TIMESTAMP_SIZE];
  format_timestamp(now, stamp);
  name->clear();
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] != '%') {
      *name += path[i];
      continue;
    }
    const char placeholder = i + 1 < path.size() ? path[++i] : ' ';
    const Piece* piece = nullptr;
    for (const Piece& p : pieces) piece = p.placeholder == placeholder ? &p : piece;
    if (piece != nullptr) {
      name->append(stamp + piece->offset, piece->length);
    } else if (placeholder == '%') {
      *name += '%';
    } else {
      *err = "--record: '" + path + "' holds %" + std::string(1, placeholder) +
             ", which is no time placeholder: %Y %m %d %H %M %S (UTC), %% for a %";
      return false;
    }
  }
  return true;
}

std::string recording_numbered_name(const std::string& name, int n) {
  const size_t folder = name.find_last_of("/\\");
  const size_t base = folder == std::string::npos ? 0 : folder + 1;
  size_t dot = name.rfind('.');
  // A leading dot starts a name, it does not start an extension.
  if (dot == std::string::npos || dot <= base) dot = name.size();
  return name.substr(0, dot) + "-" + std::to_string(n) + name.substr(dot);
}

bool recording_open(Recording& recording, const std::string& path, int32_t humans, int32_t bots,
                    std::vector<std::string> name_table, std::string* err) {
  std::string name;
  if (!recording_name(path, std::time(nullptr), &name, err)) return false;
  // A restarted service must not empty the last match's recording; one
  // that a start left without a turn (it ended before its first) is taken
  // again, unless a running server holds it.
  constexpr int most_numbers = 9999;
  for (int n = 0; n <= most_numbers; ++n) {
    recording.path = n == 0 ? name : recording_numbered_name(name, n);
    const std::string problem = file_problem(recording.path);
    if (!problem.empty()) {
      *err = "--record: cannot write '" + recording.path + "': " + problem;
      return false;
    }
    recording.file = console_create_file(recording.path.c_str());
    if (recording.file != nullptr) {
      // Held while the server runs, so that no other start takes it again.
      console_lock_file(recording.file);
      break;
    }
    if (errno != EEXIST) break;
    recording.file = take_unplayed(recording.path);
    if (recording.file != nullptr) break;
  }
  if (recording.file == nullptr) {
    *err = "--record: cannot create '" + recording.path + "': " + std::strerror(errno);
    return false;
  }
  if (recording.path != name) {
    log_line(LogLevel::Info, "--record: '%s' exists and is kept; this match goes to '%s'",
             name.c_str(), recording.path.c_str());
  }
  recording_make_storage(recording, humans, bots, std::move(name_table));
  return true;
}

void recording_make_storage(Recording& recording, int32_t humans, int32_t bots,
                            std::vector<std::string> name_table) {
  recording.buffer.resize(64 * 1024);
  std::setvbuf(recording.file, recording.buffer.data(), _IOFBF, recording.buffer.size());
  recording.peers.assign(static_cast<size_t>(humans), std::array<char, 16>{});
  recording.hits.resize(static_cast<size_t>(humans));
  recording.hit_count = 0;
  recording.routes.assign(static_cast<size_t>(bots) * 2 * ROUTE_VALUES, 0);
  recording.routes_now.assign(recording.routes.size(), 0);
  recording.first_line = true;
  recording.name_table = std::move(name_table);
  const size_t named =
      recording.name_table.empty() ? 0 : static_cast<size_t>(humans) + static_cast<size_t>(bots);
  recording.name_ids.assign(named, -1);
  recording.name_ids_written.assign(named, -1);
}

void recording_seat_peer(Recording& recording, size_t q, const char* peer) {
  if (q >= recording.peers.size()) return;
  std::array<char, 16>& address = recording.peers[q];
  size_t i = 0;
  for (; i + 1 < address.size() && peer[i] != '\0' && peer[i] != ':'; ++i) address[i] = peer[i];
  address[i] = '\0';
}

void recording_name_player(Recording& recording, size_t p, int32_t id) {
  if (p < recording.name_ids.size()) recording.name_ids[p] = id;
}

void recording_add_hit(Recording& recording, const Hit& hit) {
  if (recording.hit_count < recording.hits.size()) recording.hits[recording.hit_count++] = hit;
}

void recording_write_turn(Recording& recording, uint64_t turn, const Match& match) {
  FileOut out{recording, turn};
  if (recording.behind && recording.file == nullptr && !catch_up(recording, out)) {
    last_start_note(*recording.last, turn, false);
    return;
  }
  write_state_json_open(
      out, turn, match.map_number, match.relay_a, match.relay_b, match.human_count,
      static_cast<size_t>(player_count(match)), [&match](size_t p) {
        struct Row {
          int32_t x, y, health, heading;
        };
        return Row{match.pos_x[p], match.pos_y[p], match.health[p], match.heading[p]};
      });
  // A replay draws the routes as the match had them: named in the first line
  // and again whenever they changed.
  std::vector<int32_t>& now = recording.routes_now;
  for (size_t b = 0, i = 0; b < static_cast<size_t>(match.bot_count); ++b) {
    for (size_t k = 0; k < ROUTE_VALUES; ++k, ++i) {
      now[i] = match.route_x[b][k];
      now[i + ROUTE_VALUES] = match.route_y[b][k];
    }
    i += ROUTE_VALUES;
  }
  if (recording.first_line) write_map_name_json(out, map_name(match.map_number));
  if (recording.first_line || recording.name_again || now != recording.routes) {
    write_routes_json(out, now.data(), static_cast<size_t>(match.bot_count), ROUTE_VALUES);
    recording.routes.swap(now);
  }
  // The names likewise: in the first line, and again once a client that
  // took a seat brought its own.
  if (!recording.name_ids.empty() && (recording.first_line || recording.name_again ||
                                      recording.name_ids != recording.name_ids_written)) {
    static constexpr char member[] = ", \"names\": [";
    out.put(member, sizeof member - 1);
    for (size_t p = 0; p < recording.name_ids.size(); ++p) {
      if (p != 0) out.put(", ", 2);
      const int32_t id = recording.name_ids[p];
      if (id < 0 || static_cast<size_t>(id) >= recording.name_table.size()) {
        out.put("null", 4);
      } else {
        out.put("\"", 1);
        put_json_text(out, recording.name_table[static_cast<size_t>(id)].c_str());
        out.put("\"", 1);
      }
    }
    out.put("]", 1);
    recording.name_ids_written = recording.name_ids;
  }
  recording.first_line = false;
  write_hits_json(out, recording.hits.data(), recording.hit_count);
  write_save_json(out, match, [&recording](size_t q) { return recording.peers[q].data(); });
  out.put("}\n", 2);
  out.flush();
  recording.hit_count = 0;
  if (recording.file == nullptr) {
    // Fell behind: the mark counts the turns the file lacks.
    if (recording.behind) last_start_note(*recording.last, turn, false);
    return;
  }
  recording.whole_bytes += out.count;
  if (recording.behind) {
    recording.behind = false;
    if (turn - 1 > recording.last_turn_written) {
      log_line(LogLevel::Warning,
               "the recording '%s' is written again from turn %" PRIu64 ": turns %" PRIu64
               "-%" PRIu64 " are not in it, nor their hits",
               recording.path.c_str(), turn, recording.last_turn_written + 1, turn - 1);
    } else {
      log_line(LogLevel::Warning, "the recording '%s' is written again from turn %" PRIu64,
               recording.path.c_str(), turn);
    }
  }
  recording.name_again = false;
  recording.last_turn_written = turn;
  // With --resume the mark keeps the match's time up to this turn (set by
  // the caller): one write a turn. A time unknown stays so, unwritten.
  if (recording.last != nullptr && recording.last->played_ms >= 0) {
    const LastStart& mark = *recording.last;
    last_start_note(*recording.last, mark.turns_played, mark.end_lost);
  }
  if (recording.sync == RecordSync::System) return;
  recording.unsynced = true;
  if (recording.sync == RecordSync::Second &&
      std::chrono::steady_clock::now() - recording.last_sync < std::chrono::seconds(1)) {
    return;
  }
  sync_now(recording, turn);
}

void recording_sync_due(Recording& recording, bool waiting_on) {
  if (recording.file == nullptr || !recording.unsynced ||
      (!waiting_on &&
       std::chrono::steady_clock::now() - recording.last_sync < std::chrono::seconds(1))) {
    return;
  }
  sync_now(recording, recording.last_turn_written);
}

void recording_suspend(Recording& recording) {
  // Behind: the mark counts the turns the file lacks, and no end follows.
  recording.behind = false;
  if (recording.file == nullptr) return;
  if (std::fflush(recording.file) != 0 || !console_sync_file(recording.file)) {
    log_line(LogLevel::Warning, "the recording '%s' could not be synced to the disk (%s)",
             recording.path.c_str(), std::strerror(errno));
  }
  std::fclose(recording.file);
  recording.file = nullptr;
}
