// The server query that server browsers, LAN browsers and status tools speak
// over UDP: its packets read and written, without any I/O, so that the
// listener (server/query_listener.h), the finder (client/find.cc) and the
// fuzz target share one reader.
//
// Every packet starts with the long -1 (FF FF FF FF); numbers are little
// endian, texts end with a zero byte. A request is INFO ('T' "Source Engine
// Query\0"), PLAYER ('U') or RULES ('V'), each followed by the challenge
// the server handed out; without it (INFO) or with -1 (PLAYER, RULES) the
// answer is the challenge alone ('A' and four bytes), never more bytes than
// the request had. docs/protocol.md gives every byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The most an answer holds: the player list stops at the last player that fits.
inline constexpr size_t QUERY_PACKET_SIZE = 1400;
// A datagram longer than this is no request.
inline constexpr size_t QUERY_REQUEST_LIMIT = 64;
inline constexpr uint32_t QUERY_NO_CHALLENGE = 0xFFFFFFFFu;

enum class QueryKind : uint8_t { Info, Players, Rules };

struct QueryRequest {
  QueryKind kind = QueryKind::Info;
  // The challenge echoed; QUERY_NO_CHALLENGE when none was (INFO without
  // its four bytes, or -1).
  uint32_t challenge = QUERY_NO_CHALLENGE;
};

// Reads one datagram; false for anything that is not one of the three
// requests, whole (a truncated challenge included).
bool query_read_request(const uint8_t* data, size_t size, QueryRequest* request);

// What INFO tells.
struct QueryInfo {
  std::string name, map, folder, game, version, keywords;
  uint8_t players = 0, max_players = 0, bots = 0;
  char environment = 'l';  // 'l' Linux, 'w' Windows
  uint16_t game_port = 0;
};

struct QueryPlayer {
  std::string name;
  int32_t score = 0;
  float seconds = 0;  // since the player joined
};

using QueryRules = std::vector<std::pair<std::string, std::string>>;

// The writers return the packet, at most QUERY_PACKET_SIZE bytes: texts too
// long are cut (at 255 bytes), the player list at the last player that fits
// (its count says how many follow).
std::vector<uint8_t> query_write_challenge(uint32_t challenge);
std::vector<uint8_t> query_write_info(const QueryInfo& info);
std::vector<uint8_t> query_write_players(const std::vector<QueryPlayer>& players);
std::vector<uint8_t> query_write_rules(const QueryRules& rules);
// A request, as a client sends it.
std::vector<uint8_t> query_write_request(QueryKind kind, uint32_t challenge);

// The client's side: a challenge, or an INFO answer. False when the packet
// is not one, whole.
bool query_read_challenge(const uint8_t* data, size_t size, uint32_t* challenge);
bool query_read_info(const uint8_t* data, size_t size, QueryInfo* info);

// The challenge of an address in an epoch: a keyed hash (SipHash-2-4 under
// a secret key of 128 bits), never QUERY_NO_CHALLENGE. Whoever does not know
// the key cannot tell the challenge of an address it does not receive at.
uint32_t query_challenge(const uint64_t (&key)[2], uint32_t address, uint64_t epoch);
