// The remote console's packet reader on any bytes a client may send, as the
// listener feeds it: packet after packet from the front of what has come.
// Each packet read must lie within the bytes, carry a size within the
// protocol's bounds, and read back the same once written again; and an
// answer made of the same bytes must come back whole, in packets that fit.
//
// Input: the bytes received on one connection, any length.
#include <string>

#include "fuzz/fuzz_support.h"
#include "net/rcon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  size_t at = 0;
  for (;;) {
    RconPacket packet;
    size_t used = 0;
    const RconRead read = rcon_read_packet(bytes.data() + at, bytes.size() - at, &packet, &used);
    if (read != RconRead::Packet) break;
    FUZZ_REQUIRE(used >= 4 + RCON_MIN_SIZE && used <= 4 + RCON_MAX_SIZE && used <= size - at,
                 "a packet of %zu bytes at %zu of %zu", used, at, size);
    FUZZ_REQUIRE(packet.body.size() <= used - 4 - RCON_MIN_SIZE, "a body of %zu in %zu bytes",
                 packet.body.size(), used);
    FUZZ_REQUIRE(packet.body.find('\0') == std::string::npos, "a zero byte in the body");
    std::string again;
    rcon_append_packet(again, packet.id, packet.type, packet.body);
    RconPacket reread;
    size_t reused = 0;
    FUZZ_REQUIRE(
        rcon_read_packet(again.data(), again.size(), &reread, &reused) == RconRead::Packet &&
            reused == again.size() && reread.id == packet.id && reread.type == packet.type &&
            reread.body == packet.body,
        "packet id %d type %d does not read back", static_cast<int>(packet.id),
        static_cast<int>(packet.type));
    at += used;
  }

  std::string answer;
  rcon_append_answer(answer, 9, bytes);
  std::string joined;
  size_t packets = 0;
  for (size_t from = 0; from < answer.size();) {
    RconPacket packet;
    size_t used = 0;
    FUZZ_REQUIRE(rcon_read_packet(answer.data() + from, answer.size() - from, &packet, &used) ==
                     RconRead::Packet,
                 "answer packet %zu unreadable", packets);
    FUZZ_REQUIRE(packet.id == 9 && packet.type == RCON_RESPONSE_VALUE, "answer packet %zu",
                 packets);
    joined += packet.body;
    from += used;
    ++packets;
  }
  std::string expected;
  for (const char c : bytes) {
    if (c != '\0') expected.push_back(c);
  }
  FUZZ_REQUIRE(joined == expected, "the answer came back as %zu of %zu bytes", joined.size(),
               expected.size());
  FUZZ_REQUIRE(packets >= 1, "no packet for an answer");
  return 0;
}
