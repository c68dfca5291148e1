// The operator's commands, one table: the parser, the help and the counters
// of /metrics all read it, so that a command added here is parsed, listed
// and counted under its own name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

enum class OperatorCommand : uint8_t { Status, Kick, Pause, Resume, End, Allow, Help };

struct OperatorCommandInfo {
  OperatorCommand command;
  const char* name;
  bool takes_arguments;      // "end now" is refused, not run as "end"
  bool needs_running_match;  // refused while the clients are awaited at the start
  // Help's line: what to type, and what it does; null: it shares the line
  // before (pause, resume).
  const char* usage;
  const char* help;
};

// In the order help lists them.
inline constexpr OperatorCommandInfo OPERATOR_COMMANDS[] = {
    {OperatorCommand::Status, "status", false, false, "status",
     "the turn, the pace, the settings and every player"},
    {OperatorCommand::Kick, "kick", true, true, "kick N",
     "end human N's connection (its slot freed with --rejoin)"},
    {OperatorCommand::Pause, "pause", false, true, "pause, resume", "hold the turns, and go on"},
    {OperatorCommand::Resume, "resume", false, true, nullptr, nullptr},
    {OperatorCommand::End, "end", false, false, "end", "end the match as SIGTERM does"},
    {OperatorCommand::Allow, "allow", true, false, "allow",
     "who may join; allow add CIDR, allow remove CIDR"},
    {OperatorCommand::Help, "help", false, false, "help", "this list"},
};
inline constexpr size_t OPERATOR_COMMAND_COUNT = std::size(OPERATOR_COMMANDS);

constexpr bool table_in_enum_order() {
  for (size_t k = 0; k < OPERATOR_COMMAND_COUNT; ++k) {
    if (static_cast<size_t>(OPERATOR_COMMANDS[k].command) != k) return false;
  }
  return true;
}
static_assert(table_in_enum_order(), "each command's row stands at its enum's value");

// The counters of /metrics: one per command, and the last for lines that
// name none.
inline constexpr size_t OPERATOR_COMMAND_COUNTERS = OPERATOR_COMMAND_COUNT + 1;

constexpr const char* operator_command_label(size_t counter) {
  return counter < OPERATOR_COMMAND_COUNT ? OPERATOR_COMMANDS[counter].name : "unknown";
}
