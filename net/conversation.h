// The conversation between the server and one human client, written once:
// which step comes next, who speaks at it, and what each side calls it. It
// does no I/O. The server walks it with each client (one client after the
// other, or every client at once), the reference client walks it from the
// other end, and the tests walk it to script clients.
//
// The handshake: the client greets (147), the server sends the player count,
// the client echoes it; once every human has joined, the server sends the
// player index, the client replies, the server sends the map.
//
// One turn's exchange: the client reports two relay values, its position, at
// most one hit and its heading, the server answering each with ACK but the
// heading; then the server sends relay_a (the reply must be ACK), relay_b,
// and the whole player table: pos_x, pos_y, health, heading of every player
// in player index order, each answered by the client but the very last heading.
#pragma once

#include <cstdint>

enum class Speaker : uint8_t { Client, Server, Nobody };

enum class Step : uint8_t {
  // The handshake.
  Greeting,
  PlayerCount,
  Echo,
  Joined,  // nobody speaks: the server waits until every human has joined
  PlayerIndex,
  ReplyToIndex,
  Map,
  Numbered,  // the handshake is over
  // One turn's exchange: the client's report...
  RelayA,
  AckRelayA,
  RelayB,
  AckRelayB,
  X,
  AckX,
  Y,
  AckY,
  Damage,
  AckDamage,  // only with a hit
  Target,     // only with a hit
  AckHit,
  Heading,
  // ...then what the server sends back.
  SendRelayA,
  ReplyToRelayA,  // must be ACK
  SendRelayB,
  ReplyToRelayB,
  RowX,
  ReplyToRowX,
  RowY,
  ReplyToRowY,
  RowHealth,
  ReplyToRowHealth,
  RowHeading,
  ReplyToRowHeading,  // not after the last player's heading
  Done,
};

// Where a conversation stands: the step, and in the table transfer the player
// whose row it is.
struct Cursor {
  Step step = Step::RelayA;
  int32_t row = 0;
};

inline constexpr Cursor HANDSHAKE_START{Step::Greeting, 0};
inline constexpr Cursor EXCHANGE_START{Step::RelayA, 0};

Speaker speaker(Step step);

// What the server sends at one of its steps: ACK, a number of the handshake,
// or a value of the tables as the client is to be shown them.
enum class Sends : uint8_t {
  Nothing,  // a client's step
  Ack,
  PlayerCount,
  PlayerIndex,
  MapNumber,
  RelayA,
  RelayB,
  PosX,  // of the row's player, and so on
  PosY,
  Health,
  Heading,
};

// What the server makes of the client's message at one of the client's
// steps. A departure from it is what --check-clients counts.
enum class Expects : uint8_t {
  Nothing,    // a server's step
  TurnValue,  // a value of the report: a 0 reads as no value (-1)
  Ack,        // must be ACK, or the protocol is broken (the reply to relay_a)
  Reply,      // read and dropped; 147 is what a client sends
  Greeting,   // 147
  Echo,       // the player count
};

Sends sends(Step step);
Expects expects(Step step);

// The step's name as the server's log and the protocol guide call it
// ("relay_a", "ack", "reply to pos_x", "pos_x"...), and as the reference
// client's trace does ("table pos_x", "reply"...).
const char* server_step_name(Step step);
const char* client_step_name(Step step);

// Whether a damage amount reports a hit: the server reads a 0 as no value,
// and then no target follows.
inline bool reports_hit(int32_t damage) {
  return damage != -1 && damage != 0;
}

// The step after `at`, given the value carried at it (only the damage amount
// changes the way) and the player count. Joined and Done stay where they are:
// leaving Joined is the server's decision, once every human is in.
Cursor next_step(Cursor at, int32_t value, int32_t player_count);

// Whether the step belongs to the client's report of a turn (RelayA..Heading).
inline bool in_report(Step step) {
  return step >= Step::RelayA && step <= Step::Heading;
}

// What one client reported in a turn, as the server keeps it and the
// reference client says it. A client that broke while reporting (and is
// dropped) ends its report at the step whose value never came: that step
// reads as no value, and nothing of the report after it counts.
struct Report {
  int32_t relay_a = -1, relay_b = -1, x = -1, y = -1, damage = -1, target = -1, heading = -1;
  Step ended_at = Step::Done;
};

// Keeps value, received at `step` of the report (RelayA..Heading), in report.
void keep_report_value(Report& report, Step step, int32_t value);
