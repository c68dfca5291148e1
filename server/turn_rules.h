// The rules of a turn: what one client's report does to the match tables, and
// what each client is shown. The only code that writes the tables during the
// turns (but the bots' steps).
//
// A client's report is applied as a whole, in player index order: the relay
// update rule on both relay values, its position, in the first turn the start
// position file over every human's position, its hit, its heading. A client
// is shown the tables as they stand right after its own report: the humans
// before it with this turn's values, the humans after it with last turn's,
// health with the hits of every client up to and including it.
//
// Served one at a time, each report is applied when it is complete and the
// client is shown the live tables. Served all at once, the reports are
// applied in order once every client has sent its own, and a ViewLedger keeps
// what each of them must be shown while the tables already hold the end.
#pragma once

#include <cstdint>
#include <vector>

#include "net/conversation.h"

struct Server;
struct Match;

// What one client reported in a turn. A client that broke while reporting
// (and is dropped) ends its report at the step whose value never came: that
// step reads as no value, and nothing of the report after it counts.
struct Report {
  int32_t relay_a = -1, relay_b = -1, x = -1, y = -1, damage = -1, target = -1, heading = -1;
  Step ended_at = Step::Done;
};

// Keeps value, received at `step` of the report (RelayA..Heading), in report.
void keep_report_value(Report& report, Step step, int32_t value);

// A cell of what a client is shown: the four tables by player, then the two
// relay values.
enum class Column : int32_t { PosX, PosY, Health, Heading };
inline int32_t table_cell(Column column, int32_t player, int32_t players) {
  return static_cast<int32_t>(column) * players + player;
}
inline int32_t relay_a_cell(int32_t players) {
  return 4 * players;
}
inline int32_t relay_b_cell(int32_t players) {
  return 4 * players + 1;
}

// The value of a cell in the tables as they stand.
int32_t cell_value(const Match& match, int32_t cell);

// Every change that this turn's reports made, by the client that made it, so
// that each client can be shown the tables as they stood after its own
// report. Sized once for the match; a turn that writes no more than a few
// cells per client allocates nothing.
struct ViewLedger {
  struct Change {
    int32_t writer;  // the client whose report made it; -1 for the value before the turn
    int32_t value;
    int32_t older;  // the change before it in the same cell, -1 for none
  };
  int32_t players = 0;
  std::vector<int32_t> newest;  // per cell: its newest change, -1 when untouched
  std::vector<Change> changes;
  std::vector<int32_t> touched;             // the cells with changes, to clear them
  std::vector<int32_t> before_x, before_y;  // the humans' positions before a start position read
};

// Sizes the ledger for the match's tables.
void ledger_set_up(ViewLedger& ledger, const Match& match);
// Forgets the changes of the last turn.
void ledger_clear(ViewLedger& ledger);
// The value of cell that client `viewer` is shown: the tables after the
// reports of the clients up to and including it. `current` is the cell's
// value in the tables now.
int32_t ledger_view(const ViewLedger& ledger, int32_t cell, int32_t viewer, int32_t current);

// Applies client q's report to the tables; notes every change in ledger when
// given. In the first turn (turn_count 1) a report whose position came reads
// the start position file. A hit goes to the view's list of hits.
void apply_report(Server& server, int32_t q, const Report& report, ViewLedger* ledger);
