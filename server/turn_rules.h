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

#include <string>

struct Match;
struct Watch;

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

// The value the server sends client `viewer` at one of the server's steps:
// ACK, a number of the handshake, or a relay value or table cell as the
// client is to be shown it (through the ledger when given).
int32_t value_sent(const Match& match, const ViewLedger* ledger, int32_t viewer, Cursor at);

// Where the map's start position file is read from, and room to read it.
struct StartFile {
  std::string maps_dir;     // empty: the working directory
  std::string data_folder;  // where a missing file is looked for; empty: nowhere
  std::vector<int32_t> x, y;
};

// Applies client q's report to the tables; notes every change in ledger when
// given. In the first turn (turn_count 1) a report whose position came reads
// the start position file over every human's position, as the match always
// has; a client back in the match (place_at_start) is put at its own start
// position. A hit goes to the view's list of hits (watch may be null).
void apply_report(Match& match, int32_t q, const Report& report, bool place_at_start,
                  StartFile& start, ViewLedger* ledger, Watch* watch);
