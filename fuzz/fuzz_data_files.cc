// The two data file readers on any file content: read_bot_routes and
// read_start_positions through a real FILE (fmemopen), each checked against a
// reading of the same text with strtoll, which follows the same rules (white
// space, an optional sign, decimal digits; the first failed read stops the
// file). Entries the file does not reach, the spare row and the unused slot 9
// must keep what they held.
//
// Input: byte 0 the bot count (0..4), byte 1 the human count (0..8), then the
// file content, which both readers get.
#include <cinttypes>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "data/data_files.h"
#include "fuzz/fuzz_support.h"

namespace {

// The integers a "%d" reading of text gives, in order, up to the first
// failure or limit values.
std::vector<int32_t> reference_values(const std::string& text, size_t limit) {
  std::vector<int32_t> values;
  const char* at = text.c_str();
  while (values.size() < limit) {
    char* end = nullptr;
    const long long wide = std::strtoll(at, &end, 10);
    if (end == at) break;
    values.push_back(static_cast<int32_t>(
        wide < std::numeric_limits<int32_t>::min()   ? std::numeric_limits<int32_t>::min()
        : wide > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                     : wide));
    at = end;
  }
  return values;
}

// A value no file supplies by chance, different for every entry.
int32_t untouched(size_t table, size_t entry) {
  return static_cast<int32_t>(0x5A000000u + table * 0x10000u + entry);
}

std::FILE* open_content(const std::string& content) {
  // fmemopen wants a writable buffer even for reading.
  static std::string buffer;
  buffer = content;
  return fmemopen(buffer.data(), buffer.size(), "r");
}

void check_bot_routes(const std::string& content, int32_t bots) {
  const auto rows = static_cast<size_t>(bots) + 1;  // one spare row the reader must not touch
  std::vector<RouteRow> route_x(rows), route_y(rows);
  for (size_t r = 0; r < rows; ++r) {
    for (size_t s = 0; s < ROUTE_SLOTS; ++s) {
      route_x[r][s] = untouched(2 * r, s);
      route_y[r][s] = untouched(2 * r + 1, s);
    }
  }
  std::FILE* file = open_content(content);
  if (file == nullptr) return;
  read_bot_routes(file, route_x, route_y, bots);
  std::fclose(file);

  const std::vector<int32_t> values =
      reference_values(content, static_cast<size_t>(bots) * 2 * ROUTE_VALUES);
  size_t next = 0;
  for (size_t r = 0; r < rows; ++r) {
    for (size_t axis = 0; axis < 2; ++axis) {
      const RouteRow& row = axis == 0 ? route_x[r] : route_y[r];
      for (size_t s = 0; s < ROUTE_SLOTS; ++s) {
        const bool filled = r < static_cast<size_t>(bots) && s < ROUTE_VALUES;
        const int32_t expected =
            filled && next < values.size() ? values[next] : untouched(2 * r + axis, s);
        FUZZ_REQUIRE(row[s] == expected, "bot %zu axis %zu slot %zu: %" PRId32 " not %" PRId32, r,
                     axis, s, row[s], expected);
        if (filled) ++next;
      }
    }
  }
}

void check_start_positions(const std::string& content, int32_t humans) {
  const auto entries = static_cast<size_t>(humans) + 1;  // one spare entry
  std::vector<int32_t> pos_x(entries), pos_y(entries);
  for (size_t i = 0; i < entries; ++i) {
    pos_x[i] = untouched(0, i);
    pos_y[i] = untouched(1, i);
  }
  std::FILE* file = open_content(content);
  if (file == nullptr) return;
  read_start_positions(file, pos_x, pos_y, humans);
  std::fclose(file);

  const auto count = static_cast<size_t>(humans);
  const std::vector<int32_t> values = reference_values(content, 2 * count);
  for (size_t i = 0; i < entries; ++i) {
    const size_t at_x = i, at_y = count + i;
    const int32_t want_x = i < count && at_x < values.size() ? values[at_x] : untouched(0, i);
    const int32_t want_y = i < count && at_y < values.size() ? values[at_y] : untouched(1, i);
    FUZZ_REQUIRE(pos_x[i] == want_x, "pos_x[%zu] %" PRId32 " not %" PRId32, i, pos_x[i], want_x);
    FUZZ_REQUIRE(pos_y[i] == want_y, "pos_y[%zu] %" PRId32 " not %" PRId32, i, pos_y[i], want_y);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const int32_t bots = input.take_small(0, 4);
  const int32_t humans = input.take_small(0, 8);
  std::string content(input.remaining(), '\0');
  input.take_bytes(content.data(), content.size());
  check_bot_routes(content, bots);
  check_start_positions(content, humans);
  return 0;
}
