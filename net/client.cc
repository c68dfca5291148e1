#include "net/client.h"

#include "net/conversation.h"
#include "net/message.h"
#include "net/protocol.h"

namespace {

// Sends value as one message (recorded and traced). Nothing once closed.
void client_send(ClientLink& link, const char* step, int32_t value) {
  if (link.closed) return;
  if (link.trace) link.trace(true, step, value);
  send_int(link.socket, value);
  ++link.sent;
}

// Receives one message, keeping 0 as 0 (recorded and traced). A receive that
// gets no byte marks the link closed and gives 0; once closed, gives 0 at once.
int32_t client_recv(ClientLink& link, const char* step) {
  if (link.closed) return 0;
  // recv_number's steps, done here so that an empty receive (the server has
  // gone) can be told apart from a message "0".
  bool timed_out = false;
  size_t got = socket_recv(link.socket, link.buffer, MESSAGE_LIMIT, &timed_out);
  while (got == 0 && timed_out && link.on_silence && link.on_silence(step)) {
    timed_out = false;
    got = socket_recv(link.socket, link.buffer, MESSAGE_LIMIT, &timed_out);
  }
  link.buffer[got] = '\0';
  if (got == 0) {
    link.closed = true;
    link.closed_at = step;
    return 0;
  }
  const int32_t value = parse_int(link.buffer);
  ++link.received;
  if (link.trace) link.trace(false, step, value);
  return value;
}

// The value the client sends at one of its steps.
int32_t client_value(Step step, const TurnReport& report, int32_t players) {
  switch (step) {
    case Step::Greeting:
      return ACK;
    case Step::Echo:
      return players;
    case Step::RelayA:
      return report.relay_a;
    case Step::RelayB:
      return report.relay_b;
    case Step::X:
      return report.x;
    case Step::Y:
      return report.y;
    case Step::Damage:
      return report.damage;
    case Step::Target:
      return report.target;
    case Step::Heading:
      return report.heading;
    case Step::ReplyToRelayA:
      return report.relay_a_reply;
    default:
      return ACK;  // every other reply
  }
}

// Walks the conversation from `at` until `until` (or the link closes),
// sending the client's values and keeping what the server sends in view,
// players and *received (the last value). Stops early after a reply to
// relay_a other than ACK: the server ends the match there.
Cursor client_walk(ClientLink& link, Cursor at, Step until, const TurnReport& report,
                   int32_t* players, TurnView* view, int32_t* received) {
  while (at.step != until && !link.closed) {
    int32_t value = 0;
    if (speaker(at.step) == Speaker::Client) {
      value = client_value(at.step, report, *players);
      client_send(link, client_step_name(at.step), value);
      if (at.step == Step::ReplyToRelayA && value != ACK) break;
    } else if (speaker(at.step) == Speaker::Server) {
      value = client_recv(link, client_step_name(at.step));
      *received = value;
      if (at.step == Step::PlayerCount) *players = value;
      if (view != nullptr) {
        PlayerRow* row = at.row < static_cast<int32_t>(view->players.size())
                             ? &view->players[static_cast<size_t>(at.row)]
                             : nullptr;
        if (at.step == Step::SendRelayA) view->relay_a = value;
        if (at.step == Step::SendRelayB) view->relay_b = value;
        if (row != nullptr && at.step == Step::RowX) row->x = value;
        if (row != nullptr && at.step == Step::RowY) row->y = value;
        if (row != nullptr && at.step == Step::RowHealth) row->health = value;
        if (row != nullptr && at.step == Step::RowHeading) row->heading = value;
      }
    } else {
      break;
    }
    at = next_step(at, value, *players);
  }
  return at;
}

}  // namespace

bool client_connect(ClientLink& link, const char* host, uint16_t port, std::string* err,
                    const char* source) {
  link.socket = socket_connect(host, port, err, source, &link.reset_at_connect);
  return link.socket != INVALID_SOCKET_HANDLE;
}

int32_t client_join(ClientLink& link) {
  int32_t players = 0;
  int32_t received = 0;
  client_walk(link, HANDSHAKE_START, Step::Joined, TurnReport{}, &players, nullptr, &received);
  return players;
}

void client_learn(ClientLink& link, int32_t* player_index, int32_t* map_number) {
  int32_t players = 0;
  client_walk(link, {Step::PlayerIndex, 0}, Step::ReplyToIndex, TurnReport{}, &players, nullptr,
              player_index);
  client_walk(link, {Step::ReplyToIndex, 0}, Step::Numbered, TurnReport{}, &players, nullptr,
              map_number);
}

int64_t exchange_messages(int32_t player_count, bool hit) {
  return 4 * int64_t{player_count} + (hit ? 8 : 7);
}

bool client_turn(ClientLink& link, const TurnReport& report, int32_t player_count, TurnView& view) {
  view.players.resize(static_cast<size_t>(player_count > 0 ? player_count : 0));
  int32_t players = player_count;
  int32_t received = 0;
  const Cursor end =
      client_walk(link, EXCHANGE_START, Step::Done, report, &players, &view, &received);
  return end.step == Step::Done && !link.closed;
}
