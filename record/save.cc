#include "record/save.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "record/end_record.h"
#include "record/restart_mark.h"

namespace {

using Json = nlohmann::json;

constexpr int64_t INT32_LOW = std::numeric_limits<int32_t>::min();
constexpr int64_t INT32_HIGH = std::numeric_limits<int32_t>::max();
constexpr int64_t UINT32_HIGH = std::numeric_limits<uint32_t>::max();

// Reads the member `name` of object as an integer within [low, high].
bool integer(const Json& object, const char* name, int64_t low, int64_t high, int64_t* value,
             std::string* what) {
  const auto found = object.find(name);
  if (found == object.end()) {
    *what = std::string("\"") + name + "\" is missing";
    return false;
  }
  if (!found->is_number_integer()) {
    *what = std::string("\"") + name + "\" is not an integer";
    return false;
  }
  const bool is_unsigned = found->is_number_unsigned();
  const uint64_t u = is_unsigned ? found->get<uint64_t>() : 0;
  const int64_t v =
      is_unsigned ? (u > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(u))
                  : found->get<int64_t>();
  if (v < low || v > high) {
    *what = std::string("\"") + name + "\" is " + std::to_string(v) + ", outside " +
            std::to_string(low) + ".." + std::to_string(high);
    return false;
  }
  *value = v;
  return true;
}

bool int32_member(const Json& object, const char* name, int64_t low, int64_t high, int32_t* value,
                  std::string* what) {
  int64_t v = 0;
  if (!integer(object, name, low, high, &v, what)) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

// A list member of object with `count` entries.
const Json* list(const Json& object, const char* name, size_t count, const char* of,
                 std::string* what) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_array()) {
    *what = std::string("\"") + name + "\" is missing or not a list";
    return nullptr;
  }
  if (found->size() != count) {
    *what = std::string("\"") + name + "\" holds " + std::to_string(found->size()) + " " + of +
            " for " + std::to_string(count);
    return nullptr;
  }
  return &*found;
}

// An integer list entry within [low, high].
bool entry(const Json& value, int64_t low, int64_t high, int64_t* out) {
  if (!value.is_number_integer()) return false;
  if (value.is_number_unsigned()) {
    const uint64_t u = value.get<uint64_t>();
    if (u > static_cast<uint64_t>(high)) return false;
    *out = static_cast<int64_t>(u);
    return *out >= low;
  }
  *out = value.get<int64_t>();
  return *out >= low && *out <= high;
}

bool read_players(const Json& line, MatchSave* save, std::string* what) {
  const size_t players = static_cast<size_t>(save->humans) + static_cast<size_t>(save->bots);
  const Json* rows = list(line, "players", players, "rows", what);
  if (rows == nullptr) return false;
  for (auto* table : {&save->pos_x, &save->pos_y, &save->health, &save->heading}) {
    table->assign(players, 0);
  }
  for (size_t p = 0; p < players; ++p) {
    const Json& row = (*rows)[p];
    if (!row.is_object()) {
      *what = "player " + std::to_string(p) + "'s row is not an object";
      return false;
    }
    const char* names[] = {"x", "y", "health", "heading"};
    std::vector<int32_t>* tables[] = {&save->pos_x, &save->pos_y, &save->health, &save->heading};
    for (size_t k = 0; k < 4; ++k) {
      if (!int32_member(row, names[k], INT32_LOW, INT32_HIGH, &(*tables[k])[p], what)) {
        *what = "player " + std::to_string(p) + ": " + *what;
        return false;
      }
    }
  }
  return true;
}

bool read_bots_state(const Json& state, MatchSave* save, std::string* what) {
  const Json* bots = list(state, "bots_state", static_cast<size_t>(save->bots), "rows", what);
  if (bots == nullptr) return false;
  save->bots_state.assign(static_cast<size_t>(save->bots), BotSave{});
  const int64_t players = static_cast<int64_t>(save->humans) + save->bots;
  // waypoint, trim, target, waypoint x and y, five float bits, intercept.
  const int64_t lows[BOT_SAVE_VALUES] = {0, INT32_LOW, 0, INT32_LOW, INT32_LOW, 0,
                                         0, 0,         0, 0,         INT32_LOW};
  const int64_t highs[BOT_SAVE_VALUES] = {save->route_length - 1,
                                          INT32_HIGH,
                                          players,
                                          INT32_HIGH,
                                          INT32_HIGH,
                                          UINT32_HIGH,
                                          UINT32_HIGH,
                                          UINT32_HIGH,
                                          UINT32_HIGH,
                                          UINT32_HIGH,
                                          INT32_HIGH};
  for (size_t b = 0; b < bots->size(); ++b) {
    const Json& row = (*bots)[b];
    if (!row.is_array() || row.size() != BOT_SAVE_VALUES) {
      *what = "bot " + std::to_string(b) + "'s state is not a list of " +
              std::to_string(BOT_SAVE_VALUES) + " integers";
      return false;
    }
    for (size_t k = 0; k < BOT_SAVE_VALUES; ++k) {
      if (!entry(row[k], lows[k], highs[k], &save->bots_state[b][k])) {
        *what = "bot " + std::to_string(b) + "'s state value " + std::to_string(k) +
                " is not an integer within " + std::to_string(lows[k]) + ".." +
                std::to_string(highs[k]);
        return false;
      }
      // A segment's ends and slope are numbers: an infinity or a NaN would
      // turn into any heading or position.
      if (k >= 5 && k <= 9 &&
          !std::isfinite(bits_float(static_cast<uint32_t>(save->bots_state[b][k])))) {
        *what = "bot " + std::to_string(b) + "'s state value " + std::to_string(k) +
                " holds the bits of no finite number";
        return false;
      }
    }
  }
  return true;
}

bool read_routes(const Json& line, MatchSave* save, std::string* what) {
  save->routes.clear();
  const auto found = line.find("routes");
  if (found == line.end()) return true;
  const Json* routes = list(line, "routes", static_cast<size_t>(save->bots), "routes", what);
  if (routes == nullptr) return false;
  save->routes.reserve(static_cast<size_t>(save->bots) * 2 * ROUTE_VALUES);
  for (const Json& route : *routes) {
    if (!route.is_array() || route.size() != 2 * ROUTE_VALUES) {
      *what = "a route is not a list of " + std::to_string(2 * ROUTE_VALUES) + " integers";
      return false;
    }
    for (const Json& value : route) {
      int64_t v = 0;
      if (!entry(value, INT32_LOW, INT32_HIGH, &v)) {
        *what = "a route holds a value that is not a 32-bit integer";
        return false;
      }
      save->routes.push_back(static_cast<int32_t>(v));
    }
  }
  return true;
}

bool read_peers(const Json& state, MatchSave* save, std::string* what) {
  const Json* peers = list(state, "peers", static_cast<size_t>(save->humans), "addresses", what);
  if (peers == nullptr) return false;
  save->peers.clear();
  for (const Json& peer : *peers) {
    if (!peer.is_string() || peer.get_ref<const std::string&>().size() > 15) {
      *what = "\"peers\" holds an entry that is no address";
      return false;
    }
    save->peers.push_back(peer.get<std::string>());
  }
  return true;
}

bool read_save(const Json& line, MatchSave* save, std::string* what) {
  if (!line.is_object() || line.find("turn") == line.end()) {
    *what = "it is no turn line";
    return false;
  }
  int64_t turn = 0;
  if (!integer(line, "turn", 1, INT64_MAX, &turn, what)) return false;
  save->turn = static_cast<uint64_t>(turn);
  const auto state = line.find("save");
  if (state == line.end() || !state->is_object()) {
    *what = "it holds no save: the recording was made by another version";
    return false;
  }
  int64_t version = 0;
  if (!integer(*state, "v", 0, INT32_HIGH, &version, what)) return false;
  if (version != SAVE_VERSION) {
    *what = "its save is of version " + std::to_string(version) + ", this server reads version " +
            std::to_string(SAVE_VERSION);
    return false;
  }
  return int32_member(*state, "humans", 0, MAX_PLAYERS, &save->humans, what) &&
         int32_member(*state, "bots", 0, MAX_PLAYERS - save->humans, &save->bots, what) &&
         int32_member(*state, "map", INT32_LOW, INT32_HIGH, &save->map, what) &&
         int32_member(*state, "turn_count", 0, 2, &save->turn_count, what) &&
         int32_member(*state, "route_length", 2, ROUTE_VALUES, &save->route_length, what) &&
         int32_member(line, "relay_a", INT32_LOW, INT32_HIGH, &save->relay_a, what) &&
         int32_member(line, "relay_b", INT32_LOW, INT32_HIGH, &save->relay_b, what) &&
         read_players(line, save, what) && read_bots_state(*state, save, what) &&
         read_routes(line, save, what) && read_peers(*state, save, what);
}

}  // namespace

bool read_save_line(std::string_view line, MatchSave* save, std::string* what) {
  // The parser reports through exceptions; none leaves this function.
  try {
    const Json json = Json::parse(line.begin(), line.end(), nullptr, false);
    if (json.is_discarded()) {
      *what = "it is not JSON";
      return false;
    }
    return read_save(json, save, what);
  } catch (const std::exception& e) {
    *what = std::string("it cannot be read: ") + e.what();
    return false;
  }
}

bool turn_order_next(TurnOrder& order, std::string_view line, std::string* what) {
  const auto starts = [&line](std::string_view start) {
    return line.substr(0, start.size()) == start;
  };
  // A count of up to 19 digits, which no turn of a recording comes near.
  const auto count = [&line](size_t& i, uint64_t* value) {
    const size_t first = i;
    *value = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
      if (i - first == 19) return false;
      *value = *value * 10 + static_cast<uint64_t>(line[i] - '0');
    }
    return i > first;
  };
  static constexpr std::string_view turn_head = "{\"turn\": ";
  if (starts(turn_head)) {
    size_t i = turn_head.size();
    uint64_t turn = 0;
    if (!count(i, &turn) || i >= line.size() || line[i] != ',') {
      *what = "its turn is no count of up to 19 digits";
      return false;
    }
    if (turn != order.last + 1) {
      *what = "turn " + std::to_string(turn) + " follows turn " + std::to_string(order.last) +
              ": a recording's turns go up by one from line to line";
      return false;
    }
    order.last = turn;
    return true;
  }
  if (starts(RESTART_LINE_START)) {
    uint64_t after = 0;
    std::string at;
    if (!parse_restart_mark(line, &after, &at)) {
      *what = "it is no restart mark as written";
      return false;
    }
    if (after != order.last) {
      *what = "its restart after turn " + std::to_string(after) + " follows turn " +
              std::to_string(order.last);
      return false;
    }
    return true;
  }
  if (starts(GAP_LINE_START)) {
    static constexpr std::string_view head = "{\"gap\": {\"after_turn\": ";
    static constexpr std::string_view middle = ", \"turns\": ";
    size_t i = head.size();
    uint64_t after = 0, turns = 0;
    if (!starts(head) || !count(i, &after) || line.substr(i, middle.size()) != middle ||
        !count(i += middle.size(), &turns) || line.substr(i) != "}}" || turns == 0) {
      *what = "it is no gap line as written";
      return false;
    }
    if (after != order.last) {
      *what = "its gap after turn " + std::to_string(after) + " follows turn " +
              std::to_string(order.last);
      return false;
    }
    if (turns > (uint64_t{1} << 62) - order.last) {
      *what = "its gap of " + std::to_string(turns) + " turns is more than any match plays";
      return false;
    }
    order.last += turns;
    return true;
  }
  if (starts(END_LINE_START)) return true;
  *what = "it is neither a turn, a restart mark, a gap nor an end";
  return false;
}

bool line_names_routes(std::string_view line) {
  return line.find("\"routes\": [") != std::string_view::npos;
}

void restore_match(Match& match, const MatchSave& save, const std::vector<int32_t>& routes) {
  match.human_count = save.humans;
  match.bot_count = save.bots;
  match.map_number = save.map;
  create_route_tables(match);
  set_up_tables(match);
  match.turn_count = save.turn_count;
  match.route_length = save.route_length;
  match.relay_a = save.relay_a;
  match.relay_b = save.relay_b;
  match.pos_x = save.pos_x;
  match.pos_y = save.pos_y;
  match.health = save.health;
  match.heading = save.heading;
  const size_t slots = ROUTE_VALUES;
  for (size_t b = 0; b < static_cast<size_t>(save.bots); ++b) {
    for (size_t k = 0; k < slots; ++k) {
      match.route_x[b][k] = routes[b * 2 * slots + k];
      match.route_y[b][k] = routes[b * 2 * slots + slots + k];
    }
    const BotSave& s = save.bots_state[b];
    match.waypoint_index[b] = static_cast<int32_t>(s[0]);
    match.trim_request[b] = static_cast<int32_t>(s[1]);
    match.bot_target[b] = static_cast<int32_t>(s[2]);
    Segment& segment = match.bot_segment[b];
    segment.waypoint_x = static_cast<int32_t>(s[3]);
    segment.waypoint_y = static_cast<int32_t>(s[4]);
    segment.from_x = bits_float(static_cast<uint32_t>(s[5]));
    segment.from_y = bits_float(static_cast<uint32_t>(s[6]));
    segment.to_x = bits_float(static_cast<uint32_t>(s[7]));
    segment.to_y = bits_float(static_cast<uint32_t>(s[8]));
    segment.slope = bits_float(static_cast<uint32_t>(s[9]));
    segment.intercept = static_cast<int32_t>(s[10]);
  }
}
