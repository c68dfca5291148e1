// The remote console (--rcon): a TCP listener on its own thread that speaks
// the RCON packets (net/rcon.h). A client authenticates with the password,
// then sends commands; each is run by the match thread (server/operator_hand.h)
// and its answer sent back.
//
// Guarded: an address that fails authentication RCON_FAILURES times in a
// minute is refused for a minute; a connection that has not authenticated
// within RCON_AUTH_TIME is closed; a malformed packet, a type the protocol
// does not have, or a flood of packets closes the connection, with a log
// line and nothing else; at most RCON_CONNECTIONS are served at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "net/socket.h"

struct OperatorHand;

inline constexpr size_t RCON_CONNECTIONS = 4;
inline constexpr int RCON_FAILURES = 3;
inline constexpr std::chrono::seconds RCON_FAILURE_WINDOW{60};
inline constexpr std::chrono::seconds RCON_AUTH_TIME{5};
// More packets than this in a second from one connection is a flood.
inline constexpr int RCON_PACKETS_PER_SECOND = 50;
// How long a command may wait for the match thread before the client is told so.
inline constexpr std::chrono::seconds RCON_ANSWER_WAIT{10};

// Binds and listens on address:port. INVALID_SOCKET_HANDLE, with the reason
// in *err, when it cannot.
SocketHandle rcon_bind(const std::string& address, uint16_t port, std::string* err);

// Starts the thread that serves the listener, checking clients against
// `password` and handing their commands to `hand`. It runs until the
// process ends.
void rcon_start(SocketHandle listener, OperatorHand& hand, std::string password);

// Whether two texts are equal, in a time that depends on their lengths only.
bool rcon_password_matches(const std::string& given, const std::string& password);
