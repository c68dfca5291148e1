// A seat: everything the server knows of one human client's connection, its
// socket included, and the functions that act on one seat: send, receive,
// look at its time, break it, drop it. A seat knows nothing of the other
// seats or of the tables; what it needs of the match comes in a SeatRules.
// What it notes of its client's conformance (--check-clients, messages out
// of step) is kept and told by server/client_checks.h.
//
// Every log line about a client starts "player q (address:port)".
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "net/conversation.h"
#include "net/protocol.h"
#include "net/socket.h"
#include "server/client_checks.h"
#include "server/options.h"

enum class SeatStatus : uint8_t {
  Playing,
  Broken,   // left, timed out or broke the protocol; still served, as always
  Dropped,  // no longer served (--drop-broken-clients, --rejoin); its player kept
};

// Why a client is broken: the first cause is the one the log gives, since
// what follows from it (a reply that never comes) is no cause of its own.
enum class BreakCause : uint8_t {
  None,
  Left,          // its connection closed (or failed)
  NoConnection,  // it never had one: the accept failed
  TimedOut,      // --client-timeout, or a joiner's time to join
  WrongReply,    // its reply to relay_a was not ACK
};

// How far a client that connects during the match (--rejoin) has come.
enum class JoinStage : uint8_t {
  InMatch,   // in the match, or dropped
  Greeting,  // its handshake is under way
  Ready,     // told its index and the map: plays from the next turn
};

// "255.255.255.255:65535" and its terminator.
inline constexpr size_t PEER_TEXT_SIZE = 22;

using Clock = std::chrono::steady_clock;

// What a seat's time, checks and log lines need of the match; one for the
// match, kept by the server.
struct SeatRules {
  int32_t player_count = 0;  // the echo a client owes
  uint64_t turn = 0;         // the turn in which the server is: 0 during the handshake
  // --client-timeout: what one client may make everyone wait in all of a
  // turn (or of its part of the handshake); 0: for ever.
  std::chrono::seconds client_timeout{0};
  // The time a client that joins during the match has to finish its
  // handshake, whatever --client-timeout says.
  std::chrono::seconds join_timeout{10};
  bool drop_broken = false;  // --drop-broken-clients
  bool trace = false;        // --trace
  bool check_clients = false;
  // --drop-broken-clients or --rejoin: a connection that closes before it
  // greets is no player's (the lobby forgets it), and its close no fault.
  bool forget_strays = false;
  bool timed_round_trips = false;  // the view shows each client's round trip
  const Options* names = nullptr;  // the players' names; null: none
  // The log's pace: a silent client's receive gives up after wait_slice, so
  // that the waiting can be counted, timed out and reported every
  // stall_warning; with --check-clients a silence of silence_note has its
  // step named once.
  std::chrono::milliseconds wait_slice{1000};
  std::chrono::milliseconds stall_warning{30000};
  std::chrono::milliseconds silence_note{5000};
};

// How long the server has waited for one seat: in this turn (or this part
// of the handshake) in all, and for the message it waits for now.
struct Allowance {
  std::chrono::nanoseconds used{0};   // before the present wait
  Clock::time_point since{};          // the present wait began
  int64_t warned = 0;                 // stall warnings logged for the present wait
  bool silence_noted = false;         // with --check-clients, for the present wait
  bool short_socket_timeout = false;  // the socket gives up sooner than wait_slice
};

struct Seat {
  int32_t index = 0;  // the player's
  SocketHandle socket = INVALID_SOCKET_HANDLE;
  char peer[PEER_TEXT_SIZE] = "0.0.0.0:0";
  // What the log calls it after "player q": its peer, or its name and peer
  // when the operator named it (--names, --address-names).
  char who[PEER_TEXT_SIZE + 32] = "0.0.0.0:0";
  SeatStatus status = SeatStatus::Playing;
  BreakCause broken_by = BreakCause::None;
  JoinStage join = JoinStage::InMatch;
  bool place_at_start = false;  // rejoined: its first report puts it at its start position
  bool nonblocking = false;     // its socket never waits (served at once, or joining)
  // Where its conversation stands, and what it has reported in this turn.
  Cursor at;
  Report report;
  int32_t last_value = 0;  // the value of its last message, as read (0 after a close)
  Allowance time;
  // The rest of the server's last message when its client stopped reading:
  // sent before anything else is waited for, while the seat's time runs.
  char out[MESSAGE_MAX_DIGITS + 1] = {};
  uint8_t out_length = 0;
  uint8_t out_sent = 0;
  ClientChecks checks;  // its conformance notes
  // For the view: the messages of its exchanges, and its own round trips in
  // this exchange (from a message sent to the answer), when they are timed.
  uint64_t messages = 0;
  Clock::time_point sent_at{};
  std::chrono::nanoseconds round_trips{0};
  uint32_t round_trip_count = 0;
};

// The humans' seats, by player index, and what became of them.
struct Seats {
  std::vector<Seat> seat;
  int32_t left = 0;  // not dropped
  // The lowest seat whose reply to relay_a ended the match; -1 while none has.
  int32_t ended_by = -1;
};

// Whether the seat's client plays this turn: neither dropped nor still joining.
inline bool in_play(const Seat& seat) {
  return seat.status != SeatStatus::Dropped && seat.join == JoinStage::InMatch;
}

// With --rejoin: whether a client that connects may take this seat.
inline bool is_free(const Seat& seat) {
  return seat.status == SeatStatus::Dropped && seat.join == JoinStage::InMatch;
}

// Gives the seat a freshly accepted connection (INVALID_SOCKET_HANDLE when
// the accept failed): notes its peer and makes its silences timed, its time
// starting now.
void seat_open(Seat& seat, SocketHandle connection, const SeatRules& rules);

// Starts the seat's time for a turn (or a part of the handshake) afresh.
void seat_start_time(Seat& seat, const SeatRules& rules, Clock::time_point now);
// The present wait begins: the seat's next message is waited for from now.
void seat_start_wait(Seat& seat, Clock::time_point now);

// The one message the server sends the seat at its step (of player row in the
// table; -1 for none), with one send. What the client's connection does not
// take at once (it stopped reading) stays in the seat for seat_flush: a send
// never waits longer than its socket's time-out, and the seat's time runs
// meanwhile as it does while its message is awaited.
void seat_send(Seat& seat, const SeatRules& rules, const char* step, int32_t value,
               int32_t row = -1);

// Whether part of the server's last message still waits to be sent.
inline bool has_output(const Seat& seat) {
  return seat.out_sent < seat.out_length;
}

// One more send of what waits in the seat. Returns whether all of it is
// sent now; a failed send gives up the rest, which the next receive's close
// accounts for.
bool seat_flush(Seat& seat);

// What a message from a seat means for its conversation.
enum class MessageMeans : uint8_t {
  GoOn,           // the conversation goes on
  Drop,           // the client broke and broken clients are dropped
  ProtocolBreak,  // the reply to relay_a was not ACK: the match ends
};

// Takes the message `*value` that came from the seat at its step: counted
// from the turn's first exchange on, kept in its report (where a 0, or
// nothing, reads as NO_VALUE), and a reply to relay_a that is not ACK a
// protocol break. A client dropped while it reports ends its report there.
// When the conversation goes on, the seat is moved on to its next step.
MessageMeans seat_take_message(Seat& seat, const SeatRules& rules, int32_t* value);

enum class Received : uint8_t {
  Message,  // *value holds it
  Nothing,  // nothing yet: the socket's wait (or, not blocking, none) ran out
  Closed,   // the connection closed or failed, or the seat had timed out
};

// One receive from the seat at its step. A close marks the seat broken,
// once, with a line in the log; *value is then 0. With --trace the message
// goes to the log; with --check-clients how it departs from the protocol
// (as expects(step) tells) is logged and counted.
Received seat_receive(Seat& seat, const SeatRules& rules, int32_t* value);

// Looks at the time of a seat that the server waits for: a time-out breaks
// it (and shuts its connection, so that every later receive gives Closed at
// once); a stall is warned of every stall_warning; with --check-clients, a
// silence of silence_note has its step named once. Returns how long the
// server may wait before looking again (0 after a time-out).
std::chrono::nanoseconds seat_check_time(Seat& seat, const SeatRules& rules, Clock::time_point now);

// The seat's reply to relay_a was `arrived`, not ACK. Logged as a protocol
// break and marked broken, unless it is broken already (it left or timed
// out, and said so then).
void seat_break_protocol(Seat& seat, const SeatRules& rules, int32_t arrived);

// Closes the seat's connection and serves it no more; its player stays in
// every table with its last values. `left` is how many humans are left.
void seat_drop(Seat& seat, const SeatRules& rules, int32_t left);

// Whether the seat must be given up: it broke and broken clients are dropped.
inline bool must_drop(const Seat& seat, const SeatRules& rules) {
  return rules.drop_broken && seat.status != SeatStatus::Playing;
}

// "player 1 left", "player 2 timed out", "player 1 broke the protocol".
const char* break_cause_text(BreakCause cause);

// The round trip of the seat's exchange so far: its own, from the server's
// messages to its answers; 0 when none was timed.
inline int64_t seat_round_trip_ns(const Seat& seat) {
  return seat.round_trip_count == 0 ? 0 : seat.round_trips.count() / seat.round_trip_count;
}
