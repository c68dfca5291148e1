#include "data/data_files.h"

#include <cerrno>
#include <cstring>

#include "console/console.h"
#include "console/files.h"
#include "console/texts.h"
#include "net/decimal.h"

namespace {

// Reads one integer like "%d". Returns false, storing nothing, when there is
// none; the byte after what was read stays unread.
bool scan_int(std::FILE* file, int32_t* value) {
  const DecimalRead read = read_decimal([file] { return std::getc(file); });
  if (read.next != EOF) std::ungetc(read.next, file);
  if (!read.has_digits) return false;
  *value = read.value;
  return true;
}

// Reads up to count integers into table[0..count-1]; false once one fails.
template <typename Store>
bool scan_ints(std::FILE* file, int32_t count, Store store) {
  for (int32_t i = 0; i < count; ++i) {
    int32_t value;
    if (!scan_int(file, &value)) return false;
    store(static_cast<size_t>(i), value);
  }
  return true;
}

// Opens a data file for reading. Only a regular file will do (console/files.h):
// anything else is reported on standard error, naming the path, and counts as
// a file that cannot be opened (*refused set; otherwise a null result leaves
// fopen's errno).
std::FILE* open_data_file(const char* path, const char* what, bool* refused) {
  const std::string problem = file_problem(path);
  *refused = !problem.empty();
  if (*refused) {
    console_diagnostic("cannot read %s '%s': %s", what, path, problem.c_str());
    return nullptr;
  }
  return std::fopen(path, "r");
}

}  // namespace

void read_bot_routes(std::FILE* file, std::vector<RouteRow>& route_x,
                     std::vector<RouteRow>& route_y, int32_t count) {
  for (int32_t b = 0; b < count; ++b) {
    RouteRow& xs = route_x[static_cast<size_t>(b)];
    RouteRow& ys = route_y[static_cast<size_t>(b)];
    if (!scan_ints(file, ROUTE_VALUES, [&](size_t i, int32_t v) { xs[i] = v; })) return;
    if (!scan_ints(file, ROUTE_VALUES, [&](size_t i, int32_t v) { ys[i] = v; })) return;
  }
}

int load_bot_routes(std::vector<RouteRow>& route_x, std::vector<RouteRow>& route_y, int32_t count,
                    const std::string& path) {
  bool refused;
  std::FILE* file = open_data_file(path.c_str(), "bot route file", &refused);
  if (file == nullptr) return 0;
  read_bot_routes(file, route_x, route_y, count);
  // A file that could not be read to its end is a failed load, though the
  // routes keep what was read before the error.
  const bool read_error = std::ferror(file) != 0;
  if (read_error) {
    console_diagnostic("error reading bot route file '%s': %s", path.c_str(), std::strerror(errno));
  }
  std::fclose(file);
  return read_error ? 0 : 1;
}

void read_start_positions(std::FILE* file, std::vector<int32_t>& pos_x, std::vector<int32_t>& pos_y,
                          int32_t count) {
  if (!scan_ints(file, count, [&](size_t i, int32_t v) { pos_x[i] = v; })) return;
  scan_ints(file, count, [&](size_t i, int32_t v) { pos_y[i] = v; });
}

void start_position_file_name(int32_t map_number, char (&name)[START_FILE_NAME_SIZE]) {
  std::snprintf(name, sizeof name, "dept%d.txt", static_cast<int>(map_number));
}

std::string start_position_path(int32_t map_number, const std::string& maps_dir,
                                const std::string& fallback_folder) {
  char name[START_FILE_NAME_SIZE];
  start_position_file_name(map_number, name);
  if (!maps_dir.empty()) return maps_dir + "/" + name;
  return locate_data_file(name, fallback_folder);
}

void load_start_positions(std::vector<int32_t>& pos_x, std::vector<int32_t>& pos_y, int32_t count,
                          int32_t map_number, const std::string& maps_dir,
                          const std::string& fallback_folder, bool quietly) {
  char name[START_FILE_NAME_SIZE];
  start_position_file_name(map_number, name);
  if (!quietly) console_print(START_FILE_LINE, name);
  const std::string path = start_position_path(map_number, maps_dir, fallback_folder);
  bool refused;
  std::FILE* file = open_data_file(path.c_str(), "start position file", &refused);
  if (file == nullptr) {
    if (refused) return;
    console_diagnostic("cannot open start position file '%s': %s; positions left as they are",
                       path.c_str(), std::strerror(errno));
    return;
  }
  read_start_positions(file, pos_x, pos_y, count);
  std::fclose(file);
}

std::string data_file_problem(const std::string& path) {
  const std::string problem = file_problem(path);
  if (!problem.empty()) return problem;
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return std::strerror(errno);
  std::fclose(file);
  return {};
}
