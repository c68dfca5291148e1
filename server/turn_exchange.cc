#include "server/turn_exchange.h"

#include <algorithm>

#include "net/protocol.h"
#include "server/client_link.h"
#include "server/rejoin.h"
#include "server/turn_rules.h"
#include "server/watch.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the server makes of a client's message at each step, for --check-clients.
Expect expect_at(Step step) {
  if (in_report(step)) return Expect::TurnValue;
  if (step == Step::ReplyToRelayA) return Expect::Value;
  return Expect::Reply;
}

// The value the server sends human q at one of its steps: ACK, or the
// relay value or table cell as q must be shown it.
int32_t value_for(const Server& server, int32_t q, Cursor at) {
  const Match& match = server.match;
  const int32_t players = player_count(match);
  int32_t cell;
  switch (at.step) {
    case Step::SendRelayA:
      cell = relay_a_cell(players);
      break;
    case Step::SendRelayB:
      cell = relay_b_cell(players);
      break;
    case Step::RowX:
      cell = table_cell(Column::PosX, at.row, players);
      break;
    case Step::RowY:
      cell = table_cell(Column::PosY, at.row, players);
      break;
    case Step::RowHealth:
      cell = table_cell(Column::Health, at.row, players);
      break;
    case Step::RowHeading:
      cell = table_cell(Column::Heading, at.row, players);
      break;
    default:
      return ACK;
  }
  const int32_t current = cell_value(match, cell);
  return server.ledger_in_use ? ledger_view(server.ledger, cell, q, current) : current;
}

bool in_table(Step step) {
  return step >= Step::RowX && step <= Step::RowHeading;
}

// One message to human q at a server step, counted for the view.
void tell(Server& server, int32_t q, Cursor at) {
  ++server.messages;
  ++server.client_state[static_cast<size_t>(q)].messages;
  send_to(server, q, server_step_name(at.step), value_for(server, q, at),
          in_table(at.step) ? at.row : -1);
}

enum class Took {
  Go,             // the conversation goes on
  Drop,           // the client broke and broken clients are dropped
  ProtocolBreak,  // the reply to relay_a was not ACK: the match ends
};

// What a message from human q at a client step means. A received 0 (or
// nothing) reads as NO_VALUE; the report keeps what came. A client dropped
// while it reports ends its report there.
Took take(Server& server, int32_t q, Step step, int32_t* value) {
  ++server.messages;
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  ++link.messages;
  if (step == Step::ReplyToRelayA) {
    if (*value == ACK) return Took::Go;
    note_protocol_break(server, q, "reply to relay_a", *value);
    return server.options.drop_broken_clients ? Took::Drop : Took::ProtocolBreak;
  }
  if (*value == 0) *value = NO_VALUE;
  const bool drop = must_drop(server, q);
  if (in_report(step)) {
    keep_report_value(link.report, step, *value);
    if (drop) link.report.ended_at = step;
  }
  return drop ? Took::Drop : Took::Go;
}

// Starts human q's exchange of the turn.
void begin_exchange(Server& server, int32_t q) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  link.at = EXCHANGE_START;
  link.report = Report{};
  start_client_budget(server, q);
  watch_exchange_begins(server, q);
}

// One at a time: the whole exchange with human q, every receive waiting.
TurnResult exchange_in_turn(Server& server, int32_t q) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  const int32_t players = player_count(server.match);
  begin_exchange(server, q);
  for (Cursor& at = link.at; at.step != Step::Done;) {
    if (speaker(at.step) == Speaker::Server) {
      tell(server, q, at);
      at = next_step(at, 0, players);
      continue;
    }
    int32_t value = receive_from(server, q, server_step_name(at.step), expect_at(at.step));
    const Took took = take(server, q, at.step, &value);
    if (in_report(at.step) && (at.step == Step::Heading || took == Took::Drop)) {
      apply_report(server, q, link.report, nullptr);
    }
    if (took == Took::ProtocolBreak) return TurnResult::ProtocolBreak;
    if (took == Took::Drop) {
      drop_client(server, q);
      return server.clients_left == 0 ? TurnResult::NoClientLeft : TurnResult::Played;
    }
    at = next_step(at, value, players);
  }
  watch_exchange_ends(server, q);
  return TurnResult::Played;
}

TurnResult serve_in_turn(Server& server) {
  for (int32_t q = 0; q < server.match.human_count; ++q) {
    serve_joiners(server);
    if (!in_play(server.client_state[static_cast<size_t>(q)])) continue;
    const TurnResult result = exchange_in_turn(server, q);
    if (result != TurnResult::Played) return result;
  }
  return TurnResult::Played;
}

// All at once: whether human q still has messages to send before `stop`.
bool waits_for(const Server& server, int32_t q, Step stop) {
  const ClientState& link = server.client_state[static_cast<size_t>(q)];
  return in_play(link) && link.at.step != stop && link.report.ended_at == Step::Done;
}

// Answers human q's message at once: the server's steps up to the next one
// where the client speaks, or up to `stop`.
void answer(Server& server, int32_t q, Step stop) {
  ClientState& link = server.client_state[static_cast<size_t>(q)];
  const int32_t players = player_count(server.match);
  while (speaker(link.at.step) == Speaker::Server && link.at.step != stop) {
    tell(server, q, link.at);
    link.at = next_step(link.at, 0, players);
  }
  link.waiting_since = Clock::now();
  link.warned_stalls = 0;
  if (link.at.step == Step::Done) watch_exchange_ends(server, q);
}

// Walks every human's conversation at once until each has reached `stop`
// (or broke). A protocol break ends the serving of the clients after the one
// that broke; those before it are served to `stop` all the same, as one at
// a time would have served them.
TurnResult serve_all_until(Server& server, Step stop) {
  const int32_t humans = server.match.human_count;
  const int32_t players = player_count(server.match);
  int32_t broke = humans;  // the first client that broke the protocol
  const auto slice = std::chrono::duration_cast<std::chrono::nanoseconds>(server.wait_slice);
  // Time-outs and stall warnings are looked at when one may be due, not at
  // every message.
  Clock::time_point next_check = Clock::now();
  for (;;) {
    size_t count = 0;
    bool any_at_once = false;
    const auto now = Clock::now();
    const bool check = now >= next_check;
    if (check) next_check = now + slice;
    for (int32_t q = 0; q < broke; ++q) {
      if (!waits_for(server, q, stop)) continue;
      const ClientState& link = server.client_state[static_cast<size_t>(q)];
      if (check) {
        next_check = std::min(
            next_check, now + check_waiting_client(server, q, server_step_name(link.at.step), now));
      }
      const SocketHandle socket = server.match.client_socket[static_cast<size_t>(q)];
      // A connection that never was gives its nothing at once.
      any_at_once = any_at_once || socket == INVALID_SOCKET_HANDLE;
      server.waits[count] = SocketWait{socket, socket == INVALID_SOCKET_HANDLE};
      server.waiting[count++] = q;
    }
    if (count == 0) break;
    // Clients that join meanwhile are served as their messages come too.
    const size_t with_joiners = add_joiner_waits(server, count);
    if (!any_at_once) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next_check - now).count();
      const int ready = socket_poll(server.waits.data(), with_joiners,
                                    static_cast<int>(std::max<int64_t>(ms, 0)));
      // Nothing for a while: each client is asked once all the same, so that
      // a readiness the poll failed to report cannot hold a turn for ever. A
      // receive with nothing there gives up at once.
      if (ready == 0) {
        for (size_t i = 0; i < count; ++i) server.waits[i].ready = true;
      }
    }
    for (size_t i = count; i < with_joiners; ++i) {
      if (server.waits[i].ready) {
        serve_joiners(server);
        break;
      }
    }
    if (check && with_joiners > count) serve_joiners(server);
    for (size_t i = 0; i < count; ++i) {
      if (!server.waits[i].ready) continue;
      const int32_t q = server.waiting[i];
      if (q >= broke) continue;
      ClientState& link = server.client_state[static_cast<size_t>(q)];
      const Step step = link.at.step;
      int32_t value = 0;
      if (!receive_ready(server, q, server_step_name(step), expect_at(step), &value)) continue;
      const Took took = take(server, q, step, &value);
      if (took == Took::ProtocolBreak) {
        broke = q;
        continue;
      }
      if (took == Took::Drop) {
        // Dropped while reporting: its report ends here, and it is dropped in
        // its place in the order, when the reports are applied.
        if (in_report(step)) continue;
        drop_client(server, q);
        if (server.clients_left == 0) return TurnResult::NoClientLeft;
        continue;
      }
      link.at = next_step(link.at, value, players);
      answer(server, q, stop);
    }
  }
  return broke < humans ? TurnResult::ProtocolBreak : TurnResult::Played;
}

TurnResult serve_at_once(Server& server) {
  const int32_t humans = server.match.human_count;
  const auto now = Clock::now();
  for (int32_t q = 0; q < humans; ++q) {
    ClientState& link = server.client_state[static_cast<size_t>(q)];
    if (!in_play(link)) continue;
    const SocketHandle socket = server.match.client_socket[static_cast<size_t>(q)];
    if (!link.nonblocking && socket != INVALID_SOCKET_HANDLE) {
      link.nonblocking = socket_set_blocking(socket, false);
    }
    begin_exchange(server, q);
    link.waiting_since = now;
    link.warned_stalls = 0;
  }
  // Every client's report, at its own pace.
  TurnResult result = serve_all_until(server, Step::SendRelayA);
  if (result != TurnResult::Played) return result;

  // The reports in player index order, each noted for what it shows.
  ledger_clear(server.ledger);
  server.ledger_in_use = true;
  for (int32_t q = 0; q < humans; ++q) {
    const ClientState& link = server.client_state[static_cast<size_t>(q)];
    if (!in_play(link)) continue;
    apply_report(server, q, link.report, &server.ledger);
    if (link.report.ended_at != Step::Done) {
      drop_client(server, q);
      if (server.clients_left == 0) {
        server.ledger_in_use = false;
        return TurnResult::NoClientLeft;
      }
    }
  }

  // Every client's relay values and table, at once.
  for (int32_t q = 0; q < humans; ++q) {
    if (!in_play(server.client_state[static_cast<size_t>(q)])) continue;
    answer(server, q, Step::Done);
  }
  result = serve_all_until(server, Step::Done);
  server.ledger_in_use = false;
  return result;
}

}  // namespace

void set_up_serving_at_once(Server& server) {
  ledger_set_up(server.ledger, server.match);
  // Every client, and with --rejoin the listener and every joining client.
  server.waits.assign(2 * static_cast<size_t>(server.match.human_count) + 1, SocketWait{});
  server.waiting.assign(static_cast<size_t>(server.match.human_count), 0);
}

TurnResult serve_turn(Server& server) {
  seat_joined(server);
  const TurnResult result =
      server.options.concurrent ? serve_at_once(server) : serve_in_turn(server);
  serve_joiners(server);
  return result;
}
