#include "server/operator_commands.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "console/log.h"
#include "match/match.h"
#include "net/address.h"
#include "server/options.h"
#include "server/player_names.h"
#include "server/walker.h"
#include "server/watch.h"

namespace {

void add(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void add(std::string& out, const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length > 0) out.append(line, std::min(static_cast<size_t>(length), sizeof line - 1));
}

std::vector<std::string_view> words_of(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string networks_text(const std::vector<Ipv4Network>& networks) {
  if (networks.empty()) return "everyone";
  std::string text;
  for (const Ipv4Network& network : networks) {
    int prefix = 0;
    for (uint32_t bit = 0x80000000u; bit != 0 && (network.mask & bit) != 0; bit >>= 1) ++prefix;
    char one[32];
    std::snprintf(one, sizeof one, "%s%u.%u.%u.%u/%d", text.empty() ? "" : ",",
                  network.address >> 24, network.address >> 16 & 0xff, network.address >> 8 & 0xff,
                  network.address & 0xff, prefix);
    text += one;
  }
  return text;
}

const char* seat_state(const Seat& seat) {
  if (seat.join != JoinStage::InMatch) return "joining";
  return seat.status == SeatStatus::Dropped ? "dropped" : "playing";
}

// " name NAME" at the end of a player's status line, the rest of the line
// (a name may hold blanks); empty when the options name nobody there.
std::string name_part(const Options& options, int32_t index, const std::string& peer) {
  const std::string name = player_name(options, index, peer);
  return name.empty() ? std::string() : " name " + name;
}

// The status while the clients are awaited: who has joined, from where.
std::string status_waiting(const CommandScope& scope, std::string settings) {
  int joined = 0;
  std::string seats;
  for (const Seat& seat : scope.seats.seat) {
    if (seat.socket == INVALID_SOCKET_HANDLE) continue;
    ++joined;
    add(seats, "human %d %s joined%s\n", static_cast<int>(seat.index), seat.peer,
        name_part(scope.options, seat.index, seat.peer).c_str());
  }
  std::string out;
  add(out, "waiting for players: %d of %d joined\n", joined, static_cast<int>(scope.waiting_for));
  return out + settings + seats;
}

std::string status(const CommandScope& scope) {
  const Match& match = scope.match;
  const Options& options = scope.options;
  std::string out;
  if (scope.waiting_for < 0) {
    add(out, "%" PRIu64 " turns played, %.1f turns/s%s\n", scope.turns_played,
        scope.turns_per_second, scope.paused != nullptr && *scope.paused ? ", paused" : "");
  }
  add(out,
      "settings: %d human%s, %d bot%s, map %d, port %u, %s, client timeout %d s, rejoin %s, "
      "allow %s\n",
      static_cast<int>(match.human_count), match.human_count == 1 ? "" : "s",
      static_cast<int>(match.bot_count), match.bot_count == 1 ? "" : "s",
      static_cast<int>(match.map_number), static_cast<unsigned>(options.port),
      options.concurrent ? "served at once" : "served one after another",
      static_cast<int>(options.client_timeout), options.rejoin ? "on" : "off",
      networks_text(scope.lobby.allow).c_str());
  if (scope.waiting_for >= 0) return status_waiting(scope, out);
  for (const Seat& seat : scope.seats.seat) {
    const auto q = static_cast<size_t>(seat.index);
    const int64_t rtt =
        scope.round_trips != nullptr && q < scope.round_trips->size() ? (*scope.round_trips)[q] : 0;
    char round_trip[32] = "-";
    if (rtt > 0)
      std::snprintf(round_trip, sizeof round_trip, "%.3f ms", static_cast<double>(rtt) / 1e6);
    add(out, "human %d %s %s rtt %s health %d%s\n", static_cast<int>(seat.index), seat.peer,
        seat_state(seat), round_trip,
        q < match.health.size() ? static_cast<int>(match.health[q]) : 0,
        name_part(options, seat.index, seat.peer).c_str());
  }
  for (int32_t b = 0; b < match.bot_count; ++b) {
    const auto p = static_cast<size_t>(match.human_count + b);
    add(out, "bot %d playing health %d%s\n", static_cast<int>(match.human_count + b),
        p < match.health.size() ? static_cast<int>(match.health[p]) : 0,
        name_part(options, match.human_count + b, "").c_str());
  }
  return out;
}

std::string kick(CommandScope& scope, const std::vector<std::string_view>& words,
                 const char* origin) {
  std::string out;
  int32_t q = -1;
  const std::string text = words.size() == 2 ? std::string(words[1]) : std::string();
  const int32_t players = scope.match.human_count + scope.match.bot_count;
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
      text.size() > 9) {
    add(out, "kick: give one player index, as kick 0\n");
    return out;
  }
  q = static_cast<int32_t>(std::stol(text));
  if (q >= scope.match.human_count) {
    if (q < players) {
      add(out, "kick: player %d is a bot; only a human's client can be kicked\n",
          static_cast<int>(q));
    } else {
      add(out, "kick: there is no player %d (players 0..%d)\n", static_cast<int>(q),
          static_cast<int>(players - 1));
    }
    return out;
  }
  Seat& seat = scope.seats.seat[static_cast<size_t>(q)];
  if (seat.join == JoinStage::InMatch && seat.status == SeatStatus::Dropped) {
    add(out, "kick: player %d has no client: it was dropped already\n", static_cast<int>(q));
    return out;
  }
  log_line(LogLevel::Warning, "player %d (%s) kicked by the operator (%s)", static_cast<int>(q),
           seat.who, origin);
  if (seat.join != JoinStage::InMatch) {
    lobby_give_back(scope.lobby, seat);
  } else {
    seats_drop(scope.seats, seat, scope.rules, scope.watch);
  }
  // Its slot is free from now, not from the next turn's end (a pause may hold it).
  watch_seats_changed(scope.watch, scope.seats, scope.options.rejoin);
  add(out, "player %d kicked; %s\n", static_cast<int>(q),
      scope.seats.left == 0 && !scope.options.rejoin ? "no human is left: the match ends"
      : scope.options.rejoin                         ? "its slot is free for a client that connects"
                                                     : "it stays where it stood");
  return out;
}

std::string allow(CommandScope& scope, const std::vector<std::string_view>& words,
                  const char* origin) {
  std::string out;
  std::vector<Ipv4Network>& list = scope.lobby.allow;
  if (words.size() == 1) {
    add(out, "allow: %s\n", networks_text(list).c_str());
    return out;
  }
  const bool adding = words[1] == "add";
  if (words.size() != 3 || (!adding && words[1] != "remove")) {
    add(out, "allow: allow, allow add CIDR or allow remove CIDR\n");
    return out;
  }
  const std::string cidr(words[2]);
  std::vector<Ipv4Network> parsed;
  if (cidr.find(',') != std::string::npos || !parse_ipv4_networks(cidr, &parsed).empty() ||
      parsed.size() != 1) {
    add(out, "allow: not one network as 192.168.1.0/24 or one address: %s\n", cidr.c_str());
    return out;
  }
  const Ipv4Network network = parsed.front();
  const auto same = [&network](const Ipv4Network& n) {
    return n.address == network.address && n.mask == network.mask;
  };
  const auto found = std::find_if(list.begin(), list.end(), same);
  if (adding) {
    if (found == list.end()) list.push_back(network);
  } else {
    if (found == list.end()) {
      add(out, "allow: %s is not in the list (%s)\n", networks_text({network}).c_str(),
          networks_text(list).c_str());
      return out;
    }
    list.erase(found);
  }
  log_line(LogLevel::Info, "the operator (%s) changed who may join: %s", origin,
           networks_text(list).c_str());
  add(out, "allow: %s%s\n", networks_text(list).c_str(),
      list.empty() ? " (the list is empty: anyone may join)" : "");
  return out;
}

// The stop's why for each origin: the pointer is kept by the stop flag.
const char* end_why(const char* origin) {
  return std::strcmp(origin, "console") == 0 ? "the operator's end command (console)"
                                             : "the operator's end command (rcon)";
}

std::string unknown_answer(std::string_view first_word) {
  const std::string meant = nearest_command(first_word);
  std::string word(first_word.substr(0, std::min<size_t>(first_word.size(), 40)));
  for (char& c : word) {
    if (c < ' ' || c > '~') c = '?';
  }
  return "unknown command '" + word + "'" +
         (meant.empty() ? "" : "; did you mean '" + meant + "'?") + " (help lists them)\n";
}

// One line a command (pause and resume share one), the usage in a column.
std::string help_text() {
  std::string out;
  for (const OperatorCommandInfo& command : OPERATOR_COMMANDS) {
    if (command.usage != nullptr) add(out, "%-20s %s\n", command.usage, command.help);
  }
  return out;
}

}  // namespace

std::string nearest_command(std::string_view word) {
  std::string best;
  size_t best_distance = 3;  // at most two edits away
  for (const OperatorCommandInfo& command : OPERATOR_COMMANDS) {
    const char* name = command.name;
    const size_t distance = edit_distance(word, name);
    if (distance < best_distance ||
        (std::string_view(name).rfind(word, 0) == 0 && !word.empty() && best.empty())) {
      best = name;
      best_distance = std::min(distance, best_distance);
    }
  }
  return best;
}

CommandDone run_operator_command(CommandScope& scope, std::string_view line, const char* origin) {
  CommandDone done;
  const std::vector<std::string_view> words = words_of(line);
  if (words.empty()) return done;
  const OperatorCommandInfo* command = nullptr;
  for (const OperatorCommandInfo& info : OPERATOR_COMMANDS) {
    if (words[0] == info.name) command = &info;
  }
  if (command != nullptr) done.counter = static_cast<size_t>(command->command);
  std::string shown(line.substr(0, std::min<size_t>(line.size(), 200)));
  for (char& c : shown) {
    if (c < ' ' || c > '~') c = '?';
  }
  log_line(LogLevel::Info, "operator command from %s: %s", origin, shown.c_str());
  const size_t arguments = words.size() - 1;
  if (command != nullptr && !command->takes_arguments && arguments > 0) {
    // "end now" is not run as "end": a command is run only as it was meant.
    done.answer = std::string(command->name) + " takes no arguments\n";
    return done;
  }
  if (command != nullptr && scope.waiting_for >= 0 && command->needs_running_match) {
    done.answer = std::string(command->name) +
                  ": the match has not started yet; this needs a running match\n";
    return done;
  }
  if (command == nullptr) {
    done.answer = unknown_answer(words[0]);
    return done;
  }
  switch (command->command) {
    case OperatorCommand::Status:
      done.answer = status(scope);
      break;
    case OperatorCommand::Kick:
      done.answer = kick(scope, words, origin);
      break;
    case OperatorCommand::Pause:
    case OperatorCommand::Resume: {
      const bool pause = command->command == OperatorCommand::Pause;
      if (*scope.paused == pause) {
        done.answer = pause ? "already paused\n" : "not paused\n";
        break;
      }
      *scope.paused = pause;
      watch_paused(scope.watch, pause);
      log_line(LogLevel::Info, "match %s by the operator (%s) in turn %" PRIu64,
               pause ? "paused" : "resumed", origin, scope.rules.turn);
      done.answer = pause ? "paused: no new turn starts until resume\n" : "resumed\n";
      break;
    }
    case OperatorCommand::End:
      console_ask_stop(end_why(origin));
      done.answer = "ending the match\n";
      break;
    case OperatorCommand::Allow:
      done.answer = allow(scope, words, origin);
      break;
    case OperatorCommand::Help:
      done.answer = help_text();
      break;
  }
  return done;
}
