// The server's one state: the operator's settings, the match tables, and what
// the server knows of each human client's connection. Created once by the
// match driver and handed by reference to the handshake and the turns.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "match/match.h"
#include "net/conversation.h"
#include "net/socket.h"
#include "server/options.h"
#include "server/turn_rules.h"
#include "server/watch.h"

enum class ClientStatus : uint8_t {
  Playing,
  Broken,   // left, timed out or broke the protocol; still served, as always
  Dropped,  // with --drop-broken-clients: no longer served, its player kept
};

// Why a client is broken: the first cause is the one the log gives, since
// what follows from it (a reply that never comes) is no cause of its own.
enum class BreakCause : uint8_t {
  None,
  Left,          // its connection closed (or failed)
  NoConnection,  // it never had one: the accept failed
  TimedOut,      // --client-timeout
  WrongReply,    // its reply to relay_a was not ACK
};

// The departures from the protocol that --check-clients counts, per client.
enum class Departure : uint8_t {
  ReplyNotAck,      // a reply the server drops was not 147
  NotOneInteger,    // " 25", "+7", "25xyz", "007": not the plain text of one number
  ZeroAsNoValue,    // a 0 in the turns, which the server reads as -1
  OutOfRange,       // beyond 32 bits, read as the nearest 32-bit value
  TwoInOneReceive,  // a second message came with the first, or was waiting behind it
  BadGreeting,      // a greeting other than 147
  BadEcho,          // an echo other than the player count
};
inline constexpr size_t DEPARTURE_KINDS = 7;

// Counted by the match, read by the stop handler too: atomic, and copied
// (when the table is set up) value by value.
struct DepartureCounts {
  std::atomic<uint32_t> count[DEPARTURE_KINDS] = {};
  DepartureCounts() = default;
  DepartureCounts(const DepartureCounts& other) { *this = other; }
  DepartureCounts& operator=(const DepartureCounts& other) {
    for (size_t i = 0; i < DEPARTURE_KINDS; ++i) {
      count[i].store(other.count[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    return *this;
  }
};

// With --rejoin, a client that takes a dropped player's slot during the match.
enum class Rejoin : uint8_t {
  None,      // in the match, or dropped
  Greeting,  // its handshake is under way
  Ready,     // told its index and the map: plays from the next turn
};

// "255.255.255.255:65535" and its terminator.
inline constexpr size_t PEER_TEXT_SIZE = 22;

// Everything the server knows of one human client's connection but its
// socket, which is the match's client_socket table.
struct ClientState {
  char peer[PEER_TEXT_SIZE] = "0.0.0.0:0";  // for the log
  ClientStatus status = ClientStatus::Playing;
  BreakCause broken_by = BreakCause::None;
  DepartureCounts departures;  // with --check-clients
  Rejoin rejoin = Rejoin::None;
  bool place_at_start = false;  // rejoined: its first report puts it at its start position

  // Where its conversation stands in this turn, and what it has reported.
  Cursor at;
  Report report;
  // With --client-timeout: how long the server has waited for it in this
  // turn (or this part of the handshake); the time-out bounds the sum.
  std::chrono::nanoseconds waited{0};
  // Since when the server waits for its next message (served at once).
  std::chrono::steady_clock::time_point waiting_since{};
  int64_t warned_stalls = 0;  // stall warnings logged for that message
  // With --check-clients: the wait (its waiting_since) whose silence has been
  // named, and the last message sent to it, which that note quotes.
  std::chrono::steady_clock::time_point silence_noted{};
  const char* last_sent_step = nullptr;  // none yet
  int32_t last_sent_value = 0;
  int32_t last_sent_row = -1;
  bool short_receive_timeout = false;  // the socket's receive timeout is below wait_slice
  bool nonblocking = false;            // served at once: its socket never blocks
  // For the view: when its exchange began, and the messages until then.
  int64_t exchange_start_ns = 0;
  uint64_t messages_at_start = 0;
  uint64_t messages = 0;  // of its turn exchanges, both ways
};

struct Server {
  Options options;
  // The build's data folder (console/files.h), where the data files the
  // operator did not place are read when the working directory lacks them;
  // empty: nowhere else.
  std::string data_folder;
  Match match;
  std::vector<ClientState> client_state;  // per human, by player index
  int32_t clients_left = 0;               // humans not dropped
  // The client whose reply to relay_a ended the match (the lowest, served at
  // once); -1 while none has.
  int32_t ended_by = -1;
  // --trace or --check-clients: each message is looked at. Off, a message
  // costs this one test and nothing more.
  bool inspect_messages = false;
  // Entries of client_state whose peer is known; the stop handler reads no
  // further.
  std::atomic<int32_t> clients_watched{0};
  uint64_t messages = 0;  // of the turn exchanges, both ways
  // Served at once (--concurrent): what each client is shown while the
  // tables already hold the end of the turn; in use between the reports and
  // the end of the turn.
  ViewLedger ledger;
  bool ledger_in_use = false;
  // With --rejoin: the listener, watched during the match.
  SocketHandle listener = INVALID_SOCKET_HANDLE;
  // Accepts that fail with a connection waiting (out of descriptors) rest a while.
  bool accept_failing = false;
  std::chrono::steady_clock::time_point accepts_paused_until{};
  std::vector<int32_t> start_x, start_y;  // a rejoined player's start position read
  // Served at once: the connections waited on and their players, sized once.
  std::vector<SocketWait> waits;
  std::vector<int32_t> waiting;

  // --http and --record; null without them.
  std::unique_ptr<Watch> watch;

  // turns_played is read by the stop handler, hence atomic.
  std::atomic<uint64_t> turns_played{0};
  // A stop (SIGTERM, Ctrl-C) that comes while a turn's line of the recording
  // is being written waits for the line to be whole: the handler notes why
  // and the match thread ends the process after the write. `ending` lets one
  // of the two end it.
  std::atomic<bool> writing_record{false};
  std::atomic<const char*> stop_asked{nullptr};
  std::atomic<bool> ending{false};
  std::chrono::steady_clock::time_point match_start{};

  // The log's pace: a silent client's receive gives up after wait_slice, so
  // that the waiting can be counted, timed out and reported every
  // stall_warning; a status line every status_interval.
  std::chrono::milliseconds wait_slice{1000};
  std::chrono::milliseconds stall_warning{30000};
  // With --check-clients, a silence this long has the step it stops at named
  // (once a message), long before the stall warning.
  std::chrono::milliseconds silence_note{5000};
  std::chrono::milliseconds status_interval{60000};
};

// Whether human q's client plays this turn: neither dropped nor still joining.
inline bool in_play(const ClientState& link) {
  return link.status != ClientStatus::Dropped && link.rejoin == Rejoin::None;
}

// With --rejoin: whether a client that connects may take human q's slot.
inline bool slot_is_free(const ClientState& link) {
  return link.status == ClientStatus::Dropped && link.rejoin == Rejoin::None;
}

// The turn in which the server is: 0 during the handshake.
inline uint64_t current_turn(const Server& server) {
  return server.turns_played.load(std::memory_order_relaxed) +
         (server.match.turn_count > 0 ? 1 : 0);
}
