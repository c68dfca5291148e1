#include "server/operator_hand.h"

#include <algorithm>
#include <thread>

#include "console/console.h"
#include "console/log.h"
#include "server/operator_commands.h"
#include "server/rcon_listener.h"
#include "server/server.h"
#include "server/watch.h"

namespace {

// A line longer than any command is cut here, so that endless input cannot
// fill the memory.
constexpr size_t LINE_LIMIT = 1024;

// How long the console's thread waits for input before it looks whether
// the hand is closing.
constexpr int CLOSING_LOOK_MS = 100;

void end_console_reader(OperatorHand& hand) {
  hand.closing.store(true, std::memory_order_relaxed);
  if (!hand.console_reader.joinable()) return;
  // It sees `closing` within CLOSING_LOOK_MS unless a read holds it.
  const auto until = Clock::now() + std::chrono::milliseconds(10 * CLOSING_LOOK_MS);
  while (!hand.console_read_ended.load(std::memory_order_acquire) && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (hand.console_read_ended.load(std::memory_order_acquire)) {
    hand.console_reader.join();
  } else {
    hand.console_reader.detach();
  }
}

// The console's lines, for as long as input comes and the hand is open. At the end of input the
// match goes on, as it did before commands were read.
// A line past the limit is not run at all: its head alone could be another
// command ("kick 0" of "kick 0123...").
void read_lines(OperatorHand* hand) {
  std::string line;
  bool too_long = false;
  for (;;) {
    while (!console_input_waits(CLOSING_LOOK_MS)) {
      if (hand->closing.load(std::memory_order_relaxed)) return;
    }
    if (hand->closing.load(std::memory_order_relaxed)) return;
    const int byte = console_read_byte();
    if (byte == EOF) return;
    if (byte == '\n') {
      if (too_long) {
        log_line(LogLevel::Warning, "a console line of more than %d bytes is not run",
                 static_cast<int>(LINE_LIMIT));
      } else {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        operator_submit(*hand, std::move(line), "console", true);
      }
      line.clear();
      too_long = false;
    } else if (line.size() < LINE_LIMIT) {
      line.push_back(static_cast<char>(byte));
    } else {
      too_long = true;
    }
  }
}

void read_console_lines(std::shared_ptr<OperatorHand> hand) {
  read_lines(hand.get());
  hand->console_read_ended.store(true, std::memory_order_release);
}

double turns_per_second(const OperatorHand& hand) {
  const double seconds = std::chrono::duration<double>(Clock::now() - hand.begun).count();
  return seconds > 0 ? static_cast<double>(hand.turns_played - hand.turns_at_begin) / seconds : 0.0;
}

}  // namespace

int operator_open(std::shared_ptr<OperatorHand>& hand, const Options& options, int32_t humans,
                  SeatRules& rules) {
  const bool console = options.console_commands || console_input_is_terminal();
  // Without humans the console's keys step the bots: no commands there.
  const bool console_on = console && humans > 0;
  if (!console_on && options.rcon_address.empty()) return -1;
  hand = std::make_shared<OperatorHand>();
  hand->round_trips.assign(static_cast<size_t>(humans), 0);
  hand->console_commands = console_on;
  // status shows each client's round trip: the seats time their exchanges.
  rules.timed_round_trips = true;
  if (options.rcon_address.empty()) return -1;
  std::string err;
  hand->rcon_listener = rcon_bind(options.rcon_address, options.rcon_port, &err);
  if (hand->rcon_listener == INVALID_SOCKET_HANDLE) {
    log_line(LogLevel::Error, "--rcon: %s", err.c_str());
    return EXIT_CANNOT_LISTEN;
  }
  return -1;
}

void operator_listen(const std::shared_ptr<OperatorHand>& hand, const Options& options,
                     Watch* watch, int32_t humans) {
  // Said without a hand too: lines piped to a server without
  // --console-commands are otherwise ignored without a word.
  log_line(LogLevel::Info, "operator commands at the console: %s",
           hand != nullptr && hand->console_commands ? "on"
           : humans == 0                             ? "off (its keys step the bots)"
                                                     : "off (--console-commands turns them on)");
  if (hand == nullptr) return;
  watch_commands_open(watch);
  // The channels' threads leave the stop signals to the match thread.
  console_block_stops(true);
  if (hand->console_commands) hand->console_reader = std::thread(read_console_lines, hand);
  if (hand->rcon_listener != INVALID_SOCKET_HANDLE) {
    hand->rcon = rcon_start(hand->rcon_listener, *hand, options.rcon_password);
  }
  console_block_stops(false);
  if (hand->rcon != nullptr) {
    log_line(LogLevel::Info, "remote console (RCON) on %s:%u, its password from %s",
             options.rcon_address.c_str(), static_cast<unsigned>(options.rcon_port),
             options.rcon_password_source);
  }
}

void operator_begin(OperatorHand& hand, Walker& walker, uint64_t turns_played) {
  walker.command_waiting = &hand.pending;
  hand.waiting_for = -1;
  hand.turns_at_begin = turns_played;
  hand.turns_played = turns_played;
  hand.begun = Clock::now();
}

uint64_t operator_submit(OperatorHand& hand, std::string line, std::string origin, bool console) {
  std::lock_guard<std::mutex> lock(hand.mutex);
  const uint64_t ticket = console ? 0 : hand.next_ticket++;
  hand.requests.push_back({std::move(line), std::move(origin), ticket});
  hand.pending.store(true, std::memory_order_relaxed);
  hand.requested.notify_one();
  return ticket;
}

bool operator_poll_answer(OperatorHand& hand, uint64_t ticket, std::string* answer) {
  std::lock_guard<std::mutex> lock(hand.mutex);
  const auto at = std::find_if(hand.answers.begin(), hand.answers.end(),
                               [ticket](const auto& a) { return a.first == ticket; });
  if (at == hand.answers.end()) return false;
  *answer = std::move(at->second);
  hand.answers.erase(at);
  hand.answered.notify_all();
  return true;
}

void operator_give_up(OperatorHand& hand, uint64_t ticket) {
  std::lock_guard<std::mutex> lock(hand.mutex);
  const auto at = std::find_if(hand.answers.begin(), hand.answers.end(),
                               [ticket](const auto& a) { return a.first == ticket; });
  if (at != hand.answers.end()) {
    hand.answers.erase(at);
    hand.answered.notify_all();
  } else {
    hand.abandoned.push_back(ticket);
  }
}

void operator_serve(Server& server) {
  OperatorHand& hand = *server.hand;
  std::deque<OperatorRequest> batch;
  {
    std::lock_guard<std::mutex> lock(hand.mutex);
    batch.swap(hand.requests);
    hand.pending.store(false, std::memory_order_relaxed);
  }
  for (OperatorRequest& request : batch) {
    CommandScope scope{server.seats,      server.lobby,      server.rules,
                       server.match,      server.options,    server.watch.get(),
                       &hand.paused,      hand.turns_played, turns_per_second(hand),
                       &hand.round_trips, hand.waiting_for};
    const CommandDone done = run_operator_command(scope, request.line, request.origin.c_str());
    if (!done.answer.empty()) watch_command(server.watch.get(), done.counter);
    if (request.ticket == 0) {
      if (!done.answer.empty()) console_print("%s", done.answer.c_str());
      continue;
    }
    std::lock_guard<std::mutex> lock(hand.mutex);
    auto& gone = hand.abandoned;
    if (const auto at = std::find(gone.begin(), gone.end(), request.ticket); at != gone.end()) {
      gone.erase(at);
      continue;
    }
    hand.answers.emplace_back(request.ticket, done.answer);
    hand.answered.notify_all();
  }
}

void operator_between_turns(Server& server) {
  OperatorHand& hand = *server.hand;
  if (operator_waiting(hand)) operator_serve(server);
  while (hand.paused && console_stop_asked() == nullptr) {
    watch_heartbeat(server.watch.get(), Clock::now());
    walk_joiners(server.walker, server.seats, server.lobby, server.rules, {&server.match, nullptr});
    watch_seats_changed(server.watch.get(), server.seats, server.options.rejoin);
    {
      std::unique_lock<std::mutex> lock(hand.mutex);
      // Joiners are looked at more often than the view needs its heartbeat.
      const auto wait = server.lobby.open_in_match ? std::chrono::milliseconds(100)
                                                   : std::chrono::milliseconds(1000);
      hand.requested.wait_for(lock, wait, [&hand] { return !hand.requests.empty(); });
    }
    operator_serve(server);
  }
}

void operator_turn_done(OperatorHand& hand, const Seats& seats, uint64_t turns_played) {
  hand.turns_played = turns_played;
  for (const Seat& seat : seats.seat) {
    const auto q = static_cast<size_t>(seat.index);
    if (in_play(seat) && seat.round_trip_count > 0 && q < hand.round_trips.size()) {
      hand.round_trips[q] = seat_round_trip_ns(seat);
    }
  }
}

void operator_close(OperatorHand& hand) {
  {
    std::unique_lock<std::mutex> lock(hand.mutex);
    hand.answered.wait_for(lock, std::chrono::seconds(2), [&hand] { return hand.answers.empty(); });
  }
  end_console_reader(hand);
  if (hand.rcon != nullptr) rcon_stop(*hand.rcon);
}

OperatorHand::~OperatorHand() {
  // Run on the console's thread when it was let go and ends last.
  if (console_reader.joinable()) {
    if (console_reader.get_id() == std::this_thread::get_id()) {
      console_reader.detach();
    } else {
      end_console_reader(*this);
    }
  }
  // A listener bound but never served (a later port failed at start).
  if (rcon == nullptr && rcon_listener != INVALID_SOCKET_HANDLE) socket_close(rcon_listener);
}
