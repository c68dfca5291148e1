// The line a match that goes on after a restart writes into its recording
// before its next turn:
//   {"restart": {"after_turn": T, "at": "YYYY-MM-DDTHH:MM:SSZ"}}
// T the last turn recorded before the restart, "at" the time it went on, in
// UTC. A line that starts with RESTART_LINE_START is no turn.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr char RESTART_LINE_START[] = "{\"restart\": ";

// The line that stands for turns a match played while its recording could
// not be written (a full disk, with --resume):
//   {"gap": {"after_turn": T, "turns": N}}
// the next turn line is turn T + N + 1. No turn either.
inline constexpr char GAP_LINE_START[] = "{\"gap\": ";

// The mark's turn and time when line is one, written as above; false
// otherwise (nothing of it is then taken).
inline bool parse_restart_mark(std::string_view line, uint64_t* after_turn, std::string* at) {
  static constexpr std::string_view head = "{\"restart\": {\"after_turn\": ";
  static constexpr std::string_view middle = ", \"at\": \"";
  static constexpr std::string_view tail = "\"}}";
  static constexpr std::string_view time_form = "dddd-dd-ddTdd:dd:ddZ";
  if (line.substr(0, head.size()) != head) return false;
  size_t i = head.size();
  uint64_t turn = 0;
  const size_t digits = i;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9' && i - digits < 19; ++i) {
    turn = turn * 10 + static_cast<uint64_t>(line[i] - '0');
  }
  if (i == digits || line.substr(i, middle.size()) != middle) return false;
  i += middle.size();
  const std::string_view time = line.substr(i, time_form.size());
  if (time.size() != time_form.size()) return false;
  for (size_t k = 0; k < time_form.size(); ++k) {
    const bool digit = time[k] >= '0' && time[k] <= '9';
    if (time_form[k] == 'd' ? !digit : time[k] != time_form[k]) return false;
  }
  if (line.substr(i + time.size()) != tail) return false;
  *after_turn = turn;
  at->assign(time);
  return true;
}
