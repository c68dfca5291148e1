#include "net/query.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::vector<uint8_t> bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

const std::string H = "\xFF\xFF\xFF\xFF";
const std::string INFO = H + "TSource Engine Query" + std::string(1, '\0');

TEST(QueryRequest, OnlyWholeRequestsAreRead) {
  const struct {
    std::string datagram;
    bool read;
    QueryKind kind;
    uint32_t challenge;
  } cases[] = {
      {INFO, true, QueryKind::Info, QUERY_NO_CHALLENGE},
      {INFO + "\x01\x02\x03\x04", true, QueryKind::Info, 0x04030201u},
      {H + "U\xFF\xFF\xFF\xFF", true, QueryKind::Players, QUERY_NO_CHALLENGE},
      {H + std::string("V\x10\x00\x00\x80", 5), true, QueryKind::Rules, 0x80000010u},
      {"", false, {}, 0},
      {H, false, {}, 0},
      {INFO.substr(0, INFO.size() - 1), false, {}, 0},  // no zero byte
      {INFO + "\x01\x02\x03", false, {}, 0},            // a truncated challenge
      {INFO + "\x01\x02\x03\x04\x05", false, {}, 0},    // one byte too many
      {H + "U\xFF\xFF\xFF", false, {}, 0},
      {H + "V", false, {}, 0},
      {H + "W", false, {}, 0},  // no request of this server
      {"\xFE\xFF\xFF\xFFU\xFF\xFF\xFF\xFF", false, {}, 0},
      {H + "TSource Engine Querx" + std::string(1, '\0'), false, {}, 0},
      {INFO + std::string(60, 'x'), false, {}, 0},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> datagram = bytes(c.datagram);
    QueryRequest request;
    EXPECT_EQ(query_read_request(datagram.data(), datagram.size(), &request), c.read)
        << c.datagram.size() << " bytes";
    if (!c.read) continue;
    EXPECT_EQ(request.kind, c.kind);
    EXPECT_EQ(request.challenge, c.challenge);
    EXPECT_EQ(query_write_request(c.kind, c.challenge), datagram);
  }
}

TEST(QueryAnswers, InfoReadsBackAndLongListsStopAtThePacketSize) {
  QueryInfo info;
  info.name = std::string("LAN\0party", 9);  // a zero byte ends the text
  info.map = "Vevoder";
  info.folder = "zolt";
  info.game = "ZOLT";
  info.version = "1.5";
  info.keywords = "free";
  info.players = 2;
  info.max_players = 4;
  info.bots = 9;
  info.game_port = 2000;
  const std::vector<uint8_t> packet = query_write_info(info);
  QueryInfo read;
  ASSERT_TRUE(query_read_info(packet.data(), packet.size(), &read));
  EXPECT_EQ(read.name, "LAN");
  EXPECT_EQ(read.map, "Vevoder");
  EXPECT_EQ(read.keywords, "free");
  EXPECT_EQ(read.players, 2);
  EXPECT_EQ(read.max_players, 4);
  EXPECT_EQ(read.bots, 9);
  EXPECT_EQ(read.game_port, 2000);
  // A cut packet is refused, but where the extra data would begin (it may be left out).
  const size_t without_extra = packet.size() - 1 - 2 - 5;
  for (size_t cut = 0; cut < packet.size(); ++cut) {
    EXPECT_EQ(query_read_info(packet.data(), cut, &read), cut == without_extra) << cut;
  }

  std::vector<QueryPlayer> players(300, QueryPlayer{std::string(40, 'n'), 7, 1.5f});
  const std::vector<uint8_t> list = query_write_players(players);
  EXPECT_LE(list.size(), QUERY_PACKET_SIZE);
  const size_t each = 1 + 41 + 4 + 4;
  EXPECT_EQ(list[5], (QUERY_PACKET_SIZE - 6) / each);
  EXPECT_EQ(list.size(), 6 + list[5] * each);
  players.resize(3);
  EXPECT_EQ(query_write_players(players)[5], 3);
  const std::vector<uint8_t> long_name = query_write_players({{std::string(1000, 'x'), 0, 0}});
  EXPECT_EQ(long_name.size(), 6 + 1 + 256 + 8u);
}

TEST(QueryChallenge, DependsOnKeyAddressAndEpochAndIsNeverTheAsking) {
  const uint64_t key[2] = {0x0123456789abcdefULL, 0xfedcba9876543210ULL};
  const uint64_t other[2] = {0x0123456789abcdefULL, 0xfedcba9876543211ULL};
  const uint32_t c = query_challenge(key, 0x7F000001u, 5);
  EXPECT_EQ(query_challenge(key, 0x7F000001u, 5), c);
  EXPECT_NE(query_challenge(key, 0x7F000002u, 5), c);
  EXPECT_NE(query_challenge(key, 0x7F000001u, 6), c);
  EXPECT_NE(query_challenge(other, 0x7F000001u, 5), c);
  for (uint32_t a = 0; a < 100000; ++a) EXPECT_NE(query_challenge(key, a, 1), QUERY_NO_CHALLENGE);
  uint32_t read = 0;
  const std::vector<uint8_t> packet = query_write_challenge(c);
  ASSERT_EQ(packet.size(), 9u);
  ASSERT_TRUE(query_read_challenge(packet.data(), packet.size(), &read));
  EXPECT_EQ(read, c);
}

}  // namespace
