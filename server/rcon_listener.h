// The remote console (--rcon): a TCP listener on a thread of its own that
// speaks the RCON packets (net/rcon.h). A client authenticates with the
// password, then sends commands; each is run by the match thread
// (server/operator_hand.h) and its answer sent back. Every connection is
// served at once, in one wait over the listener and the connections: a
// command that waits for the match thread holds only its own connection.
//
// Guarded so that nobody without the password can keep the operator out:
// - a password is checked as soon as it comes; the right one is let in at
//   once, whatever the address or the failures before;
// - a wrong one is answered (and its connection closed) only after a delay
//   that doubles with each failure from the same address in the last minute
//   (RCON_FAILURE_DELAY up to RCON_FAILURE_DELAY_MAX); no address is ever
//   refused;
// - past RCON_FAILURE_BUDGET failures in a minute, from anywhere, every
//   answer to a password, the right one too, waits RCON_BUSY_DELAY: a
//   client cannot tell a right guess from a wrong one sooner;
// - at most RCON_CONNECTIONS connections: a new one takes the place of the
//   oldest that has not authenticated (RCON_AUTH_TIME at most), one that
//   has sent no password first; one that has authenticated is never put
//   out for a newcomer;
// - a malformed packet, a type the protocol does not have, or a flood of
//   packets closes the connection. Lines about connections that never
//   authenticated are told a few times, then counted once a minute.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"
#include "server/lobby.h"

struct OperatorHand;

inline constexpr size_t RCON_CONNECTIONS = 8;
inline constexpr std::chrono::seconds RCON_AUTH_TIME{5};
inline constexpr std::chrono::milliseconds RCON_FAILURE_DELAY{1000};
inline constexpr std::chrono::milliseconds RCON_FAILURE_DELAY_MAX{16000};
inline constexpr int RCON_FAILURE_BUDGET = 10;
inline constexpr std::chrono::seconds RCON_FAILURE_WINDOW{60};
inline constexpr std::chrono::milliseconds RCON_BUSY_DELAY{2000};
// More packets than this in a second from one connection is a flood.
inline constexpr int RCON_PACKETS_PER_SECOND = 50;
// How long a command may wait for the match thread before the client is told so.
inline constexpr std::chrono::seconds RCON_ANSWER_WAIT{10};

using RconClock = std::chrono::steady_clock;

// One connection's state apart from its socket: what came and is not taken
// yet, what is to be sent, and where its login stands.
struct RconConnection {
  std::string address;  // "127.0.0.1"
  std::string origin;   // "rcon 127.0.0.1:50122"
  std::string in;       // bytes received, not yet a whole packet or not yet taken
  std::string out;      // bytes to send
  bool authenticated = false;
  bool closing = false;  // close once `out` is sent (at once when `why` is set)
  const char* why = nullptr;
  RconClock::time_point opened{};
  RconClock::time_point second{};  // the start of the present second's packet count
  int packets = 0;
  // A password's answer held back until `answer_at` (empty: none held).
  std::string held;
  RconClock::time_point answer_at{};
  // A command waiting for the match thread.
  uint64_t ticket = 0;
  int32_t command_id = 0;
  RconClock::time_point asked{};
};

// What every connection shares: the password and the failures.
struct RconGate {
  std::string password;
  struct Failures {
    std::string address;
    std::vector<RconClock::time_point> at;  // within the last window
  };
  std::vector<Failures> by_address;
  std::vector<RconClock::time_point> all;  // every failure within the last window
  LogPace wrong_password, malformed, crowded;
};

// Takes the whole packets in c.in, as far as the connection may go on:
// not while a command or a password's answer is awaited. A command goes to
// `submit`, which returns its ticket.
void rcon_take_packets(RconGate& gate, RconConnection& c, RconClock::time_point now,
                       const std::function<uint64_t(const std::string&)>& submit);

// A held answer whose time has come joins c.out; true when one did.
bool rcon_release_held(RconConnection& c, RconClock::time_point now);

// A command's answer (or the word that none came in time) joins c.out; the
// connection may go on with what it sent after.
void rcon_answer_command(RconConnection& c, const std::string& answer);

// The remote console's thread and what it serves. Started by rcon_start,
// ended and joined by rcon_stop (or the destructor).
struct RconService {
  SocketHandle listener = INVALID_SOCKET_HANDLE;
  OperatorHand* hand = nullptr;
  RconGate gate;
  std::vector<std::pair<SocketHandle, RconConnection>> peers;
  RconClock::time_point resting_until{};  // accepts failing: the listener rests
  LogPace accept_failed;
  std::atomic<bool> stopping{false};
  std::thread thread;
  ~RconService();
};

// Binds and listens on address:port. INVALID_SOCKET_HANDLE, with the reason
// in *err, when it cannot.
SocketHandle rcon_bind(const std::string& address, uint16_t port, std::string* err);

// Starts the thread that serves the listener, checking clients against
// `password` and handing their commands to `hand`.
std::unique_ptr<RconService> rcon_start(SocketHandle listener, OperatorHand& hand,
                                        std::string password);

// Sends what is to be sent (a moment at most), closes every connection and
// joins the thread.
void rcon_stop(RconService& service);

// Whether two texts are equal, in a time that depends on their lengths only.
bool rcon_password_matches(const std::string& given, const std::string& password);
