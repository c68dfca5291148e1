// A client's conformance notes, kept beside its seat: how its messages depart
// from the protocol (with --check-clients: told in the log a few times per
// kind, then counted, and summed up at the end), where its messages fell out
// of step (looked for always: the line that ends the client names it), and,
// when it stays silent, which message of the server's it leaves unanswered.
//
// The seat calls these from its receive, its send and its time; they read the
// seat and write the log, and never touch its connection or its status.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/conversation.h"

// The departures from the protocol that --check-clients counts, per client.
enum class Departure : uint8_t {
  ReplyNotAck,      // a reply the server drops was not 147
  NotOneInteger,    // " 25", "+7", "25xyz", "007": not the plain text of one number
  ZeroAsNoValue,    // a 0 in the turns, which the server reads as -1
  OutOfRange,       // beyond 32 bits, read as the nearest 32-bit value
  TwoInOneReceive,  // a second message came with the first, or was waiting behind it
  BadGreeting,      // a greeting other than 147
  BadEcho,          // an echo other than the player count
  ProtocolBreak,    // a reply to relay_a other than ACK, which ends its exchange
};
inline constexpr size_t DEPARTURE_KINDS = 8;

struct DepartureCounts {
  uint32_t count[DEPARTURE_KINDS] = {};
};

// What the notes keep of one seat's client.
struct ClientChecks {
  // The first receive that held two messages: from there on the client's
  // messages answer the step before, as far as the server can tell. Its step
  // Done while none has.
  Step out_of_step_at = Step::Done;
  uint64_t out_of_step_turn = 0;
  // With --trace or --check-clients: the last message sent, which a note on
  // its silence quotes.
  const char* last_sent_step = nullptr;  // none yet
  int32_t last_sent_value = 0;
  int32_t last_sent_row = -1;
  DepartureCounts departures;  // with --check-clients
  // Departures of the clients that held this slot before (--rejoin).
  DepartureCounts departures_before;
};

// What a client that takes the slot next starts with: no notes of its own,
// and the departures of every client that held the slot before it.
ClientChecks checks_for_next_client(const ClientChecks& checks);

// How a received message's bytes depart from the plain text of one number,
// if they do; Plain when they are the number exactly as a sender formats it.
// `waiting` is how many bytes lay behind the message when it was taken.
enum class MessageForm : uint8_t { Plain, NotOneInteger, OutOfRange, TwoInOneReceive };
MessageForm message_form(const char* bytes, size_t length, size_t waiting);

struct Seat;
struct SeatRules;

// A message the seat received (`length` bytes, read as `value`) at its
// step: the first receive that held two messages is kept for the line that
// ends the client; with --trace the message goes to the log; with
// --check-clients how it departs from the protocol is logged and counted.
// Without --check-clients it costs no system call, and a plain message only
// a look at its bytes.
void checks_received(Seat& seat, const SeatRules& rules, const char* bytes, size_t length,
                     int32_t value);

// The message the server has just sent the seat (of player row; -1 for
// none), kept for a note on its silence. `step` must outlive the seat's
// client: a step's name.
void checks_sent(ClientChecks& checks, const char* step, int32_t value, int32_t row);

inline constexpr size_t OUT_OF_STEP_NOTE_SIZE = 160;

// The note on a client whose messages fell out of step, for the line that
// ends it; empty when they never did.
void out_of_step_note(const ClientChecks& checks, char (&note)[OUT_OF_STEP_NOTE_SIZE]);

// With --check-clients: the seat has been silent at its step for
// rules.silence_note. Logs which message of the server's it leaves
// unanswered.
void note_silence(const Seat& seat, const SeatRules& rules);

// With --check-clients, one log line per seat: how many departures of each
// kind its clients made (those of earlier clients of the slot too).
void log_departure_summary(const Seat& seat);
