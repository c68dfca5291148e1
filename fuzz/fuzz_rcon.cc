// The remote console's packet reader on any bytes a client may send, as the
// listener feeds it: packet after packet from the front of what has come.
// Each packet read must lie within the bytes, carry a size within the
// protocol's bounds, and read back the same once written again; and an
// answer made of the same bytes must come back whole, in packets that fit.
//
// Then the listener's state of one connection on the same bytes, come in
// pieces with time passing between them: whatever comes, nothing is taken
// while an answer is awaited, a command is taken only once the password
// has been, what is sent reads back as whole packets, and a wrong password
// closes the connection.
//
// Input: the bytes received on one connection, any length.
#include <string>

#include "console/log.h"
#include "fuzz/fuzz_support.h"
#include "net/rcon.h"
#include "server/rcon_listener.h"

namespace {

void drive_connection(const std::string& bytes) {
  RconGate gate;
  gate.password = "a-long-fuzz-secret";
  RconConnection c;
  c.address = "127.0.0.1";
  c.origin = "rcon 127.0.0.1:1";
  auto now = RconClock::time_point{} + std::chrono::hours(1);
  c.opened = now;
  uint64_t tickets = 0;
  bool was_authenticated = false;
  // Each piece: a byte of its length, one of the time passed, the bytes.
  for (size_t at = 0; at + 2 <= bytes.size() && !c.closing;) {
    const size_t length = std::min<size_t>(static_cast<uint8_t>(bytes[at]), bytes.size() - at - 2);
    now += std::chrono::milliseconds(static_cast<uint8_t>(bytes[at + 1]) * 64);
    c.in.append(bytes, at + 2, length);
    at += 2 + length;
    const bool awaiting = c.ticket != 0 || !c.held.empty();
    const size_t in_before = c.in.size();
    rcon_release_held(c, now);
    const bool still_awaiting = c.ticket != 0 || !c.held.empty();
    rcon_take_packets(gate, c, now, [&](const std::string& line) {
      FUZZ_REQUIRE(c.authenticated, "a command taken before the password: %zu bytes", line.size());
      return ++tickets;
    });
    FUZZ_REQUIRE(!(awaiting && still_awaiting) || c.in.size() == in_before,
                 "bytes taken while an answer is awaited");
    FUZZ_REQUIRE(!was_authenticated || c.authenticated, "a login undone");
    was_authenticated = c.authenticated;
    if (c.ticket != 0) rcon_answer_command(c, "answer\n");
  }
  now += std::chrono::seconds(60);
  rcon_release_held(c, now);
  for (size_t from = 0; from < c.out.size();) {
    RconPacket packet;
    size_t used = 0;
    FUZZ_REQUIRE(rcon_read_packet(c.out.data() + from, c.out.size() - from, &packet, &used) ==
                     RconRead::Packet,
                 "a packet sent at %zu of %zu does not read back", from, c.out.size());
    from += used;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    std::string err;
    return log_open("/dev/null", false, &err);
  }();
  (void)quiet;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  drive_connection(bytes);
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
