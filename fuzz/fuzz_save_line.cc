// A recording's turn line read back for a resume, on any bytes. A line that
// is taken must give tables the bots can walk on (no index outside its
// table, no undefined arithmetic), and written again it must read back the
// same.
//
// The lines before it go through the order of a recording's turns first, as
// a resume reads them: whatever it takes, a count that only goes up.
//
// Input: lines of a recording; the last, without its line feed, is read back.
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
  std::string_view line(reinterpret_cast<const char*>(data), size);
  std::string what;
  TurnOrder order;
  for (size_t end = line.find('\n'); end != std::string_view::npos; end = line.find('\n')) {
    const uint64_t before = order.last;
    const bool taken = turn_order_next(order, line.substr(0, end), &what);
    if (taken ? order.last < before : order.last != before) __builtin_trap();
    line.remove_prefix(end + 1);
  }
  MatchSave save;
  if (!read_save_line(line, &save, &what)) return 0;
  // A line that names no routes takes them from an earlier one.
  const size_t route_values = static_cast<size_t>(save.bots) * 2 * ROUTE_VALUES;
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
