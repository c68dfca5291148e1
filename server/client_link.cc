#include "server/client_link.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "console/log.h"
#include "net/decimal.h"
#include "net/message.h"
#include "net/protocol.h"

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
};

// A client that makes the same departure in every message (a line end after
// each number) would bury the log: each kind is told this many times per
// client, once more with the word that the rest are only counted, and then
// counted only.
constexpr uint32_t DEPARTURES_TOLD = 3;

// A departure: counted, and a warning naming player, turn and step.
void warn(Server& server, int32_t q, const char* step, Departure kind, const char* what) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  const uint32_t seen =
      link.departures.count[static_cast<size_t>(kind)].fetch_add(1, std::memory_order_relaxed) + 1;
  if (seen > DEPARTURES_TOLD + 1) return;
  log_line(LogLevel::Warning, "player %d (%s) in turn %" PRIu64 " at step '%s': %s%s",
           static_cast<int>(q), link.peer, current_turn(server), step, what,
           seen > DEPARTURES_TOLD
               ? "; from now on this kind is only counted, in the summary at the end"
               : "");
}

// The trace line of a received message and, with --check-clients, how it
// departs from the protocol.
void inspect_received(Server& server, int32_t q, const char* step, Expect expect, const char* bytes,
                      size_t length, int32_t value) {
  const Options& options = server.options;
  // Bytes behind the message show that the client did not wait for the
  // answer. Only the check looks: it costs a system call.
  const size_t waiting = options.check_clients
                             ? socket_pending(server.match.client_socket[static_cast<size_t>(q)])
                             : 0;
  const MessageForm form = message_form(bytes, length, waiting);
  char shown[4 * MESSAGE_LIMIT + 3] = "";
  if (form != MessageForm::Plain) escape_bytes(bytes, length, true, shown);
  if (options.trace) {
    log_line(LogLevel::Info, "trace player %d turn %" PRIu64 " C->S '%s' %d%s%s",
             static_cast<int>(q), current_turn(server), step, static_cast<int>(value),
             form == MessageForm::Plain ? "" : " bytes ", shown);
  }
  if (!options.check_clients) return;
  char what[4 * MESSAGE_LIMIT + 160];
  const int read_as = static_cast<int>(value);
  switch (form) {
    case MessageForm::Plain:
      break;
    case MessageForm::NotOneInteger:
      std::snprintf(what, sizeof what, "%s is not exactly one integer; read as %d", shown, read_as);
      warn(server, q, step, Departure::NotOneInteger, what);
      break;
    case MessageForm::OutOfRange:
      std::snprintf(what, sizeof what, "%s is outside the 32-bit range; read as %d", shown,
                    read_as);
      warn(server, q, step, Departure::OutOfRange, what);
      break;
    case MessageForm::TwoInOneReceive:
      if (waiting > 0) {
        std::snprintf(what, sizeof what,
                      "%s had %zu more bytes waiting behind it: the client sent again "
                      "without waiting for the answer; read as %d",
                      shown, waiting, read_as);
      } else {
        std::snprintf(what, sizeof what, "%s holds two messages in one receive; read as %d", shown,
                      read_as);
      }
      warn(server, q, step, Departure::TwoInOneReceive, what);
      break;
  }
  const int32_t players = player_count(server.match);
  if (expect == Expect::TurnValue && value == 0) {
    warn(server, q, step, Departure::ZeroAsNoValue,
         "reads as 0, which the server takes as no value (-1)");
  } else if (expect == Expect::Reply && value != ACK) {
    std::snprintf(what, sizeof what, "replied %d, not 147; the server drops it", read_as);
    warn(server, q, step, Departure::ReplyNotAck, what);
  } else if (expect == Expect::Greeting && value != ACK) {
    std::snprintf(what, sizeof what, "greeted with %d, not 147", read_as);
    warn(server, q, step, Departure::BadGreeting, what);
  } else if (expect == Expect::Echo && value != players) {
    std::snprintf(what, sizeof what, "echoed %d, not the player count %d", read_as,
                  static_cast<int>(players));
    warn(server, q, step, Departure::BadEcho, what);
  }
}

// Appends text to out[*length..size), cut at the end: plain stores only.
void put(char* out, size_t size, size_t* length, const char* text) {
  while (*text != '\0' && *length < size) out[(*length)++] = *text++;
}

void put_number(char* out, size_t size, size_t* length, uint64_t value) {
  char digits[24];
  digits[write_decimal(value, digits)] = '\0';
  put(out, size, length, digits);
}

// Human q's summary line, without time and level, built with plain stores so
// that the stop handler may use it. Sets *any when q departed at all.
size_t summary_line(const Server& server, int32_t q, char* out, size_t size, bool* any) {
  const ClientState& link = server.client_state[static_cast<size_t>(q)];
  size_t length = 0;
  put(out, size, &length, "player ");
  put_number(out, size, &length, static_cast<uint64_t>(q));
  put(out, size, &length, " (");
  put(out, size, &length, link.peer);
  put(out, size, &length, ") departures from the protocol: ");
  // Only the kinds that happened.
  *any = false;
  for (size_t kind = 0; kind < DEPARTURE_KINDS; ++kind) {
    const uint32_t n = link.departures.count[kind].load(std::memory_order_relaxed);
    if (n == 0) continue;
    if (*any) put(out, size, &length, ", ");
    *any = true;
    put_number(out, size, &length, n);
    put(out, size, &length, " ");
    put(out, size, &length, DEPARTURE_NAMES[kind]);
  }
  if (!*any) put(out, size, &length, "none");
  return length;
}

constexpr size_t SUMMARY_SIZE = 512;

using Clock = std::chrono::steady_clock;

// Marks human q broken for `cause`, once, with a log line: "player 0 (peer)
// <what> in turn N at step 'S'<after>".
void mark_broken(Server& server, int32_t q, BreakCause cause, LogLevel level, const char* step,
                 const char* what, const char* after = "") {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  if (link.status != ClientStatus::Playing) return;
  link.status = ClientStatus::Broken;
  link.broken_by = cause;
  log_line(level, "player %d (%s) %s in turn %" PRIu64 " at step '%s'%s", static_cast<int>(q),
           link.peer, what, current_turn(server), step, after);
}

// Human q's connection closed (or failed, or never was) at step. Between two
// exchanges is how a client leaves a match: no fault of its own.
void note_close(Server& server, int32_t q, const char* step) {
  if (server.match.client_socket[static_cast<size_t>(q)] == INVALID_SOCKET_HANDLE) {
    mark_broken(server, q, BreakCause::NoConnection, LogLevel::Warning, step, "has no connection");
    return;
  }
  const bool between_exchanges =
      current_turn(server) > 0 && std::strcmp(step, server_step_name(Step::RelayA)) == 0;
  mark_broken(server, q, BreakCause::Left, between_exchanges ? LogLevel::Info : LogLevel::Warning,
              step, "left",
              between_exchanges ? ": its connection closed before its exchange"
                                : ": its connection closed in the middle of the conversation");
}

}  // namespace

void watch_client(Server& server, int32_t q) {
  const SocketHandle socket = server.match.client_socket[static_cast<size_t>(q)];
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  char address[DOTTED_SIZE];
  uint16_t port = 0;
  socket_peer_address(socket, address, &port);
  std::snprintf(link.peer, sizeof link.peer, "%s:%u", address, static_cast<unsigned>(port));
  server.inspect_messages = server.options.trace || server.options.check_clients;
  // A player that rejoins has been watched already.
  if (server.clients_watched.load(std::memory_order_relaxed) < q + 1) {
    server.clients_watched.store(q + 1, std::memory_order_release);
  }
  // A client that speaks within the slice costs nothing more.
  if (socket != INVALID_SOCKET_HANDLE) {
    socket_set_receive_timeout(socket, static_cast<int>(server.wait_slice.count()));
  }
}

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

namespace {

// One receive from human q: true with *value when a message came, or when
// the connection closed or failed (the client is then broken and *value 0);
// false when nothing came before the socket's receive timeout, or at once on
// a socket that does not block.
bool take_message(Server& server, int32_t q, const char* step, Expect expect, int32_t* value) {
  const SocketHandle socket = server.match.client_socket[static_cast<size_t>(q)];
  char buffer[MESSAGE_LIMIT + 1];
  bool timed_out = false;
  const size_t got = socket_recv(socket, buffer, MESSAGE_LIMIT, &timed_out);
  if (got > 0) {
    buffer[got] = '\0';
    *value = parse_int(buffer);
    if (server.inspect_messages) inspect_received(server, q, step, expect, buffer, got, *value);
    return true;
  }
  if (timed_out) return false;
  note_close(server, q, step);
  *value = 0;
  return true;
}

std::chrono::nanoseconds client_budget(const Server& server) {
  return std::chrono::seconds(server.options.client_timeout);
}

// The client used up its time in this turn: broken, and every later receive
// from it gives 0 at once, as from a closed connection.
void time_out(Server& server, int32_t q, const char* step, bool in_one_silence) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  char what[96];
  std::snprintf(what, sizeof what, "%s for %d s (the client timeout)",
                in_one_silence ? "stayed silent" : "kept everyone waiting in this turn",
                static_cast<int>(server.options.client_timeout));
  link.waited = client_budget(server);
  mark_broken(server, q, BreakCause::TimedOut, LogLevel::Warning, step, what);
  socket_shutdown(server.match.client_socket[static_cast<size_t>(q)]);
}

// With --check-clients: human q has been silent at step for
// server.silence_note. A client that waits for something the server will not
// send (a line end, a reply it thinks is due) sits here; the server's last
// message tells its author which.
void note_silence(const Server& server, int32_t q, const char* step) {
  const ClientState& link = server.client_state[static_cast<size_t>(q)];
  char sent[96] = "; it has sent it nothing yet";
  if (link.last_sent_step != nullptr && link.last_sent_row >= 0) {
    std::snprintf(sent, sizeof sent, ", having sent it '%s of player %d' %d", link.last_sent_step,
                  static_cast<int>(link.last_sent_row), static_cast<int>(link.last_sent_value));
  } else if (link.last_sent_step != nullptr) {
    std::snprintf(sent, sizeof sent, ", having sent it '%s' %d", link.last_sent_step,
                  static_cast<int>(link.last_sent_value));
  }
  log_line(LogLevel::Warning,
           "player %d (%s) has sent nothing for %g s, in turn %" PRIu64
           ": the server waits for its '%s'%s",
           static_cast<int>(q), link.peer,
           std::chrono::duration<double>(server.silence_note).count(), current_turn(server), step,
           sent);
}

void warn_stall(const Server& server, int32_t q, const char* step,
                std::chrono::nanoseconds waited) {
  log_line(LogLevel::Warning,
           "player %d (%s) has kept everyone waiting for %g s, in turn %" PRIu64 " at step '%s'",
           static_cast<int>(q), server.client_state[static_cast<size_t>(q)].peer,
           std::chrono::duration<double>(waited).count(), current_turn(server), step);
}

}  // namespace

void start_client_budget(Server& server, int32_t q) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  link.waited = std::chrono::nanoseconds{0};
  if (link.short_receive_timeout) {
    link.short_receive_timeout = false;
    socket_set_receive_timeout(server.match.client_socket[static_cast<size_t>(q)],
                               static_cast<int>(server.wait_slice.count()));
  }
}

int32_t receive_from(Server& server, int32_t q, const char* step, Expect expect) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  const SocketHandle socket = server.match.client_socket[static_cast<size_t>(q)];
  const bool timed = server.options.client_timeout > 0 && link.status == ClientStatus::Playing;
  const auto budget = client_budget(server);
  const auto start = timed ? Clock::now() : Clock::time_point{};
  std::chrono::milliseconds waited{0};
  for (;;) {
    if (timed) {
      const auto left = budget - link.waited - (Clock::now() - start);
      if (left <= std::chrono::nanoseconds{0}) {
        time_out(server, q, step, link.waited.count() == 0);
        return 0;
      }
      // The last slice of the client's time: wait no longer than what is left.
      if (left < server.wait_slice && !link.short_receive_timeout) {
        link.short_receive_timeout = true;
        socket_set_receive_timeout(
            socket, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
      }
    }
    int32_t value = 0;
    if (take_message(server, q, step, expect, &value)) {
      if (timed) link.waited += Clock::now() - start;
      return value;
    }
    if (timed && budget - link.waited - (Clock::now() - start) <= std::chrono::nanoseconds{0}) {
      time_out(server, q, step, link.waited.count() == 0);
      return 0;
    }
    waited += server.wait_slice;
    if (server.options.check_clients && waited >= server.silence_note &&
        waited - server.wait_slice < server.silence_note) {
      note_silence(server, q, step);
    }
    if (waited % server.stall_warning < server.wait_slice) warn_stall(server, q, step, waited);
  }
}

bool receive_ready(Server& server, int32_t q, const char* step, Expect expect, int32_t* value) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  if (!take_message(server, q, step, expect, value)) return false;
  if (server.options.client_timeout > 0) link.waited += Clock::now() - link.waiting_since;
  return true;
}

std::chrono::nanoseconds check_waiting_client(Server& server, int32_t q, const char* step,
                                              Clock::time_point now) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  const auto waiting = now - link.waiting_since;
  const auto slice = std::chrono::duration_cast<std::chrono::nanoseconds>(server.wait_slice);
  std::chrono::nanoseconds next = slice - waiting % slice;
  if (server.options.client_timeout > 0 && link.status == ClientStatus::Playing) {
    const auto left = client_budget(server) - link.waited - waiting;
    if (left <= std::chrono::nanoseconds{0}) {
      time_out(server, q, step, link.waited.count() == 0);
      return std::chrono::nanoseconds{0};
    }
    if (left < next) next = left;
  }
  if (server.options.check_clients && link.silence_noted != link.waiting_since) {
    const auto to_note = server.silence_note - waiting;
    if (to_note <= std::chrono::nanoseconds{0}) {
      link.silence_noted = link.waiting_since;
      note_silence(server, q, step);
    } else if (to_note < next) {
      next = std::chrono::duration_cast<std::chrono::nanoseconds>(to_note);
    }
  }
  // A warning every stall_warning of one message's silence, as served one
  // at a time.
  const auto stall = std::chrono::duration_cast<std::chrono::nanoseconds>(server.stall_warning);
  if (waiting / stall > link.warned_stalls) {
    link.warned_stalls = waiting / stall;
    warn_stall(server, q, step, std::chrono::duration_cast<std::chrono::milliseconds>(waiting));
  }
  return next;
}

void note_protocol_break(Server& server, int32_t q, const char* step, int32_t arrived) {
  if (!server.options.drop_broken_clients && (server.ended_by < 0 || q < server.ended_by)) {
    server.ended_by = q;
  }
  // A client that left or timed out has been logged for it: the reply that
  // then never comes is no second fault.
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  if (link.status != ClientStatus::Playing) return;
  log_line(LogLevel::Error,
           "player %d (%s) broke the protocol in turn %" PRIu64
           " at step '%s': expected %d, got %d",
           static_cast<int>(q), link.peer, current_turn(server), step, static_cast<int>(ACK),
           static_cast<int>(arrived));
  link.status = ClientStatus::Broken;
  link.broken_by = BreakCause::WrongReply;
}

std::string match_break_reason(const Server& server) {
  if (server.ended_by < 0) return "a client broke the protocol";
  const ClientState& link = server.client_state[static_cast<size_t>(server.ended_by)];
  const std::string player = "player " + std::to_string(server.ended_by);
  switch (link.broken_by) {
    case BreakCause::Left:
      return player + " left";
    case BreakCause::NoConnection:
      return player + " has no connection";
    case BreakCause::TimedOut:
      return player + " timed out";
    default:
      return player + " broke the protocol";
  }
}

bool must_drop(const Server& server, int32_t q) {
  return server.options.drop_broken_clients &&
         server.client_state[static_cast<size_t>(q)].status != ClientStatus::Playing;
}

void drop_client(Server& server, int32_t q) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  if (link.status == ClientStatus::Dropped) return;
  link.status = ClientStatus::Dropped;
  watch_seat(server, q, Seat::Dropped);
  SocketHandle& socket = server.match.client_socket[static_cast<size_t>(q)];
  socket_close(socket);
  socket = INVALID_SOCKET_HANDLE;
  --server.clients_left;
  log_line(LogLevel::Warning, "player %d (%s) dropped in turn %" PRIu64 "; %d human client%s left",
           static_cast<int>(q), link.peer, current_turn(server),
           static_cast<int>(server.clients_left), server.clients_left == 1 ? "" : "s");
}

void send_to(Server& server, int32_t q, const char* step, int32_t value, int32_t row) {
  send_int(server.match.client_socket[static_cast<size_t>(q)], value);
  if (!server.inspect_messages) return;
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  link.last_sent_step = step;
  link.last_sent_value = value;
  link.last_sent_row = row;
  if (!server.options.trace) return;
  if (row < 0) {
    log_line(LogLevel::Info, "trace player %d turn %" PRIu64 " S->C '%s' %d", static_cast<int>(q),
             current_turn(server), step, static_cast<int>(value));
  } else {
    log_line(LogLevel::Info, "trace player %d turn %" PRIu64 " S->C '%s of player %d' %d",
             static_cast<int>(q), current_turn(server), step, static_cast<int>(row),
             static_cast<int>(value));
  }
}

void log_departure_summary(const Server& server) {
  if (!server.options.check_clients) return;
  const int32_t watched = server.clients_watched.load(std::memory_order_acquire);
  char line[SUMMARY_SIZE];
  for (int32_t q = 0; q < watched; ++q) {
    bool any = false;
    const size_t length = summary_line(server, q, line, sizeof line - 1, &any);
    line[length] = '\0';
    log_line(any ? LogLevel::Warning : LogLevel::Info, "%s", line);
  }
}

void write_departure_summary_now(const Server& server) {
  if (!server.options.check_clients) return;
  const int32_t watched = server.clients_watched.load(std::memory_order_acquire);
  char summary[SUMMARY_SIZE];
  char line[SUMMARY_SIZE + TIMESTAMP_SIZE + 8];
  for (int32_t q = 0; q < watched; ++q) {
    bool any = false;
    const size_t summary_length = summary_line(server, q, summary, sizeof summary - 1, &any);
    summary[summary_length] = '\0';
    const LogLevel level = any ? LogLevel::Warning : LogLevel::Info;
    if (!log_enabled(level)) continue;
    format_timestamp(std::time(nullptr), line);
    size_t length = TIMESTAMP_SIZE - 1;
    put(line, sizeof line, &length, any ? " WARN " : " INFO ");
    put(line, sizeof line, &length, summary);
    log_line_now(line, length);
  }
}
