#include "data/data_files.h"

#include <cerrno>
#include <cstring>
#include <limits>

#include "server/console.h"

namespace {

bool is_space(int c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool is_digit(int c) {
  return c >= '0' && c <= '9';
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

}  // namespace

bool scan_int(std::FILE* file, int32_t* value) {
  int c;
  do {
    c = std::getc(file);
  } while (is_space(c));
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = std::getc(file);
  }
  if (!is_digit(c)) {
    if (c != EOF) std::ungetc(c, file);
    return false;
  }
  constexpr int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; is_digit(c); c = std::getc(file)) {
    if (magnitude < limit) magnitude = magnitude * 10 + (c - '0');
  }
  if (c != EOF) std::ungetc(c, file);
  if (negative) {
    *value =
        magnitude >= limit ? std::numeric_limits<int32_t>::min() : static_cast<int32_t>(-magnitude);
  } else {
    *value =
        magnitude >= limit ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(magnitude);
  }
  return true;
}

void read_bot_routes(std::FILE* file, std::vector<RouteRow>& route_x,
                     std::vector<RouteRow>& route_y, int32_t count) {
  for (int32_t b = 0; b < count; ++b) {
    RouteRow& xs = route_x[static_cast<size_t>(b)];
    RouteRow& ys = route_y[static_cast<size_t>(b)];
    if (!scan_ints(file, ROUTE_VALUES, [&](size_t i, int32_t v) { xs[i] = v; })) return;
    if (!scan_ints(file, ROUTE_VALUES, [&](size_t i, int32_t v) { ys[i] = v; })) return;
  }
}

int load_bot_routes(std::vector<RouteRow>& route_x, std::vector<RouteRow>& route_y, int32_t count) {
  std::FILE* file = std::fopen(BOT_ROUTE_PATH, "r");
  if (file == nullptr) return 0;
  read_bot_routes(file, route_x, route_y, count);
  std::fclose(file);
  return 1;
}

void read_start_positions(std::FILE* file, std::vector<int32_t>& pos_x, std::vector<int32_t>& pos_y,
                          int32_t count) {
  if (!scan_ints(file, count, [&](size_t i, int32_t v) { pos_x[i] = v; })) return;
  scan_ints(file, count, [&](size_t i, int32_t v) { pos_y[i] = v; });
}

void start_position_file_name(int32_t map_number, char (&name)[START_FILE_NAME_SIZE]) {
  std::snprintf(name, sizeof name, "dept%d.txt", static_cast<int>(map_number));
}

void load_start_positions(std::vector<int32_t>& pos_x, std::vector<int32_t>& pos_y, int32_t count,
                          int32_t map_number) {
  char name[START_FILE_NAME_SIZE];
  start_position_file_name(map_number, name);
  console_print("\n %s", name);
  std::FILE* file = std::fopen(name, "r");
  if (file == nullptr) {
    console_diagnostic("cannot open start position file '%s': %s; positions left as they are", name,
                       std::strerror(errno));
    return;
  }
  read_start_positions(file, pos_x, pos_y, count);
  std::fclose(file);
}
