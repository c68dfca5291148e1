// zolt-client's command line: zolt-client [options], one table of options in
// options.cc (console/command_line.h), and its exit codes.
#pragma once

#include <cstdint>
#include <string>

#include "net/protocol.h"

inline constexpr int EXIT_PLAYED = 0;
inline constexpr int EXIT_BAD_ARGUMENTS = 2;  // also: more clients than the match has humans
inline constexpr int EXIT_UNREACHABLE = 3;    // a client could not connect
inline constexpr int EXIT_SERVER_FAILED = 4;  // the server closed a connection or sent nonsense

inline constexpr int32_t MAX_CLIENTS = 1000;  // each client holds one socket of this process
inline constexpr int32_t MAX_TURNS = 1000000000;
// The default walk: one unit a turn toward +y, facing +y.
inline constexpr int32_t WALK_HEADING = 2700;
// A heading of 0 (facing +x) goes out as this, the same direction: the
// server reads a 0 in a turn as "no value".
inline constexpr int32_t FULL_TURN = 3600;

struct ClientOptions {
  std::string host = "127.0.0.1";
  uint16_t port = SERVER_PORT;
  int32_t clients = 1;
  int32_t turns = 10;
  bool has_x = false, has_y = false;  // --x, --y given; otherwise each client walks
  int32_t x = 0, y = 0;
  int32_t heading = WALK_HEADING;
  int32_t relay_a = NO_VALUE, relay_b = NO_VALUE;
  int32_t damage = NO_VALUE, target = 0;
  bool trace = false;
  // --one-at-a-time: every client's turns from one thread, one client after
  // the other; otherwise each client plays on a thread of its own
  bool one_at_a_time = false;
  bool at_once = false;  // --at-once: the default, kept for the scripts that give it
  std::string source;    // --source: the local address to connect from
  int32_t pace_ms = 0;   // --pace: each client waits this long before each turn's report
  // --reconnect: a client whose connection closes connects again, from the
  // same address, for up to reconnect_seconds (--reconnect-for)
  bool reconnect = false;
  int32_t reconnect_seconds = 60;
  // --find: list the servers that answer the query (client/find.h) instead of playing
  bool find = false;
  std::string ask;  // --ask ADDR[:PORT][,...]: with --find, servers to ask besides the broadcast
};

inline constexpr int32_t MAX_PACE_MS = 60000;
inline constexpr int32_t MAX_RECONNECT_SECONDS = 86400;

// Returns -1 when the client should play with `options`, otherwise the exit
// code to end with at once: EXIT_PLAYED after --help or --version (printed on
// standard output), EXIT_BAD_ARGUMENTS after a usage error (one line on
// standard error naming the problem).
int parse_client_options(int argc, char** argv, ClientOptions& options) noexcept;
