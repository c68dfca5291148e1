#include "server/seat.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "console/console.h"
#include "console/log.h"
#include "net/message.h"
#include "net/protocol.h"
#include "server/player_names.h"

namespace {

const char* step_name(const Seat& seat) {
  return server_step_name(seat.at.step);
}

// Marks the seat broken for `cause`, once, with a log line: "player 0 (peer)
// <what> in turn N at step 'S'<after>".
void mark_broken(Seat& seat, const SeatRules& rules, BreakCause cause, LogLevel level,
                 const char* what, const char* after = "") {
  if (seat.status != SeatStatus::Playing) return;
  seat.status = SeatStatus::Broken;
  seat.broken_by = cause;
  char note[OUT_OF_STEP_NOTE_SIZE];
  out_of_step_note(seat.checks, note);
  log_line(level, "player %d (%s) %s in turn %" PRIu64 " at step '%s'%s%s",
           static_cast<int>(seat.index), seat.who, what, rules.turn, step_name(seat), after, note);
}

// The seat's connection closed (or failed, or never was). Between two
// exchanges is how a client leaves a match: no fault of its own.
void note_close(Seat& seat, const SeatRules& rules) {
  if (seat.socket == INVALID_SOCKET_HANDLE) {
    mark_broken(seat, rules, BreakCause::NoConnection, LogLevel::Warning, "has no connection");
    return;
  }
  if (seat.join == JoinStage::Greeting || (rules.forget_strays && seat.at.step == Step::Greeting)) {
    // Before its greeting: a port check or a scan, which the lobby forgets;
    // a joiner that leaves is given back by the lobby, which says so.
    seat.status = SeatStatus::Broken;
    seat.broken_by = BreakCause::Left;
    return;
  }
  const bool between_exchanges = rules.turn > 0 && seat.at.step == Step::RelayA;
  mark_broken(seat, rules, BreakCause::Left, between_exchanges ? LogLevel::Info : LogLevel::Warning,
              "left",
              between_exchanges ? ": its connection closed before its exchange"
                                : ": its connection closed in the middle of the conversation");
}

// What the seat may make everyone wait in all: its client's time-out, or a
// joiner's time to join; 0 for no limit.
std::chrono::nanoseconds limit_of(const Seat& seat, const SeatRules& rules) {
  if (seat.join != JoinStage::Greeting) return rules.client_timeout;
  if (rules.client_timeout.count() > 0 && rules.client_timeout < rules.join_timeout) {
    return rules.client_timeout;
  }
  return rules.join_timeout;
}

// The seat used up its time: broken, and every later receive from it gives
// Closed at once.
void time_out(Seat& seat, const SeatRules& rules) {
  const auto limit = limit_of(seat, rules);
  const int seconds =
      static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(limit).count());
  char what[96];
  if (seat.join == JoinStage::Greeting) {
    std::snprintf(what, sizeof what, "did not finish joining within %d s", seconds);
  } else {
    std::snprintf(
        what, sizeof what, "%s for %d s (the client timeout)",
        seat.time.used.count() == 0 ? "stayed silent" : "kept everyone waiting in this turn",
        seconds);
  }
  seat.time.used = limit;
  mark_broken(seat, rules, BreakCause::TimedOut, LogLevel::Warning, what);
  socket_shutdown(seat.socket);
  seat.out_sent = seat.out_length;
}

void warn_stall(const Seat& seat, const SeatRules& rules, std::chrono::nanoseconds waited) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::duration_cast<std::chrono::milliseconds>(waited))
          .count();
  if (seat.join == JoinStage::Greeting) {
    // A joiner keeps nobody waiting: the match goes on while it joins.
    log_line(LogLevel::Warning,
             "player %d (%s) has sent nothing for %g s while joining, at step '%s'",
             static_cast<int>(seat.index), seat.who, seconds, step_name(seat));
    return;
  }
  log_line(LogLevel::Warning,
           "player %d (%s) has kept everyone waiting for %g s, in turn %" PRIu64 " at step '%s'",
           static_cast<int>(seat.index), seat.who, seconds, rules.turn, step_name(seat));
}

void set_socket_timeouts(const Seat& seat, int milliseconds) {
  socket_set_receive_timeout(seat.socket, milliseconds);
  socket_set_send_timeout(seat.socket, milliseconds);
}

}  // namespace

void seat_open(Seat& seat, SocketHandle connection, const SeatRules& rules) {
  seat.socket = connection;
  seat.out_sent = seat.out_length = 0;
  char address[DOTTED_SIZE];
  uint16_t port = 0;
  socket_peer_address(connection, address, &port);
  std::snprintf(seat.peer, sizeof seat.peer, "%s:%u", address, static_cast<unsigned>(port));
  // A client that speaks within the slice costs nothing more; one that
  // neither speaks nor reads is looked at every slice.
  if (connection != INVALID_SOCKET_HANDLE) {
    set_socket_timeouts(seat, static_cast<int>(rules.wait_slice.count()));
  }
  seat_start_time(seat, rules, Clock::now());
  const std::string name =
      rules.names != nullptr ? player_name(*rules.names, seat.index, seat.peer) : std::string();
  if (name.empty()) {
    std::snprintf(seat.who, sizeof seat.who, "%s", seat.peer);
  } else {
    std::snprintf(seat.who, sizeof seat.who, "%s, %s", name.c_str(), seat.peer);
  }
}

void seat_start_time(Seat& seat, const SeatRules& rules, Clock::time_point now) {
  seat.time.used = std::chrono::nanoseconds{0};
  seat.round_trips = std::chrono::nanoseconds{0};
  seat.round_trip_count = 0;
  if (seat.time.short_socket_timeout) {
    seat.time.short_socket_timeout = false;
    set_socket_timeouts(seat, static_cast<int>(rules.wait_slice.count()));
  }
  seat_start_wait(seat, now);
}

void seat_start_wait(Seat& seat, Clock::time_point now) {
  seat.time.since = now;
  seat.time.warned = 0;
  seat.time.silence_noted = false;
}

void seat_send(Seat& seat, const SeatRules& rules, const char* step, int32_t value, int32_t row) {
  seat.out_length = static_cast<uint8_t>(format_int(value, seat.out));
  seat.out_sent = 0;
  seat_flush(seat);
  if (rules.timed_round_trips) seat.sent_at = Clock::now();
  if (!rules.trace && !rules.check_clients) return;
  checks_sent(seat.checks, step, value, row);
  if (!rules.trace) return;
  if (row < 0) {
    log_line(LogLevel::Info, "trace player %d turn %" PRIu64 " S->C '%s' %d",
             static_cast<int>(seat.index), rules.turn, step, static_cast<int>(value));
  } else {
    log_line(LogLevel::Info, "trace player %d turn %" PRIu64 " S->C '%s of player %d' %d",
             static_cast<int>(seat.index), rules.turn, step, static_cast<int>(row),
             static_cast<int>(value));
  }
}

bool seat_flush(Seat& seat) {
  if (!has_output(seat)) return true;
  bool would_block = false;
  const long n = socket_send(seat.socket, seat.out + seat.out_sent, seat.out_length - seat.out_sent,
                             &would_block);
  if (n > 0) {
    seat.out_sent = static_cast<uint8_t>(seat.out_sent + n);
  } else if (!would_block) {
    seat.out_sent = seat.out_length;
  }
  return !has_output(seat);
}

Received seat_receive(Seat& seat, const SeatRules& rules, int32_t* value) {
  *value = 0;
  if (seat.status == SeatStatus::Broken && seat.broken_by == BreakCause::TimedOut) {
    return Received::Closed;
  }
  char buffer[MESSAGE_LIMIT + 1];
  bool timed_out = false;
  const size_t got = socket_recv(seat.socket, buffer, MESSAGE_LIMIT, &timed_out);
  if (got == 0) {
    if (timed_out) return Received::Nothing;
    note_close(seat, rules);
    return Received::Closed;
  }
  buffer[got] = '\0';
  *value = parse_int(buffer);
  checks_received(seat, rules, buffer, got, *value);
  // The first message of an exchange answers nothing the server sent.
  if (rules.timed_round_trips && seat.at.step != Step::RelayA && seat.at.step != Step::Greeting &&
      seat.sent_at != Clock::time_point{}) {
    seat.round_trips += Clock::now() - seat.sent_at;
    ++seat.round_trip_count;
  }
  return Received::Message;
}

std::chrono::nanoseconds seat_check_time(Seat& seat, const SeatRules& rules,
                                         Clock::time_point now) {
  const auto waiting = now - seat.time.since;
  const auto slice = std::chrono::duration_cast<std::chrono::nanoseconds>(rules.wait_slice);
  // A warning every stall_warning of one message's silence.
  const auto stall = std::chrono::duration_cast<std::chrono::nanoseconds>(rules.stall_warning);
  if (waiting / stall > seat.time.warned) {
    seat.time.warned = waiting / stall;
    warn_stall(seat, rules, waiting);
  }
  // The next time-out or note that falls due; a slice when none is nearer.
  std::chrono::nanoseconds soon = slice;
  const auto limit = limit_of(seat, rules);
  const bool timed = limit.count() > 0 && seat.status == SeatStatus::Playing;
  const auto left = limit - seat.time.used - waiting;
  const bool timed_out = timed && left <= std::chrono::nanoseconds{0};
  if (timed) soon = std::min(soon, std::chrono::duration_cast<std::chrono::nanoseconds>(left));
  // With --check-clients a silence of silence_note has its step named once.
  bool note_due = false;
  if (rules.check_clients && !seat.time.silence_noted && seat.join != JoinStage::Greeting) {
    const auto to_note = rules.silence_note - waiting;
    note_due = !timed_out && to_note <= std::chrono::nanoseconds{0};
    seat.time.silence_noted = note_due;
    if (!note_due) {
      soon = std::min(soon, std::chrono::duration_cast<std::chrono::nanoseconds>(to_note));
    }
  }
  // A blocking socket waits no longer than a time-out or a note due sooner
  // than a slice; the common case, a client that answers, costs no call.
  if (!timed_out && !seat.nonblocking && seat.socket != INVALID_SOCKET_HANDLE &&
      (soon < slice || seat.time.short_socket_timeout)) {
    seat.time.short_socket_timeout = soon < slice;
    set_socket_timeouts(
        seat,
        std::max(1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(soon).count())));
  }
  if (timed_out) {
    time_out(seat, rules);
    return std::chrono::nanoseconds{0};
  }
  if (note_due) note_silence(seat, rules);
  return std::min(soon, slice - waiting % slice);
}

MessageMeans seat_take_message(Seat& seat, const SeatRules& rules, int32_t* value) {
  const Step step = seat.at.step;
  const bool counted = step >= Step::RelayA;
  seat.last_value = *value;
  if (counted) ++seat.messages;
  const bool reply_to_relay_a = expects(step) == Expects::Ack;
  if (reply_to_relay_a && *value != ACK) {
    seat_break_protocol(seat, rules, *value);
    return rules.drop_broken ? MessageMeans::Drop : MessageMeans::ProtocolBreak;
  }
  // In the handshake a broken client is served on; the lobby or the end of
  // the handshake decides about it. One that replies ACK to relay_a is too.
  const bool drop = !reply_to_relay_a && counted && must_drop(seat, rules);
  if (in_report(step)) {
    if (*value == 0) *value = NO_VALUE;
    keep_report_value(seat.report, step, *value);
    if (drop) seat.report.ended_at = step;
  }
  if (drop) return MessageMeans::Drop;
  seat.at = next_step(seat.at, *value, rules.player_count);
  return MessageMeans::GoOn;
}

void seat_break_protocol(Seat& seat, const SeatRules& rules, int32_t arrived) {
  // A client that left or timed out has been logged for it: the reply that
  // then never comes is no second fault.
  if (seat.status != SeatStatus::Playing) return;
  if (rules.check_clients) {
    ++seat.checks.departures.count[static_cast<size_t>(Departure::ProtocolBreak)];
  }
  char note[OUT_OF_STEP_NOTE_SIZE];
  out_of_step_note(seat.checks, note);
  log_line(LogLevel::Error,
           "player %d (%s) broke the protocol in turn %" PRIu64
           " at step '%s': expected %d, got %d%s",
           static_cast<int>(seat.index), seat.who, rules.turn, step_name(seat),
           static_cast<int>(ACK), static_cast<int>(arrived), note);
  seat.status = SeatStatus::Broken;
  seat.broken_by = BreakCause::WrongReply;
}

void seat_drop(Seat& seat, const SeatRules& rules, int32_t left) {
  if (seat.status == SeatStatus::Dropped) return;
  seat.status = SeatStatus::Dropped;
  socket_close(seat.socket);
  seat.socket = INVALID_SOCKET_HANDLE;
  seat.out_sent = seat.out_length = 0;
  log_line(LogLevel::Warning, "player %d (%s) dropped in turn %" PRIu64 "; %d human client%s left",
           static_cast<int>(seat.index), seat.who, rules.turn, static_cast<int>(left),
           left == 1 ? "" : "s");
}

const char* break_cause_text(BreakCause cause) {
  switch (cause) {
    case BreakCause::Left:
      return "left";
    case BreakCause::NoConnection:
      return "has no connection";
    case BreakCause::TimedOut:
      return "timed out";
    default:
      return "broke the protocol";
  }
}
