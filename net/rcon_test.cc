#include "net/rcon.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string packet(int32_t size, int32_t id, int32_t type, const std::string& rest) {
  std::string bytes;
  for (const int32_t v : {size, id, type}) {
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<char>(static_cast<uint32_t>(v) >> shift & 0xff));
    }
  }
  return bytes + rest;
}

TEST(Rcon, PacketsAreReadWholeOrRefused) {
  const std::string ok = packet(10 + 6, 7, RCON_EXECCOMMAND, std::string("status\0\0", 8));
  struct Case {
    const char* name;
    std::string bytes;
    RconRead read;
    const char* body;
  };
  const Case cases[] = {
      {"whole", ok, RconRead::Packet, "status"},
      {"a second packet behind it", ok + ok, RconRead::Packet, "status"},
      {"cut in its size", ok.substr(0, 3), RconRead::NeedMore, ""},
      {"cut in its body", ok.substr(0, ok.size() - 1), RconRead::NeedMore, ""},
      {"empty body", packet(10, 1, RCON_AUTH, std::string(2, '\0')), RconRead::Packet, ""},
      {"a zero inside the body ends it",
       packet(10 + 3, 1, RCON_EXECCOMMAND, std::string("a\0b\0\0", 5)), RconRead::Packet, "a"},
      {"size below the smallest", packet(9, 1, 2, std::string(1, '\0')), RconRead::Malformed, ""},
      {"negative size", packet(-5, 1, 2, ""), RconRead::Malformed, ""},
      {"size above the limit", packet(RCON_MAX_SIZE + 1, 1, 2, ""), RconRead::Malformed, ""},
      {"no terminators", packet(10 + 2, 1, 2, "abcd"), RconRead::Malformed, ""},
  };
  for (const Case& c : cases) {
    RconPacket read;
    size_t used = 0;
    EXPECT_EQ(rcon_read_packet(c.bytes.data(), c.bytes.size(), &read, &used), c.read) << c.name;
    if (c.read != RconRead::Packet) continue;
    EXPECT_EQ(read.body, c.body) << c.name;
    // Only the first packet is taken, whole.
    EXPECT_EQ(used, 4 + static_cast<size_t>(static_cast<unsigned char>(c.bytes[0]))) << c.name;
  }
  RconPacket read;
  size_t used = 0;
  ASSERT_EQ(rcon_read_packet(ok.data(), ok.size(), &read, &used), RconRead::Packet);
  EXPECT_EQ(used, ok.size());
  EXPECT_EQ(read.id, 7);
  EXPECT_EQ(read.type, RCON_EXECCOMMAND);
}

// Reads back every packet of an answer: their bodies, in order.
std::vector<std::string> bodies_of(const std::string& bytes, int32_t id) {
  std::vector<std::string> bodies;
  size_t at = 0;
  while (at < bytes.size()) {
    RconPacket read;
    size_t used = 0;
    EXPECT_EQ(rcon_read_packet(bytes.data() + at, bytes.size() - at, &read, &used),
              RconRead::Packet);
    if (used == 0) break;
    EXPECT_EQ(read.id, id);
    EXPECT_EQ(read.type, RCON_RESPONSE_VALUE);
    bodies.push_back(read.body);
    at += used;
  }
  return bodies;
}

TEST(Rcon, AnAnswerIsSplitAtLineEndsIntoPacketsThatFit) {
  std::string lines;
  for (int i = 0; i < 400; ++i) lines += "bot " + std::to_string(i) + " playing health 100\n";
  const std::string endless(RCON_MAX_BODY + 10, 'x');
  struct Case {
    const char* name;
    std::string text;
    size_t packets;
  };
  const Case cases[] = {
      {"none", "", 1},
      {"short", "paused\n", 1},
      {"exactly one packet's worth", std::string(RCON_MAX_BODY, 'y'), 1},
      {"many lines", lines, (lines.size() + RCON_MAX_BODY - 1) / RCON_MAX_BODY + 1},
      {"one line longer than a packet", endless, 2},
  };
  for (const Case& c : cases) {
    std::string bytes;
    rcon_append_answer(bytes, 42, c.text);
    const std::vector<std::string> bodies = bodies_of(bytes, 42);
    std::string joined;
    for (const std::string& body : bodies) {
      EXPECT_LE(body.size(), RCON_MAX_BODY) << c.name;
      joined += body;
    }
    EXPECT_EQ(joined, c.text) << c.name;
    if (c.text == lines) {
      EXPECT_GE(bodies.size(), 2u) << c.name;
      EXPECT_LE(bodies.size(), c.packets) << c.name;
      for (const std::string& body : bodies) EXPECT_EQ(body.back(), '\n') << c.name;
    } else {
      EXPECT_EQ(bodies.size(), c.packets) << c.name;
    }
  }
}

}  // namespace
