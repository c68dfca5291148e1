#include "net/message.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <limits>
#include <string>

namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

std::string formatted(int32_t value) {
  char text[MESSAGE_MAX_DIGITS + 1];
  const size_t length = format_int(value, text);
  EXPECT_EQ(length, std::string(text).size());
  return text;
}

TEST(FormatInt, WritesPlainDecimalText) {
  const struct {
    int32_t value;
    const char* text;
  } cases[] = {{147, "147"},         {0, "0"},   {-1, "-1"},
               {-2, "-2"},           {10, "10"}, {kMax, "2147483647"},
               {kMin, "-2147483648"}};
  for (const auto& c : cases) EXPECT_EQ(formatted(c.value), c.text) << c.value;
}

TEST(ParseInt, FollowsAtoiRules) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"147", 147},  {"0", 0},   {"-1", -1},       {"-2", -2},    {"  25", 25},
      {"25abc", 25}, {"abc", 0}, {"+7", 7},        {"", 0},       {"\t\r\n 5", 5},
      {"- 5", 0},    {"--5", 0}, {"147\r\n", 147}, {"12 34", 12}, {"007", 7},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_int(c.text), c.value) << '"' << c.text << '"';
}

TEST(ParseInt, SaturatesOutsideTheIntegerRange) {
  EXPECT_EQ(parse_int("2147483647"), kMax);
  EXPECT_EQ(parse_int("2147483648"), kMax);
  EXPECT_EQ(parse_int("-2147483648"), kMin);
  EXPECT_EQ(parse_int("-2147483649"), kMin);
  EXPECT_EQ(parse_int("99999999999999999999999999999999999999999999"), kMax);
  EXPECT_EQ(parse_int("-00000000000000000000000000000000000000000042"), -42);
}

TEST(ParseInt, ReadsBackEveryFormattedValue) {
  for (int64_t v = kMin; v <= kMax; v += 104729LL * 97) {
    EXPECT_EQ(parse_int(formatted(static_cast<int32_t>(v)).c_str()), v);
  }
  EXPECT_EQ(parse_int(formatted(kMax).c_str()), kMax);
}

// A connected pair of TCP sockets on loopback (an ephemeral port, so the
// server's port stays free).
class MessageOverTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    ASSERT_EQ(listen(listener, 1), 0);
    client_ = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    server_ = accept(listener, nullptr, nullptr);
    close(listener);
    ASSERT_GE(server_, 0);
  }
  void TearDown() override {
    if (client_ >= 0) close(client_);
    close(server_);
  }
  void client_writes(const std::string& bytes) {
    ASSERT_EQ(write(client_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Waits until `count` bytes have arrived at the server's end, without
  // taking them.
  void wait_for_bytes_at_server(size_t count) {
    std::string bytes(count, '\0');
    ASSERT_EQ(recv(server_, bytes.data(), count, MSG_PEEK | MSG_WAITALL),
              static_cast<ssize_t>(count));
  }
  std::string client_reads() {
    char buffer[100];
    const ssize_t n = read(client_, buffer, sizeof buffer);
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  }
  int client_ = -1;
  int server_ = -1;
};

TEST_F(MessageOverTcp, SendPutsOnlyTheDigitsOnTheWire) {
  send_int(server_, 147);
  EXPECT_EQ(client_reads(), "147");
  send_int(server_, -2);
  EXPECT_EQ(client_reads(), "-2");
  send_int(server_, 0);
  EXPECT_EQ(client_reads(), "0");
  char text[100];
  send_int_in(server_, kMin, text);
  EXPECT_EQ(client_reads(), "-2147483648");
}

TEST_F(MessageOverTcp, MessagesLyingTogetherAreReadAsOne) {
  client_writes("12");
  client_writes("5");
  wait_for_bytes_at_server(3);
  char buffer[MESSAGE_LIMIT + 1];
  EXPECT_EQ(recv_number(server_, buffer), 125);
}

TEST_F(MessageOverTcp, ALongTextIsReadSixtyFourBytesAtATime) {
  const std::string first(64, '7');
  client_writes(first + "123456");
  wait_for_bytes_at_server(first.size() + 6);
  char buffer[MESSAGE_LIMIT + 1];
  EXPECT_EQ(recv_number(server_, buffer), kMax);  // 64 sevens saturate
  EXPECT_EQ(recv_number(server_, buffer), 123456);
}

TEST_F(MessageOverTcp, AClosedConnectionReadsAsZero) {
  close(client_);
  client_ = -1;
  char buffer[MESSAGE_LIMIT + 1];
  EXPECT_EQ(recv_number(server_, buffer), 0);
  // A write to the closed connection fails quietly instead of ending the process.
  send_int(server_, 147);
  send_int(server_, 147);
  EXPECT_EQ(recv_number(server_, buffer), 0);
}

}  // namespace
