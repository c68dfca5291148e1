#include "net/query.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t HEADER[4] = {0xFF, 0xFF, 0xFF, 0xFF};
constexpr char INFO_PAYLOAD[] = "Source Engine Query";  // with its zero byte: 20 bytes
constexpr uint8_t KIND_BYTE[] = {'T', 'U', 'V'};
// Answers' kind bytes.
constexpr uint8_t CHALLENGE = 'A', INFO = 'I', PLAYERS = 'D', RULES = 'E';
// The protocol version INFO gives; dedicated, public, unsecured.
constexpr uint8_t PROTOCOL = 17;
// Extra data INFO carries: the game's port and keywords.
constexpr uint8_t EXTRA_PORT = 0x80, EXTRA_KEYWORDS = 0x20;
constexpr size_t TEXT_LIMIT = 255;

struct Writer {
  std::vector<uint8_t> bytes;
  explicit Writer(uint8_t kind) {
    bytes.reserve(64);
    bytes.assign(HEADER, HEADER + 4);
    bytes.push_back(kind);
  }
  void u8(uint8_t v) { bytes.push_back(v); }
  void u16(uint16_t v) {
    bytes.push_back(static_cast<uint8_t>(v));
    bytes.push_back(static_cast<uint8_t>(v >> 8));
  }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  // A text stops at its first zero byte, which would end it early for the reader.
  void text(const std::string& s) {
    const size_t length = std::min({s.size(), TEXT_LIMIT, std::strlen(s.c_str())});
    bytes.insert(bytes.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(length));
    bytes.push_back(0);
  }
};

struct Reader {
  const uint8_t* data;
  size_t size, at = 0;
  bool ok = true;
  uint8_t u8() {
    if (at + 1 > size) return ok = false, 0;
    return data[at++];
  }
  uint16_t u16() {
    const uint16_t lo = u8(), hi = u8();
    return static_cast<uint16_t>(lo | hi << 8);
  }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(u8()) << (8 * i);
    return v;
  }
  std::string text() {
    const void* end = at < size ? std::memchr(data + at, 0, size - at) : nullptr;
    if (end == nullptr) return ok = false, std::string();
    const auto length = static_cast<size_t>(static_cast<const uint8_t*>(end) - (data + at));
    std::string s(reinterpret_cast<const char*>(data + at), length);
    at += length + 1;
    return s;
  }
};

bool has_header(const uint8_t* data, size_t size) {
  return size >= 5 && std::memcmp(data, HEADER, 4) == 0;
}

uint64_t rotl(uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

void sip_round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
  v0 += v1;
  v1 = rotl(v1, 13);
  v1 ^= v0;
  v0 = rotl(v0, 32);
  v2 += v3;
  v3 = rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = rotl(v1, 17);
  v1 ^= v2;
  v2 = rotl(v2, 32);
}

// SipHash-2-4 of two 64-bit words (a 16-byte message).
uint64_t siphash(const uint64_t (&key)[2], uint64_t m0, uint64_t m1) {
  uint64_t v0 = key[0] ^ 0x736f6d6570736575ull, v1 = key[1] ^ 0x646f72616e646f6dull,
           v2 = key[0] ^ 0x6c7967656e657261ull, v3 = key[1] ^ 0x7465646279746573ull;
  for (const uint64_t m : {m0, m1}) {
    v3 ^= m;
    sip_round(v0, v1, v2, v3);
    sip_round(v0, v1, v2, v3);
    v0 ^= m;
  }
  const uint64_t last = uint64_t{16} << 56;
  v3 ^= last;
  sip_round(v0, v1, v2, v3);
  sip_round(v0, v1, v2, v3);
  v0 ^= last;
  v2 ^= 0xff;
  for (int i = 0; i < 4; ++i) sip_round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace

bool query_read_request(const uint8_t* data, size_t size, QueryRequest* request) {
  if (!has_header(data, size) || size > QUERY_REQUEST_LIMIT) return false;
  Reader in{data, size, 4};
  const uint8_t kind = in.u8();
  if (kind == KIND_BYTE[0]) {
    const size_t payload = sizeof INFO_PAYLOAD;
    if (size < 5 + payload || std::memcmp(data + 5, INFO_PAYLOAD, payload) != 0) return false;
    in.at = 5 + payload;
    request->kind = QueryKind::Info;
    if (size == in.at) {
      request->challenge = QUERY_NO_CHALLENGE;
      return true;
    }
  } else if (kind == KIND_BYTE[1]) {
    request->kind = QueryKind::Players;
  } else if (kind == KIND_BYTE[2]) {
    request->kind = QueryKind::Rules;
  } else {
    return false;
  }
  // Exactly the four bytes of the challenge follow.
  if (size != in.at + 4) return false;
  request->challenge = in.u32();
  return in.ok;
}

std::vector<uint8_t> query_write_challenge(uint32_t challenge) {
  Writer out(CHALLENGE);
  out.u32(challenge);
  return out.bytes;
}

std::vector<uint8_t> query_write_info(const QueryInfo& info) {
  Writer out(INFO);
  out.u8(PROTOCOL);
  out.text(info.name);
  out.text(info.map);
  out.text(info.folder);
  out.text(info.game);
  out.u16(0);  // no application id
  out.u8(info.players);
  out.u8(info.max_players);
  out.u8(info.bots);
  out.u8('d');  // dedicated
  out.u8(static_cast<uint8_t>(info.environment));
  out.u8(0);  // no password
  out.u8(0);  // unsecured
  out.text(info.version);
  out.u8(EXTRA_PORT | EXTRA_KEYWORDS);
  out.u16(info.game_port);
  out.text(info.keywords);
  return out.bytes;
}

std::vector<uint8_t> query_write_players(const std::vector<QueryPlayer>& players) {
  Writer out(PLAYERS);
  out.u8(0);  // the count, once known
  uint8_t count = 0;
  for (const QueryPlayer& player : players) {
    if (count == 255) break;
    const size_t before = out.bytes.size();
    out.u8(count);
    out.text(player.name);
    out.u32(static_cast<uint32_t>(player.score));
    uint32_t seconds = 0;
    static_assert(sizeof seconds == sizeof player.seconds);
    std::memcpy(&seconds, &player.seconds, sizeof seconds);
    out.u32(seconds);
    if (out.bytes.size() > QUERY_PACKET_SIZE) {
      out.bytes.resize(before);
      break;
    }
    ++count;
  }
  out.bytes[5] = count;
  return out.bytes;
}

std::vector<uint8_t> query_write_rules(const QueryRules& rules) {
  Writer out(RULES);
  out.u16(0);
  uint16_t count = 0;
  for (const auto& [name, value] : rules) {
    const size_t before = out.bytes.size();
    out.text(name);
    out.text(value);
    if (out.bytes.size() > QUERY_PACKET_SIZE) {
      out.bytes.resize(before);
      break;
    }
    ++count;
  }
  out.bytes[5] = static_cast<uint8_t>(count);
  out.bytes[6] = static_cast<uint8_t>(count >> 8);
  return out.bytes;
}

std::vector<uint8_t> query_write_request(QueryKind kind, uint32_t challenge) {
  Writer out(KIND_BYTE[static_cast<size_t>(kind)]);
  if (kind == QueryKind::Info) {
    out.bytes.insert(out.bytes.end(), INFO_PAYLOAD, INFO_PAYLOAD + sizeof INFO_PAYLOAD);
    if (challenge == QUERY_NO_CHALLENGE) return out.bytes;
  }
  out.u32(challenge);
  return out.bytes;
}

bool query_read_challenge(const uint8_t* data, size_t size, uint32_t* challenge) {
  if (!has_header(data, size) || size != 9 || data[4] != CHALLENGE) return false;
  Reader in{data, size, 5};
  *challenge = in.u32();
  return in.ok;
}

bool query_read_info(const uint8_t* data, size_t size, QueryInfo* info) {
  if (!has_header(data, size) || data[4] != INFO) return false;
  Reader in{data, size, 5};
  in.u8();  // the protocol version
  info->name = in.text();
  info->map = in.text();
  info->folder = in.text();
  info->game = in.text();
  in.u16();
  info->players = in.u8();
  info->max_players = in.u8();
  info->bots = in.u8();
  in.u8();
  info->environment = static_cast<char>(in.u8());
  in.u8();
  in.u8();
  info->version = in.text();
  if (!in.ok) return false;
  info->game_port = 0;
  info->keywords.clear();
  if (in.at == size) return true;  // no extra data
  const uint8_t extra = in.u8();
  if ((extra & EXTRA_PORT) != 0) info->game_port = in.u16();
  if ((extra & 0x10) != 0) in.u32(), in.u32();   // a server id
  if ((extra & 0x40) != 0) in.u16(), in.text();  // a spectator port and name
  if ((extra & EXTRA_KEYWORDS) != 0) info->keywords = in.text();
  return in.ok;
}

uint32_t query_challenge(const uint64_t (&key)[2], uint32_t address, uint64_t epoch) {
  const uint64_t hash = siphash(key, address, epoch);
  const auto challenge = static_cast<uint32_t>(hash ^ (hash >> 32));
  return challenge == QUERY_NO_CHALLENGE ? 0 : challenge;
}
