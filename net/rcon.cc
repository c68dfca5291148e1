#include "net/rcon.h"

namespace {

int32_t read_int32(const char* data) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  const uint32_t value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                         static_cast<uint32_t>(bytes[2]) << 16 |
                         static_cast<uint32_t>(bytes[3]) << 24;
  return static_cast<int32_t>(value);
}

void append_int32(std::string& out, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<char>(bits >> shift & 0xff));
}

}  // namespace

RconRead rcon_read_packet(const char* data, size_t size, RconPacket* packet, size_t* used) {
  if (size < 4) return RconRead::NeedMore;
  const int32_t length = read_int32(data);
  if (length < RCON_MIN_SIZE || length > RCON_MAX_SIZE) return RconRead::Malformed;
  const size_t whole = 4 + static_cast<size_t>(length);
  if (size < whole) return RconRead::NeedMore;
  // The body's terminator and the empty text's: both zero.
  if (data[whole - 1] != '\0' || data[whole - 2] != '\0') return RconRead::Malformed;
  packet->id = read_int32(data + 4);
  packet->type = read_int32(data + 8);
  const char* body = data + 12;
  const char* end = data + whole - 2;
  const char* stop = body;
  while (stop < end && *stop != '\0') ++stop;
  packet->body.assign(body, static_cast<size_t>(stop - body));
  *used = whole;
  return RconRead::Packet;
}

void rcon_append_packet(std::string& out, int32_t id, int32_t type, std::string_view body) {
  append_int32(out, static_cast<int32_t>(body.size()) + RCON_MIN_SIZE);
  append_int32(out, id);
  append_int32(out, type);
  out.append(body);
  out.append(2, '\0');
}

void rcon_append_answer(std::string& out, int32_t id, std::string_view text) {
  std::string clean;
  clean.reserve(text.size());
  for (const char c : text) {
    if (c != '\0') clean.push_back(c);
  }
  std::string_view rest = clean;
  do {
    size_t take = rest.size();
    if (take > RCON_MAX_BODY) {
      // The last line's end that fits; a line longer than a packet is cut.
      const size_t line_end = rest.substr(0, RCON_MAX_BODY).rfind('\n');
      take = line_end == std::string_view::npos ? RCON_MAX_BODY : line_end + 1;
    }
    rcon_append_packet(out, id, RCON_RESPONSE_VALUE, rest.substr(0, take));
    rest.remove_prefix(take);
  } while (!rest.empty());
}
