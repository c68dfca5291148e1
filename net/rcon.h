// The remote console's packets, as every RCON client sends and reads them:
// a little-endian int32 size (of what follows it), an int32 request id, an
// int32 type, the body and two zero bytes (the body's terminator and an
// empty second text). No I/O here: bytes in, packets out, and packets
// appended to a text for the caller to send.
//
// The client authenticates with an AUTH packet holding the password; the
// answer is an empty RESPONSE_VALUE then an AUTH_RESPONSE carrying the
// request's id, or -1 in both when the password is wrong. A command comes
// as EXECCOMMAND; its answer as RESPONSE_VALUE packets with the command's
// id, split at lines when longer than one packet holds. An empty
// RESPONSE_VALUE from the client is mirrored back, so that a client can
// tell where a split answer ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int32_t RCON_AUTH = 3;
inline constexpr int32_t RCON_AUTH_RESPONSE = 2;
inline constexpr int32_t RCON_EXECCOMMAND = 2;
inline constexpr int32_t RCON_RESPONSE_VALUE = 0;

// The size field counts the id, the type and the two terminators at least.
inline constexpr int32_t RCON_MIN_SIZE = 4 + 4 + 1 + 1;
// The largest packet a client may send, size field excluded.
inline constexpr int32_t RCON_MAX_SIZE = 4096;
// The most body one response packet carries: the largest packet less its
// id, type and terminators.
inline constexpr size_t RCON_MAX_BODY = RCON_MAX_SIZE - RCON_MIN_SIZE;

struct RconPacket {
  int32_t id = 0;
  int32_t type = 0;
  std::string body;  // up to its first zero byte
};

enum class RconRead : uint8_t {
  Packet,    // *packet holds the first packet; *used bytes make it up
  NeedMore,  // the bytes so far are the start of a packet
  Malformed  // a size below RCON_MIN_SIZE or above RCON_MAX_SIZE, or no terminator
};

// Reads the packet at the front of [data, data + size).
RconRead rcon_read_packet(const char* data, size_t size, RconPacket* packet, size_t* used);

// Appends one packet. REQUIRES: body.size() <= RCON_MAX_BODY, and no zero byte in it.
void rcon_append_packet(std::string& out, int32_t id, int32_t type, std::string_view body);

// Appends a command's answer as RESPONSE_VALUE packets of request `id`: one
// for a short answer (an empty one for none), several for a long one, each
// ending at a line's end where a line fits. Zero bytes in text are left out.
void rcon_append_answer(std::string& out, int32_t id, std::string_view text);
