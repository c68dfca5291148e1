// The fixed values of the client protocol, shared by the server, the
// reference client and the tests. docs/protocol.md describes the protocol.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint16_t SERVER_PORT = 2000;
inline constexpr int LISTEN_BACKLOG = 500;

// One side confirms the other's message with this value.
inline constexpr int32_t ACK = 147;
// On the wire: "no value". The turn exchange also reads a received 0 as it.
inline constexpr int32_t NO_VALUE = -1;
// As a relay value: set the relay back to NO_VALUE.
inline constexpr int32_t CLEAR_VALUE = -2;

// One receive takes at most this many bytes and treats them as one message.
inline constexpr size_t MESSAGE_LIMIT = 64;
// The longest message: "-2147483648", 11 characters.
inline constexpr size_t MESSAGE_MAX_DIGITS = 11;
