#include "server/client_checks.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "console/log.h"
#include "net/decimal.h"
#include "net/message.h"
#include "net/protocol.h"
#include "server/seat.h"

namespace {

// What the summary calls each kind, in the order of Departure.
const char* const DEPARTURE_NAMES[DEPARTURE_KINDS] = {
    "replies other than 147",
    "messages not exactly one integer",
    "zeros read as no value",
    "numbers outside 32 bits",
    "receives holding two messages",
    "greetings other than 147",
    "echoes other than the player count",
    "replies to relay_a other than 147, which broke the protocol",
};

// A client that makes the same departure in every message (a line end after
// each number) would bury the log: each kind is told this many times per
// client, once more with the word that the rest are only counted, and then
// counted only.
constexpr uint32_t DEPARTURES_TOLD = 3;

const char* step_name(const Seat& seat) {
  return server_step_name(seat.at.step);
}

// A departure: counted, and a warning naming player, turn and step.
void warn(Seat& seat, const SeatRules& rules, Departure kind, const char* what) {
  const uint32_t seen = ++seat.checks.departures.count[static_cast<size_t>(kind)];
  if (seen > DEPARTURES_TOLD + 1) return;
  log_line(LogLevel::Warning, "player %d (%s) in turn %" PRIu64 " at step '%s': %s%s",
           static_cast<int>(seat.index), seat.who, rules.turn, step_name(seat), what,
           seen > DEPARTURES_TOLD
               ? "; from now on this kind is only counted, in the summary at the end"
               : "");
}

// The trace line of a received message and, with --check-clients, how it
// departs from the protocol.
void inspect_received(Seat& seat, const SeatRules& rules, const char* bytes, size_t length,
                      int32_t value) {
  // Bytes behind the message show that the client did not wait for the
  // answer. Only the check looks: it costs a system call.
  const size_t waiting = rules.check_clients ? socket_pending(seat.socket) : 0;
  const MessageForm form = message_form(bytes, length, waiting);
  char shown[4 * MESSAGE_LIMIT + 3] = "";
  if (form != MessageForm::Plain) escape_bytes(bytes, length, true, shown);
  if (rules.trace) {
    log_line(LogLevel::Info, "trace player %d turn %" PRIu64 " C->S '%s' %d%s%s",
             static_cast<int>(seat.index), rules.turn, step_name(seat), static_cast<int>(value),
             form == MessageForm::Plain ? "" : " bytes ", shown);
  }
  if (!rules.check_clients) return;
  char what[4 * MESSAGE_LIMIT + 200];
  const int read_as = static_cast<int>(value);
  switch (form) {
    case MessageForm::Plain:
      break;
    case MessageForm::NotOneInteger:
      std::snprintf(what, sizeof what, "%s is not exactly one integer; read as %d", shown, read_as);
      warn(seat, rules, Departure::NotOneInteger, what);
      break;
    case MessageForm::OutOfRange:
      std::snprintf(what, sizeof what, "%s is outside the 32-bit range; read as %d", shown,
                    read_as);
      warn(seat, rules, Departure::OutOfRange, what);
      break;
    case MessageForm::TwoInOneReceive:
      // The second message is lost in the first: every message after it
      // answers the step before, as far as the server can tell.
      if (waiting > 0) {
        std::snprintf(what, sizeof what,
                      "%s had %zu more bytes waiting behind it: the client sent again "
                      "without waiting for the answer; read as %d; its messages may now be "
                      "read a step out of place",
                      shown, waiting, read_as);
      } else {
        std::snprintf(what, sizeof what,
                      "%s holds two messages in one receive; read as %d; its messages may now "
                      "be read a step out of place",
                      shown, read_as);
      }
      warn(seat, rules, Departure::TwoInOneReceive, what);
      break;
  }
  switch (expects(seat.at.step)) {
    case Expects::TurnValue:
      if (value == 0) {
        warn(seat, rules, Departure::ZeroAsNoValue,
             "reads as 0, which the server takes as no value (-1)");
      }
      break;
    case Expects::Reply:
      if (value != ACK) {
        std::snprintf(what, sizeof what, "replied %d, not 147; the server drops it", read_as);
        warn(seat, rules, Departure::ReplyNotAck, what);
      }
      break;
    case Expects::Greeting:
      if (value != ACK) {
        std::snprintf(what, sizeof what, "greeted with %d, not 147", read_as);
        warn(seat, rules, Departure::BadGreeting, what);
      }
      break;
    case Expects::Echo:
      if (value != rules.player_count) {
        std::snprintf(what, sizeof what, "echoed %d, not the player count %d", read_as,
                      static_cast<int>(rules.player_count));
        warn(seat, rules, Departure::BadEcho, what);
      }
      break;
    default:
      break;
  }
}

// Whether bytes may hold a second number: a sign or white space after the
// first byte. A plain message never does, and most of them are plain.
bool may_hold_two(const char* bytes, size_t length) {
  for (size_t i = 1; i < length; ++i) {
    const char c = bytes[i];
    if (c == '-' || c == '+' || is_space(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

void put_summary(const DepartureCounts& counts, char* out, size_t size, bool* any) {
  size_t length = std::strlen(out);
  const auto put = [&](const char* text) {
    while (*text != '\0' && length + 1 < size) out[length++] = *text++;
    out[length] = '\0';
  };
  *any = false;
  for (size_t kind = 0; kind < DEPARTURE_KINDS; ++kind) {
    const uint32_t n = counts.count[kind];
    if (n == 0) continue;
    if (*any) put(", ");
    *any = true;
    char number[16];
    std::snprintf(number, sizeof number, "%u ", static_cast<unsigned>(n));
    put(number);
    put(DEPARTURE_NAMES[kind]);
  }
  if (!*any) put("none");
}

}  // namespace

MessageForm message_form(const char* bytes, size_t length, size_t waiting) {
  size_t at = 0;
  const DecimalRead read = read_decimal(
      [&]() -> int { return at < length ? static_cast<unsigned char>(bytes[at++]) : -1; });
  if (read.has_digits && read.out_of_range) return MessageForm::OutOfRange;
  if (waiting > 0) return MessageForm::TwoInOneReceive;
  char plain[MESSAGE_MAX_DIGITS + 1];
  const size_t plain_length = format_int(read.value, plain);
  if (read.has_digits && plain_length == length && std::memcmp(plain, bytes, length) == 0) {
    return MessageForm::Plain;
  }
  if (read.has_digits && read.next >= 0) {
    // A second number behind the first, after white space or starting with
    // its sign: "147 147", "-1-1". A number never holds either.
    const size_t end = at - 1;
    size_t i = end;
    while (i < length && is_space(static_cast<unsigned char>(bytes[i]))) ++i;
    const bool sign = i + 1 < length && (bytes[i] == '-' || bytes[i] == '+') &&
                      is_digit(static_cast<unsigned char>(bytes[i + 1]));
    const bool digit_after_space =
        i > end && i < length && is_digit(static_cast<unsigned char>(bytes[i]));
    if (sign || digit_after_space) return MessageForm::TwoInOneReceive;
  }
  return MessageForm::NotOneInteger;
}

ClientChecks checks_for_next_client(const ClientChecks& checks) {
  ClientChecks next;
  next.departures_before = checks.departures_before;
  for (size_t kind = 0; kind < DEPARTURE_KINDS; ++kind) {
    next.departures_before.count[kind] += checks.departures.count[kind];
  }
  return next;
}

void checks_received(Seat& seat, const SeatRules& rules, const char* bytes, size_t length,
                     int32_t value) {
  // Two messages in one receive shift every later one by a step: the first
  // time is kept for the note that ends the client. A plain message is one
  // to eleven bytes; looking costs no system call.
  ClientChecks& checks = seat.checks;
  if (length > 1 && checks.out_of_step_at == Step::Done && may_hold_two(bytes, length) &&
      message_form(bytes, length, 0) == MessageForm::TwoInOneReceive) {
    checks.out_of_step_at = seat.at.step;
    checks.out_of_step_turn = rules.turn;
  }
  if (rules.trace || rules.check_clients) inspect_received(seat, rules, bytes, length, value);
}

void checks_sent(ClientChecks& checks, const char* step, int32_t value, int32_t row) {
  checks.last_sent_step = step;
  checks.last_sent_value = value;
  checks.last_sent_row = row;
}

void out_of_step_note(const ClientChecks& checks, char (&note)[OUT_OF_STEP_NOTE_SIZE]) {
  note[0] = '\0';
  if (checks.out_of_step_at == Step::Done) return;
  std::snprintf(note, sizeof note,
                "; its messages have been out of step since turn %" PRIu64
                " at step '%s', where one receive held two messages",
                checks.out_of_step_turn, server_step_name(checks.out_of_step_at));
}

// A client that waits for something the server will not send (a line end, a
// reply it thinks is due) sits silent here; the server's last message tells
// its author which.
void note_silence(const Seat& seat, const SeatRules& rules) {
  const ClientChecks& checks = seat.checks;
  char sent[96] = "; it has sent it nothing yet";
  if (checks.last_sent_step != nullptr && checks.last_sent_row >= 0) {
    std::snprintf(sent, sizeof sent, ", having sent it '%s of player %d' %d", checks.last_sent_step,
                  static_cast<int>(checks.last_sent_row), static_cast<int>(checks.last_sent_value));
  } else if (checks.last_sent_step != nullptr) {
    std::snprintf(sent, sizeof sent, ", having sent it '%s' %d", checks.last_sent_step,
                  static_cast<int>(checks.last_sent_value));
  }
  log_line(LogLevel::Warning,
           "player %d (%s) has sent nothing for %g s, in turn %" PRIu64
           ": the server waits for its '%s'%s",
           static_cast<int>(seat.index), seat.who,
           std::chrono::duration<double>(rules.silence_note).count(), rules.turn, step_name(seat),
           sent);
}

void log_departure_summary(const Seat& seat) {
  const ClientChecks& checks = seat.checks;
  char line[600];
  bool any_before = false;
  for (size_t kind = 0; kind < DEPARTURE_KINDS; ++kind) {
    any_before = any_before || checks.departures_before.count[kind] > 0;
  }
  if (any_before) {
    std::snprintf(line, sizeof line,
                  "player %d (earlier clients of the slot) departures from the protocol: ",
                  static_cast<int>(seat.index));
    bool any = false;
    put_summary(checks.departures_before, line, sizeof line, &any);
    log_line(LogLevel::Warning, "%s", line);
  }
  std::snprintf(line, sizeof line,
                "player %d (%s) departures from the protocol: ", static_cast<int>(seat.index),
                seat.who);
  bool any = false;
  put_summary(checks.departures, line, sizeof line, &any);
  log_line(any ? LogLevel::Warning : LogLevel::Info, "%s", line);
}
