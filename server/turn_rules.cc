#include "server/turn_rules.h"

#include "data/data_files.h"
#include "net/protocol.h"
#include "server/watch.h"

namespace {

// Writes value into the cell, noting the change for the clients served at
// once. A write that changes nothing is not a change.
void write_cell(int32_t& cell_ref, int32_t cell, int32_t value, int32_t writer,
                ViewLedger* ledger) {
  if (ledger != nullptr && cell_ref != value) {
    int32_t& newest = ledger->newest[static_cast<size_t>(cell)];
    if (newest < 0) {
      ledger->touched.push_back(cell);
      ledger->changes.push_back({-1, cell_ref, -1});
      newest = static_cast<int32_t>(ledger->changes.size()) - 1;
    }
    ledger->changes.push_back({writer, value, newest});
    newest = static_cast<int32_t>(ledger->changes.size()) - 1;
  }
  cell_ref = value;
}

// The relay update rule: NO_VALUE keeps the relay, CLEAR_VALUE resets it to
// NO_VALUE, anything else replaces it.
int32_t updated_relay(int32_t relay, int32_t value) {
  if (value == NO_VALUE) return relay;
  return value == CLEAR_VALUE ? NO_VALUE : value;
}

// The start position file over every human's position, as each report of
// the first turn reads it: read into the tables (each position as it was
// kept in the ledger first)...
void read_start_positions_in_turn(Match& match, const StartFile& start, ViewLedger* ledger) {
  const auto humans = static_cast<size_t>(match.human_count);
  if (ledger != nullptr) {
    for (size_t p = 0; p < humans; ++p) {
      ledger->before_x[p] = match.pos_x[p];
      ledger->before_y[p] = match.pos_y[p];
    }
  }
  load_start_positions(match.pos_x, match.pos_y, match.human_count, match.map_number,
                       start.maps_dir, start.data_folder);
}

// ...then, served at once, each change written through the ledger.
void show_start_positions(Match& match, int32_t q, ViewLedger* ledger) {
  if (ledger == nullptr) return;
  const auto humans = static_cast<size_t>(match.human_count);
  const int32_t players = player_count(match);
  for (size_t p = 0; p < humans; ++p) {
    const auto player = static_cast<int32_t>(p);
    // Put the old value back, so that write_cell sees the change.
    const int32_t x = match.pos_x[p];
    const int32_t y = match.pos_y[p];
    match.pos_x[p] = ledger->before_x[p];
    match.pos_y[p] = ledger->before_y[p];
    write_cell(match.pos_x[p], table_cell(Column::PosX, player, players), x, q, ledger);
    write_cell(match.pos_y[p], table_cell(Column::PosY, player, players), y, q, ledger);
  }
}

}  // namespace

int32_t cell_value(const Match& match, int32_t cell) {
  const int32_t players = player_count(match);
  if (cell == relay_a_cell(players)) return match.relay_a;
  if (cell == relay_b_cell(players)) return match.relay_b;
  const auto p = static_cast<size_t>(cell % players);
  switch (static_cast<Column>(cell / players)) {
    case Column::PosX:
      return match.pos_x[p];
    case Column::PosY:
      return match.pos_y[p];
    case Column::Health:
      return match.health[p];
    case Column::Heading:
      return match.heading[p];
  }
  return 0;
}

void ledger_set_up(ViewLedger& ledger, const Match& match) {
  ledger.players = player_count(match);
  const auto cells = static_cast<size_t>(relay_b_cell(ledger.players)) + 1;
  const auto humans = static_cast<size_t>(match.human_count);
  ledger.newest.assign(cells, -1);
  // A report changes at most its row, one health and the two relays, each
  // with the value before it: room for every client's without growing.
  ledger.changes.clear();
  ledger.changes.reserve(12 * humans + 16);
  ledger.touched.clear();
  ledger.touched.reserve(cells);
  ledger.before_x.assign(humans, 0);
  ledger.before_y.assign(humans, 0);
}

void ledger_clear(ViewLedger& ledger) {
  for (const int32_t cell : ledger.touched) ledger.newest[static_cast<size_t>(cell)] = -1;
  ledger.touched.clear();
  ledger.changes.clear();
}

int32_t ledger_view(const ViewLedger& ledger, int32_t cell, int32_t viewer, int32_t current) {
  for (int32_t at = ledger.newest[static_cast<size_t>(cell)]; at >= 0;) {
    const ViewLedger::Change& change = ledger.changes[static_cast<size_t>(at)];
    if (change.writer <= viewer) return change.value;
    at = change.older;
  }
  return current;
}

int32_t value_sent(const Match& match, const ViewLedger* ledger, int32_t viewer, Cursor at) {
  const int32_t players = player_count(match);
  int32_t cell;
  switch (sends(at.step)) {
    case Sends::PlayerCount:
      return players;
    case Sends::PlayerIndex:
      return viewer;
    case Sends::MapNumber:
      return match.map_number;
    case Sends::RelayA:
      cell = relay_a_cell(players);
      break;
    case Sends::RelayB:
      cell = relay_b_cell(players);
      break;
    case Sends::PosX:
      cell = table_cell(Column::PosX, at.row, players);
      break;
    case Sends::PosY:
      cell = table_cell(Column::PosY, at.row, players);
      break;
    case Sends::Health:
      cell = table_cell(Column::Health, at.row, players);
      break;
    case Sends::Heading:
      cell = table_cell(Column::Heading, at.row, players);
      break;
    default:
      return ACK;
  }
  const int32_t current = cell_value(match, cell);
  return ledger != nullptr ? ledger_view(*ledger, cell, viewer, current) : current;
}

void apply_report(Match& match, int32_t q, const Report& report, bool place_at_start,
                  StartFile& start, ViewLedger* ledger, Watch* watch) {
  const int32_t players = player_count(match);
  const auto self = static_cast<size_t>(q);
  const Step end = report.ended_at;
  // A step at or before `end` came (the one at `end` as no value).
  const auto came = [end](Step step) { return step <= end; };
  const auto whole = [end](Step step) { return step < end; };

  if (!came(Step::RelayA)) return;
  write_cell(match.relay_a, relay_a_cell(players), updated_relay(match.relay_a, report.relay_a), q,
             ledger);
  if (!came(Step::RelayB)) return;
  write_cell(match.relay_b, relay_b_cell(players), updated_relay(match.relay_b, report.relay_b), q,
             ledger);
  if (!came(Step::X)) return;
  write_cell(match.pos_x[self], table_cell(Column::PosX, q, players), report.x, q, ledger);
  if (!came(Step::Y)) return;
  write_cell(match.pos_y[self], table_cell(Column::PosY, q, players), report.y, q, ledger);
  if (!whole(Step::Y)) return;
  // The files this report reads first, then the tables, then the view.
  const bool first_turn = match.turn_count == 1;
  if (first_turn) read_start_positions_in_turn(match, start, ledger);
  if (place_at_start) {
    // Back in the match: at its own start position, as a new match would put
    // it; a file that cannot be read leaves it where it said it is.
    const auto humans = static_cast<size_t>(match.human_count);
    start.x.assign(match.pos_x.begin(), match.pos_x.begin() + static_cast<ptrdiff_t>(humans));
    start.y.assign(match.pos_y.begin(), match.pos_y.begin() + static_cast<ptrdiff_t>(humans));
    load_start_positions(start.x, start.y, match.human_count, match.map_number, start.maps_dir,
                         start.data_folder, true);
  }
  if (first_turn) show_start_positions(match, q, ledger);
  if (place_at_start) {
    write_cell(match.pos_x[self], table_cell(Column::PosX, q, players), start.x[self], q, ledger);
    write_cell(match.pos_y[self], table_cell(Column::PosY, q, players), start.y[self], q, ledger);
  }
  // A hit's damage and target came whole (no damage: no target is asked).
  const bool hit = report.damage != NO_VALUE && whole(Step::Target);
  // A target outside 1..player_count names no player and changes nothing;
  // health wraps as 32-bit two's complement.
  if (hit && report.target >= 1 && report.target <= players) {
    const int32_t target = report.target - 1;
    int32_t& health = match.health[static_cast<size_t>(target)];
    write_cell(
        health, table_cell(Column::Health, target, players),
        static_cast<int32_t>(static_cast<uint32_t>(health) - static_cast<uint32_t>(report.damage)),
        q, ledger);
  }
  if (came(Step::Heading)) {
    write_cell(match.heading[self], table_cell(Column::Heading, q, players), report.heading, q,
               ledger);
  }
  if (hit) watch_hit(watch, q, report.damage, report.target);
}
