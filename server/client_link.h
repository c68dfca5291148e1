// The server's side of each human client's connection: receives that notice
// a close or a silence, and what the operator's log says of them. The
// handshake and the turn exchange receive through here; they send with
// send_int, whose failures a later receive notices.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "server/server.h"

// What the server makes of a message at a step, for --check-clients.
enum class Expect : uint8_t {
  Value,      // kept as it comes
  TurnValue,  // a 0 reads as "no value" (-1)
  Reply,      // read and dropped; 147 is what a client sends
  Greeting,   // 147
  Echo,       // the player count
};

// How a received message's bytes depart from the plain text of one number,
// if they do: NotOneInteger, OutOfRange or TwoInOneReceive; `plain` when they
// are the number exactly as a sender formats it. `waiting` is how many bytes
// lay behind the message when it was taken.
enum class MessageForm : uint8_t { Plain, NotOneInteger, OutOfRange, TwoInOneReceive };
MessageForm message_form(const char* bytes, size_t length, size_t waiting);

// Makes human q's freshly accepted connection one whose silences can be
// timed, and notes its peer for the log.
void watch_client(Server& server, int32_t q);

// One receive from human q at step (named as in the protocol guide): the
// value as recv_number gives it, 0 for nothing. A close or a receive error
// marks the client broken, once, with a line in the log (INFO "left" between
// two exchanges, which is how clients leave; a WARN elsewhere); so does running out
// of time: with --client-timeout, the server waits for one client at most
// that long in all of a turn (or of its part of the handshake), and after a
// time-out every later receive gives 0 at once, as from a closed connection.
// While the client is silent the log gets a warning every
// server.stall_warning, and with --check-clients one after
// server.silence_note that names the step and the server's last message.
// With --trace the message goes to the log; with --check-clients what it
// departs from the protocol (as `expect` tells) is logged and counted.
int32_t receive_from(Server& server, int32_t q, const char* step, Expect expect = Expect::Value);

// Starts human q's time for a turn (or a part of the handshake) afresh.
void start_client_budget(Server& server, int32_t q);

// For clients served at once, whose sockets do not block: one receive from
// human q, which the server has waited for since its waiting_since. True
// with *value as receive_from gives it; false when nothing has come yet.
bool receive_ready(Server& server, int32_t q, const char* step, Expect expect, int32_t* value);

// For clients served at once: human q, waited for at step since its
// waiting_since, is timed out when its time is up, and a stall warned of as
// receive_from would. Returns how long the server may wait before looking
// again (0 after a time-out). With --check-clients, names the step once the
// silence reaches server.silence_note, as receive_from does.
std::chrono::nanoseconds check_waiting_client(Server& server, int32_t q, const char* step,
                                              std::chrono::steady_clock::time_point now);

// Sends value to human q at step (in the table, of player row; -1 for none),
// traced with --trace. Failures are left to a later receive, as send_int's.
void send_to(Server& server, int32_t q, const char* step, int32_t value, int32_t row = -1);

// With --check-clients, one log line per human client: how many departures
// of each kind it made. The first logs through log_line; the second is for
// the stop handler: plain writes only, safe in a signal handler.
void log_departure_summary(const Server& server);
void write_departure_summary_now(const Server& server);

// Human q's reply at step (relay_a's) was `arrived`, not ACK: it ends the
// match, or is dropped. Logged as a protocol break, and marked broken, unless
// it is broken already (it left or timed out, and said so then).
void note_protocol_break(Server& server, int32_t q, const char* step, int32_t arrived);

// Why a protocol break ended the match, with the one cause the log gave:
// "player 0 left", "player 2 timed out", "player 1 broke the protocol".
std::string match_break_reason(const Server& server);

// Whether the exchange with human q must be given up: it broke and broken
// clients are dropped.
bool must_drop(const Server& server, int32_t q);

// Closes human q's connection and serves it no more; its player stays in
// every table with its last values.
void drop_client(Server& server, int32_t q);
