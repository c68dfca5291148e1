#include "record/recording.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "console/console.h"
#include "console/files.h"
#include "console/log.h"
#include "console/texts.h"
#include "record/save.h"

namespace {

// Writes to the recording's file; after the first failure the recording
// stops and the match goes on.
struct FileOut {
  Recording& recording;
  uint64_t turn;

  void put(const char* bytes, size_t length) {
    if (recording.file == nullptr) return;
    if (std::fwrite(bytes, 1, length, recording.file) != length) failed();
  }
  void flush() {
    if (recording.file != nullptr && std::fflush(recording.file) != 0) failed();
  }
  void failed() {
    log_line(LogLevel::Error,
             "the recording '%s' could not be written in turn %" PRIu64
             " (%s): it stops here, the match goes on",
             recording.path.c_str(), turn, std::strerror(errno));
    std::fclose(recording.file);
    recording.file = nullptr;
  }
};

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
  // A restarted service must not empty the last match's recording.
  constexpr int most_numbers = 9999;
  for (int n = 0; n <= most_numbers; ++n) {
    recording.path = n == 0 ? name : recording_numbered_name(name, n);
    const std::string problem = file_problem(recording.path);
    if (!problem.empty()) {
      *err = "--record: cannot write '" + recording.path + "': " + problem;
      return false;
    }
    recording.file = console_create_file(recording.path.c_str());
    if (recording.file != nullptr || errno != EEXIST) break;
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
  recording.routes.assign(static_cast<size_t>(bots) * 2 * RECORDED_ROUTE_SLOTS, 0);
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
    for (size_t k = 0; k < RECORDED_ROUTE_SLOTS; ++k, ++i) {
      now[i] = match.route_x[b][k];
      now[i + RECORDED_ROUTE_SLOTS] = match.route_y[b][k];
    }
    i += RECORDED_ROUTE_SLOTS;
  }
  if (recording.first_line) write_map_name_json(out, map_name(match.map_number));
  if (recording.first_line || now != recording.routes) {
    write_routes_json(out, now.data(), static_cast<size_t>(match.bot_count), RECORDED_ROUTE_SLOTS);
    recording.routes.swap(now);
  }
  // The names likewise: in the first line, and again once a client that
  // took a seat brought its own.
  if (!recording.name_ids.empty() &&
      (recording.first_line || recording.name_ids != recording.name_ids_written)) {
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
  if (recording.file == nullptr || recording.sync == RecordSync::System) return;
  const auto synced_at = std::chrono::steady_clock::now();
  if (recording.sync == RecordSync::Second &&
      synced_at - recording.last_sync < std::chrono::seconds(1)) {
    return;
  }
  recording.last_sync = synced_at;
  if (!console_sync_file(recording.file) && !recording.sync_failed) {
    recording.sync_failed = true;
    log_line(LogLevel::Warning,
             "the recording '%s' could not be synced to the disk in turn %" PRIu64
             " (%s): its lines reach the operating system, a power cut may lose them",
             recording.path.c_str(), turn, std::strerror(errno));
  }
}

void recording_suspend(Recording& recording) {
  if (recording.file == nullptr) return;
  if (std::fflush(recording.file) != 0 || !console_sync_file(recording.file)) {
    log_line(LogLevel::Warning, "the recording '%s' could not be synced to the disk (%s)",
             recording.path.c_str(), std::strerror(errno));
  }
  std::fclose(recording.file);
  recording.file = nullptr;
}
