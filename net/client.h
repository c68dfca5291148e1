// The client's side of the protocol, for the reference client, the tests and
// the benchmark: one copy of what a client sends and expects, step by step.
//
// A client joins (greeting, player count, echo), waits for every other human
// to join, learns its player index and the map, and then plays turns. All
// calls block and alternate strictly with the server.
//
// Once a receive finds the connection closed (no byte, the server has gone or
// the connection failed), the link is marked closed and every later call on it
// does nothing: the caller looks at `closed` after a call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/socket.h"

// Called for every message, with its direction and the step it belongs to.
using TraceFunction = std::function<void(bool outgoing, const char* step, int32_t value)>;

// Called when a receive gives up after the socket's receive timeout, with the
// step waited for; true to wait again, false to treat the link as closed.
using SilenceFunction = std::function<bool(const char* step)>;

struct ClientLink {
  SocketHandle socket = INVALID_SOCKET_HANDLE;
  TraceFunction trace;  // optional
  // optional: without it (or without a receive timeout) a receive that gets
  // no byte closes the link
  SilenceFunction on_silence;
  uint64_t sent = 0;
  uint64_t received = 0;
  bool closed = false;              // a receive found the connection closed
  bool reset_at_connect = false;    // the server closed it before the connect returned
  const char* closed_at = nullptr;  // the step of that receive
  char buffer[65] = {};
};

// What a client reports in one turn. damage NO_VALUE (or 0, which the server
// reads as NO_VALUE) means no hit, and then target is not sent.
struct TurnReport {
  int32_t relay_a = -1;
  int32_t relay_b = -1;
  int32_t x = 0;
  int32_t y = 0;
  int32_t damage = -1;
  int32_t target = 0;
  int32_t heading = 0;
  int32_t relay_a_reply = 147;  // anything but ACK breaks the protocol
};

struct PlayerRow {
  int32_t x = 0, y = 0, health = 0, heading = 0;
};

// What the server sends back in one turn.
struct TurnView {
  int32_t relay_a = 0;
  int32_t relay_b = 0;
  std::vector<PlayerRow> players;  // resized once to the player count
};

// Connects link to host:port, from the local address source when one is
// given (null or empty: the system picks it). Returns false and fills *err on
// failure.
bool client_connect(ClientLink& link, const char* host, uint16_t port, std::string* err,
                    const char* source = nullptr);

// Greeting and echo. Returns the player count the server sent.
int32_t client_join(ClientLink& link);

// Player index and map, once every human has joined.
void client_learn(ClientLink& link, int32_t* player_index, int32_t* map_number);

// Messages in one exchange, each way: 4 x player_count + 7, one more with a hit.
int64_t exchange_messages(int32_t player_count, bool hit);

// One turn exchange with a player count of player_count. Returns false when
// the link is closed or the report broke the protocol (relay_a_reply not ACK):
// then view is incomplete.
// REQUIRES: 0 <= player_count; view.players is resized to it.
bool client_turn(ClientLink& link, const TurnReport& report, int32_t player_count, TurnView& view);
