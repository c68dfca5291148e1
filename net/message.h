// Integer messages: one signed 32-bit integer as decimal ASCII text, carried
// by one send, with no header, delimiter or terminator. Both sides alternate
// strictly, because two messages lying in the connection together are read as
// one ("12" then "5" reads as 125).
//
// - format_int/parse_int are the pure text rules; parse_int follows atoi
//   (leading white space, one optional sign, digits up to the first non-digit,
//   0 when there are none) and saturates out-of-range numbers to the nearest
//   32-bit value.
// - send_int and recv_number are what the server, zolt-client and the tests
//   speak; recv_number keeps a received 0 (also an empty or unreadable text)
//   as 0, and the turn exchange reads it as NO_VALUE where the protocol says so.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/protocol.h"
#include "net/socket.h"

// Writes value's decimal text and a terminator into out, which must have room
// for MESSAGE_MAX_DIGITS + 1 bytes. Returns the text's length.
size_t format_int(int32_t value, char* out);

// Parses a NUL-terminated text by the atoi rules, saturating to 32 bits.
int32_t parse_int(const char* text);

// Sends value as one message. Failures are ignored: a client that has gone is
// noticed by its next receive.
void send_int(SocketHandle socket, int32_t value);

// send_int, formatting in the caller's buffer.
// REQUIRES: buffer has room for MESSAGE_MAX_DIGITS + 1 bytes.
void send_int_in(SocketHandle socket, int32_t value, char* buffer);

// Receives one message of at most MESSAGE_LIMIT bytes into buffer and parses
// it; a closed or failed connection gives 0.
// REQUIRES: buffer has room for MESSAGE_LIMIT + 1 bytes.
int32_t recv_number(SocketHandle socket, char* buffer);
