// A recording's turn line read back for a resume, on any bytes. A line that
// is taken must give tables the bots can walk on (no index outside its
// table, no undefined arithmetic), and written again it must read back the
// same.
//
// Input: one line of a recording, without its line feed.
#include <cstdint>
#include <string>
#include <string_view>

#include "bots/route.h"
#include "record/recording.h"
#include "record/save.h"

namespace {

struct Text {
  std::string text;
  void put(const char* bytes, size_t length) { text.append(bytes, length); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  MatchSave save;
  std::string what;
  if (!read_save_line(line, &save, &what)) return 0;
  // A line that names no routes takes them from an earlier one.
  const size_t route_values = static_cast<size_t>(save.bots) * 2 * RECORDED_ROUTE_SLOTS;
  std::vector<int32_t> routes =
      save.routes.empty() ? std::vector<int32_t>(route_values, 7) : save.routes;
  if (routes.size() != route_values) __builtin_trap();
  Match match;
  restore_match(match, save, routes);
  // The save as the restored match writes it, read back the same.
  Text again;
  again.put("{\"turn\": 1, \"relay_a\": ", 23);
  again.text += std::to_string(match.relay_a) + ", \"relay_b\": " + std::to_string(match.relay_b);
  again.text += ", \"players\": [";
  for (size_t p = 0; p < match.pos_x.size(); ++p) {
    again.text += (p == 0 ? "{\"x\": " : ", {\"x\": ") + std::to_string(match.pos_x[p]) +
                  ", \"y\": " + std::to_string(match.pos_y[p]) +
                  ", \"health\": " + std::to_string(match.health[p]) +
                  ", \"heading\": " + std::to_string(match.heading[p]) + "}";
  }
  again.put("]", 1);
  write_save_json(again, match, [&save](size_t q) { return save.peers[q].c_str(); });
  again.put("}", 1);
  MatchSave back;
  if (!read_save_line(again.text, &back, &what)) __builtin_trap();
  if (back.bots_state != save.bots_state || back.pos_x != save.pos_x ||
      back.heading != save.heading || back.peers != save.peers ||
      back.route_length != save.route_length) {
    __builtin_trap();
  }
  for (int step = 0; step < 3; ++step) {
    for (int32_t b = 0; b < match.bot_count && b < 64; ++b) bot_step(match, b);
  }
  return 0;
}
