// The operator's commands on a running match: one line of text in, the
// answer's lines out, the same on every channel (the console, the remote
// console). No I/O but the log line each command writes: the caller reads
// the line and sends the answer. Runs on the match thread only, which owns
// everything a command touches.
//
//   status                the turn, the pace, the settings, every player
//   kick N                ends human N's connection as a drop does
//   pause / resume        no new turn starts while paused
//   end                   ends the match as SIGTERM does (the stop flag)
//   allow                 who may join; allow add CIDR, allow remove CIDR
//   help
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "console/operator_command_table.h"
#include "server/lobby.h"
#include "server/seat.h"

struct Match;
struct Options;
struct Watch;

// What a command may act on, lent by the match thread for one command.
struct CommandScope {
  Seats& seats;
  Lobby& lobby;
  const SeatRules& rules;
  const Match& match;
  const Options& options;
  Watch* watch = nullptr;
  bool* paused = nullptr;
  uint64_t turns_played = 0;
  double turns_per_second = 0;
  // Per human: the round trip of its last whole exchange in nanoseconds, 0: none.
  const std::vector<int64_t>* round_trips = nullptr;
  // While the clients are awaited at the start: how many; -1 once the match runs.
  int32_t waiting_for = -1;
};

struct CommandDone {
  std::string answer;  // whole lines, each ending with '\n'
  // Its counter in /metrics: the command's row in OPERATOR_COMMANDS, or
  // OPERATOR_COMMAND_COUNT for a line that names none.
  size_t counter = OPERATOR_COMMAND_COUNT;
};

// Runs one command line from `origin` ("console", "rcon 127.0.0.1:50122"),
// which the log line of the command names. Leading and trailing blanks are
// ignored; an empty line does nothing and answers nothing.
CommandDone run_operator_command(CommandScope& scope, std::string_view line, const char* origin);

// The command nearest to a mistyped word, as help would name it; empty when
// none is near.
std::string nearest_command(std::string_view word);
