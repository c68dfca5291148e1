// The lobby: the game port's listener, who may join (--allow), and the
// seats that are free. It takes connections at the start, one per human in
// turn, and during the match (--rejoin) into a dropped player's seat, the
// same way.
//
// With --allow, a connection from outside the listed networks is closed as
// soon as it is accepted; it never takes a seat. With --rejoin, a connection
// that arrives while a seat is free takes the lowest free one, one whose last
// client came from the same address first; it is greeted as at the start
// while the turns go on and plays from the next turn. A connection that
// finds no free seat is closed at once. Refusals are told a few times, then
// counted and told once a minute, so that a flood cannot fill the log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/address.h"
#include "server/seat.h"

// A kind of line that may come in floods: told a few times, then counted
// and told at most once a minute.
struct LogPace {
  uint32_t told = 0;
  uint64_t unsaid = 0;
  Clock::time_point last_said{};
};

// Logs a warning of a kind that may come in floods, as its pace allows;
// `what` names the kind in the line that counts the unsaid ones.
void paced_warning(LogPace& pace, const char* what, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// The same for a line of information (the count is a warning all the same).
void paced_info(LogPace& pace, const char* what, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

struct Lobby {
  SocketHandle listener = INVALID_SOCKET_HANDLE;
  bool open_in_match = false;      // --rejoin: the listener is watched during the match
  std::vector<Ipv4Network> allow;  // empty: everyone
  // Accepts that fail with a connection waiting (out of descriptors) rest a while.
  bool accept_failing = false;
  Clock::time_point resting_until{};
  LogPace refused_by_allow, refused_full, forgotten, taking, given_back;
};

// Whether the connection just accepted may join. A refused one is logged and
// closed.
bool lobby_admit(Lobby& lobby, SocketHandle connection);

// At the start: waits for the next connection that may join.
// INVALID_SOCKET_HANDLE when the accept failed (with the system's reason in
// *why) or, with *stopped set, when a stop interrupted the wait.
SocketHandle lobby_accept(Lobby& lobby, std::string* why, bool* stopped);

// A connection that closed or failed before it greeted (a port check, a
// scan): it takes no seat, and the lobby waits for the next one. Logged,
// paced.
void lobby_forget(Lobby& lobby, Seat& seat);

// A joiner that did not finish its handshake: its connection closed and the
// seat free again, with a log line, paced.
void lobby_give_back(Lobby& lobby, Seat& seat);

// Whether the listener is to be waited on now (open in the match, not resting).
bool lobby_listening(const Lobby& lobby, Clock::time_point now);

// During the match: takes every connection waiting on the listener, a few at
// a time, each into a free seat, its handshake begun. Never waits.
void lobby_take_waiting(Lobby& lobby, std::vector<Seat>& seats, const SeatRules& rules);

// At the start: the seat the next connection, from `address`, takes: the
// lowest not taken yet, one whose last client came from the same address
// first (a resumed match's seats remember them). REQUIRES: one is not taken.
int32_t lobby_start_seat(const std::vector<Seat>& seats, const std::vector<bool>& taken,
                         const char* address);

// The seat a client from `address` takes: the lowest free one, one whose last
// client came from the same address first; -1 when none is free.
int32_t lobby_free_seat(const std::vector<Seat>& seats, const char* address);
