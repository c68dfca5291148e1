// Faults against the real server process: a client that closes its
// connection, sends bytes that are not a clean number, or sends 70 bytes at
// once at each of its steps; data files that are missing, empty, truncated or
// not numeric; the port already taken; the console input ending at each
// question. In every case the server must end the way the protocol says
// (exit code 1 at a protocol break, exit code 2 when the operator's input
// ends) and never hang beyond a receive the protocol itself waits for.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "console/texts.h"
#include "net/conversation.h"
#include "net/protocol.h"
#include "tests/server_process.h"

namespace {

const char* const kStart = START_BANNER;
const char* const kWaiting = WAITING;
const std::string kAccepted = CONNECTING + peer_line("127.0.0.1");
const char* const kGreeted = CONNECTED;
const char* const kBadGreeting = GREETING_ERROR;
const char* const kBadEcho = ECHO_ERROR;
const char* const kRouteError = ROUTE_ERROR;
const std::string kPortTaken = ACCEPT_ERROR + peer_line("0.0.0.0");

// A client connection read as a byte stream: the server's messages may
// arrive run together when the client broke the alternation, so each one is
// matched by its exact text rather than taken as one receive.
class Stream {
 public:
  explicit Stream(TestClient& client) : client_(client) {}

  ::testing::AssertionResult expect(const std::string& label, const std::string& text) {
    while (pending_.size() < text.size()) {
      const std::string got = receive();
      if (got.empty()) {
        return ::testing::AssertionFailure()
               << "no '" << text << "' for " << label << " (connection ended or silent), have '"
               << pending_ << "'";
      }
      pending_ += got;
    }
    if (pending_.compare(0, text.size(), text) != 0) {
      return ::testing::AssertionFailure()
             << "for " << label << " expected '" << text << "', have '" << pending_ << "'";
    }
    pending_.erase(0, text.size());
    return ::testing::AssertionSuccess();
  }

  // Whether the server ends the connection without sending anything more.
  bool ends() {
    const std::string got = receive();
    pending_ += got;
    return got.empty() && pending_.empty();
  }

 private:
  // A silence fails the case by itself (TestClient), so that ends() cannot
  // take a server that says nothing more for one that closed.
  std::string receive() { return client_.recv_raw(); }

  TestClient& client_;
  std::string pending_;
};

// One message of a client's whole conversation with a server, labelled by
// its step as the server's log names it: "t2.x" for the client's x in turn
// 2, "t2.out.pos_x" for the server's pos_x of that turn's table.
struct Message {
  bool from_client;
  std::string label;
  std::string text;
};

using Conversation = std::vector<Message>;

// Walks the conversation from `at` to `until`, the client's values and the
// server's taken from `values` by step name (ACK when not named). With
// no_hit the damage reads as no hit whatever is sent for it.
void walk(Conversation& c, Cursor at, Step until, const std::string& prefix,
          const std::map<std::string, std::string>& values, bool no_hit = false) {
  while (at.step != until) {
    const bool from_client = speaker(at.step) == Speaker::Client;
    const std::string name = server_step_name(at.step);
    const auto value = values.find(name);
    const std::string text = value != values.end() ? value->second : "147";
    c.push_back({from_client, prefix + (from_client ? "" : "out.") + name, text});
    at = next_step(at, no_hit && at.step == Step::Damage ? NO_VALUE : std::stoi(text), 1);
  }
}

// One human, no bots, map 0 whose start position is (11, 22). Turn 1 sets
// the relays to 5 and 6; turn 2 sets them to 8 and 9, moves to (7, 8), hits
// itself for 10 and turns to 450.
Conversation one_human_two_turns(bool no_hit_in_turn_2) {
  Conversation c;
  walk(c, HANDSHAKE_START, Step::Joined, "", {{"player count", "1"}, {"echo", "1"}});
  walk(c, {Step::PlayerIndex, 0}, Step::Numbered, "", {{"player index", "0"}, {"map", "0"}});
  walk(c, EXCHANGE_START, Step::Done, "t1.",
       {{"relay_a", "5"},
        {"relay_b", "6"},
        {"x", "1"},
        {"y", "2"},
        {"damage", "10"},
        {"target", "1"},
        {"heading", "300"},
        {"pos_x", "11"},
        {"pos_y", "22"},
        {"health", "90"}});
  walk(c, EXCHANGE_START, Step::Done, "t2.",
       {{"relay_a", "8"},
        {"relay_b", "9"},
        {"x", "7"},
        {"y", "8"},
        {"damage", "10"},
        {"target", "1"},
        {"heading", "450"},
        {"pos_x", "7"},
        {"pos_y", "8"},
        {"health", "80"}},
       no_hit_in_turn_2);
  return c;
}

enum class Fault {
  Close,    // the client resets its connection instead of sending
  Replace,  // the client sends other bytes instead
  Seventy,  // this message padded to 64 bytes and the next one to 6, in one send
};

struct FaultCase {
  const char* name;
  const char* step;  // label of the client's message where the fault strikes
  Fault fault;
  std::string bytes = {};                            // for Replace
  std::map<std::string, std::string> expected = {};  // server messages that change
  bool no_target = false;   // the damage reads as no hit: no target is asked for
  bool breaks = false;      // the server ends the match right after this message
  bool greeting_ok = true;  // the handshake's console texts
  bool echo_ok = true;
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c) {
  return out << c.name;
}

std::string padded(const std::string& text, size_t size) {
  return text + std::string(size - text.size(), 'z');
}

const std::string kNoNumber("\xff?x\0yz", 6);

std::vector<FaultCase> fault_cases() {
  const char* const steps[] = {
      "greeting",
      "echo",
      "reply to the player index",
      "t2.relay_a",
      "t2.relay_b",
      "t2.x",
      "t2.y",
      "t2.damage",
      "t2.target",
      "t2.heading",
      "t2.reply to relay_a",
      "t2.reply to relay_b",
      "t2.reply to pos_x",
      "t2.reply to health",
  };
  std::vector<FaultCase> cases;
  // A closed connection gives -1 to every later receive, so whatever the
  // step, the exchange runs on to its reply to relay_a and breaks there.
  for (const char* step : steps) {
    FaultCase c{"close", step, Fault::Close};
    c.greeting_ok = std::string(step) != "greeting";
    c.echo_ok = c.greeting_ok && std::string(step) != "echo";
    cases.push_back(c);
  }
  // Two messages in one send are still read as two, the first 64 bytes
  // and then the remaining 6, so the match goes on as if sent apart.
  for (const char* step : steps) {
    if (std::string(step) != "t2.reply to health")
      cases.push_back({"seventy", step, Fault::Seventy});
  }
  const std::vector<FaultCase> replaced = {
      {"garbage", "greeting", Fault::Replace, kNoNumber, {}, false, false, false},
      {"greeting with line end", "greeting", Fault::Replace, "147\r\n"},
      {"garbage", "echo", Fault::Replace, kNoNumber, {}, false, false, true, false},
      {"echo with leading zero", "echo", Fault::Replace, "01"},
      {"garbage", "reply to the player index", Fault::Replace, kNoNumber},
      {"garbage keeps relay", "t2.relay_a", Fault::Replace, kNoNumber, {{"t2.out.relay_a", "5"}}},
      {"number then junk", "t2.relay_a", Fault::Replace, "+12abc", {{"t2.out.relay_a", "12"}}},
      {"garbage keeps relay", "t2.relay_b", Fault::Replace, kNoNumber, {{"t2.out.relay_b", "6"}}},
      {"garbage is no value", "t2.x", Fault::Replace, kNoNumber, {{"t2.out.pos_x", "-1"}}},
      {"number then junk", "t2.x", Fault::Replace, " \t-42;\xff", {{"t2.out.pos_x", "-42"}}},
      {"garbage is no value", "t2.y", Fault::Replace, kNoNumber, {{"t2.out.pos_y", "-1"}}},
      {"garbage is no hit",
       "t2.damage",
       Fault::Replace,
       kNoNumber,
       {{"t2.out.health", "90"}},
       true},
      {"zero is no hit", "t2.damage", Fault::Replace, "0", {{"t2.out.health", "90"}}, true},
      {"garbage names nobody", "t2.target", Fault::Replace, kNoNumber, {{"t2.out.health", "90"}}},
      {"garbage is no value", "t2.heading", Fault::Replace, kNoNumber, {{"t2.out.heading", "-1"}}},
      {"number then junk", "t2.heading", Fault::Replace, "7e5", {{"t2.out.heading", "7"}}},
      {"garbage breaks", "t2.reply to relay_a", Fault::Replace, kNoNumber, {}, false, true},
      {"near miss breaks", "t2.reply to relay_a", Fault::Replace, " 146", {}, false, true},
      {"ack then junk", "t2.reply to relay_a", Fault::Replace, "147xyz"},
      {"garbage dropped", "t2.reply to relay_b", Fault::Replace, kNoNumber},
      {"garbage dropped", "t2.reply to pos_x", Fault::Replace, kNoNumber},
      {"garbage dropped", "t2.reply to health", Fault::Replace, kNoNumber},
  };
  cases.insert(cases.end(), replaced.begin(), replaced.end());
  return cases;
}

class ClientFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ClientFault, EndsAsTheProtocolSays) {
  const FaultCase& fault = GetParam();
  const Conversation conversation = one_human_two_turns(fault.no_target);
  TempDir dir;
  put_bot_route_file(dir.path(), "");
  dir.write("dept0.txt", "11\n22\n");
  ServerProcess server;
  server.start(dir.path(), {"127.0.0.1"}, answers(1, 0, 0), false);
  ASSERT_TRUE(server.wait_for_output(kWaiting));
  TestClient client;
  ASSERT_NE(client.link.socket, INVALID_SOCKET_HANDLE);
  // A reset before the server has asked for the peer's address would show
  // 0.0.0.0; the faults here are about the messages.
  ASSERT_TRUE(server.wait_for_output("IP du PC"));
  Stream stream(client);

  bool struck = false;
  bool skip_next_send = false;
  for (size_t i = 0; i < conversation.size() && !struck; ++i) {
    const Message& m = conversation[i];
    if (!m.from_client) {
      const auto changed = fault.expected.find(m.label);
      ASSERT_TRUE(
          stream.expect(m.label, changed != fault.expected.end() ? changed->second : m.text));
      continue;
    }
    if (skip_next_send) {
      skip_next_send = false;
      continue;
    }
    if (m.label != fault.step) {
      client.send_raw(m.text);
      continue;
    }
    switch (fault.fault) {
      case Fault::Close:
        client.close();
        struck = true;
        break;
      case Fault::Replace:
        client.send_raw(fault.bytes);
        struck = fault.breaks;
        break;
      case Fault::Seventy: {
        size_t next = i + 1;
        while (!conversation[next].from_client) ++next;
        client.send_raw(padded(m.text, 64) + padded(conversation[next].text, 6));
        skip_next_send = true;
        break;
      }
    }
  }
  if (fault.breaks) {
    EXPECT_TRUE(stream.ends()) << "the server went on after a broken reply";
  }
  // Otherwise the match is still on; leaving ends it at the next reply to
  // relay_a.
  client.close();
  EXPECT_EQ(server.wait_exit(), 1);
  const std::string handshake = std::string(kWaiting) + kAccepted +
                                (fault.greeting_ok ? kGreeted : kBadGreeting) +
                                (fault.echo_ok ? "" : kBadEcho);
  EXPECT_EQ(server.output(), dialogue_output("127.0.0.1") + handshake + kStart + "\n dept0.txt");
}

std::string identifier(std::string text) {
  for (char& c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return text;
}

// A case's name as a test name.
template <typename Case>
std::string param_name(const ::testing::TestParamInfo<Case>& info) {
  return identifier(info.param.name);
}

std::string case_name(const ::testing::TestParamInfo<FaultCase>& info) {
  return identifier(std::string(info.param.name) + "_at_" + info.param.step + "_" +
                    std::to_string(info.index));
}

INSTANTIATE_TEST_SUITE_P(EveryStep, ClientFault, ::testing::ValuesIn(fault_cases()), case_name);

// --- Data files -----------------------------------------------------------

// What the clients of a match were sent in its first turn, and how it ended.
struct FirstTurn {
  std::vector<TurnView> views;  // by player index
  std::string output;
  std::string errors;
  int exit_code = -3;
};

// Plays the first turn of a match on map 0 with client q sending position
// (1 + 2q, 2 + 2q), then leaves. The bot route file holds first_routes at
// the first read and second_routes at the second (null: no file).
FirstTurn play_first_turn(int humans, int bots, const char* first_routes, const char* second_routes,
                          const char* starts) {
  FirstTurn result;
  TempDir dir;
  put_bot_route_file(dir.path(), first_routes);
  if (starts != nullptr) dir.write("dept0.txt", starts);
  ServerProcess server;
  server.start(dir.path(), {"127.0.0.1"}, answers(humans, bots, 0), false);
  // The first read is over once the connection phase has begun.
  EXPECT_TRUE(server.wait_for_output(kWaiting));
  put_bot_route_file(dir.path(), second_routes);
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int q = 0; q < humans; ++q) {
    clients.push_back(std::make_unique<TestClient>());
    EXPECT_EQ(client_join(clients.back()->link), humans + bots);
  }
  for (auto& client : clients) {
    int32_t index = -9, map = -9;
    client_learn(client->link, &index, &map);
  }
  for (int q = 0; q < humans; ++q) {
    TurnReport report;
    report.x = 1 + 2 * q;
    report.y = 2 + 2 * q;
    report.heading = 0;
    TurnView view;
    client_turn(clients[static_cast<size_t>(q)]->link, report, humans + bots, view);
    result.views.push_back(view);
  }
  clients.clear();
  result.exit_code = server.wait_exit();
  result.output = server.output();
  result.errors = server.errors();
  return result;
}

std::string handshakes(int humans) {
  std::string text;
  for (int q = 0; q < humans; ++q) text += std::string(kWaiting) + kAccepted + kGreeted;
  return text;
}

// 18 values per bot; bot b's x slot i is base + 100(b+1) + i, its y slot i
// base + 100(b+1) + 10 + i. Only the first `count` values are written, and
// the value at position `bad` (from 0) is written as a word instead.
std::string route_file(int bots, int base, int count = 1000, int bad = -1) {
  std::string text;
  int written = 0;
  for (int b = 0; b < bots; ++b) {
    for (int axis = 0; axis < 2; ++axis) {
      for (int i = 0; i < 9 && written < count; ++i, ++written) {
        text += written == bad ? "x7" : std::to_string(base + 100 * (b + 1) + 10 * axis + i);
        text += ' ';
      }
      text += '\n';
    }
  }
  return text;
}

struct RouteCase {
  const char* name;
  std::string first, second;  // "-" for no file
  int route_errors;
  std::vector<std::pair<int32_t, int32_t>> bots;  // where each bot stands in the first turn
};

std::ostream& operator<<(std::ostream& out, const RouteCase& c) {
  return out << c.name;
}

class RouteFile : public ::testing::TestWithParam<RouteCase> {};

// Each bot stands on slot 0 of its route in the first turn, so a client's
// table shows what the two reads left there.
TEST_P(RouteFile, BotsStandWhereTheReadsLeftThem) {
  const RouteCase& c = GetParam();
  const std::string a = route_file(2, 0), b = route_file(2, 5000);
  auto content = [&](const std::string& which) -> const char* {
    return which == "-"   ? nullptr
           : which == "A" ? a.c_str()
           : which == "B" ? b.c_str()
                          : which.c_str();
  };
  const FirstTurn turn = play_first_turn(1, 2, content(c.first), content(c.second), "11 22");
  EXPECT_EQ(turn.exit_code, 1);
  ASSERT_EQ(turn.views.size(), 1u);
  const std::vector<PlayerRow>& rows = turn.views[0].players;
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].x, 11);
  for (size_t bot = 0; bot < 2; ++bot) {
    SCOPED_TRACE("bot " + std::to_string(bot));
    EXPECT_EQ(rows[1 + bot].x, c.bots[bot].first);
    EXPECT_EQ(rows[1 + bot].y, c.bots[bot].second);
    EXPECT_EQ(rows[1 + bot].health, 100);
    EXPECT_EQ(rows[1 + bot].heading, 2600);
  }
  const std::string first_error =
      c.route_errors == 2 || (c.route_errors == 1 && c.first == "-") ? kRouteError : "";
  const std::string second_error =
      c.route_errors == 2 || (c.route_errors == 1 && c.second == "-") ? kRouteError : "";
  EXPECT_EQ(turn.output, dialogue_output("127.0.0.1") + first_error + handshakes(1) + second_error +
                             kStart + "\n dept0.txt");
}

INSTANTIATE_TEST_SUITE_P(
    Reads, RouteFile,
    ::testing::Values(
        RouteCase{"missing twice", "-", "-", 2, {{0, 0}, {0, 0}}},
        RouteCase{"empty twice", "", "", 0, {{0, 0}, {0, 0}}},
        RouteCase{"missing then whole", "-", "B", 1, {{5100, 5110}, {5200, 5210}}},
        RouteCase{"whole then missing", "A", "-", 1, {{100, 110}, {200, 210}}},
        RouteCase{
            "second cut after bot 0 x", "A", route_file(2, 5000, 9), 0, {{5100, 110}, {200, 210}}},
        RouteCase{"second cut inside bot 1 x",
                  "A",
                  route_file(2, 5000, 20),
                  0,
                  {{5100, 5110}, {5200, 210}}},
        RouteCase{"second not numeric at bot 0 y",
                  "A",
                  route_file(2, 5000, 1000, 9),
                  0,
                  {{5100, 110}, {200, 210}}},
        RouteCase{"cut inside bot 1 x twice",
                  route_file(2, 0, 19),
                  route_file(2, 0, 19),
                  0,
                  {{100, 110}, {200, 0}}},
        RouteCase{"not numeric from the start", "x 1 2", "x 1 2", 0, {{0, 0}, {0, 0}}},
        RouteCase{"empty then cut inside bot 0 y",
                  "",
                  route_file(2, 5000, 10),
                  0,
                  {{5100, 5110}, {0, 0}}}),
    param_name<RouteCase>);

struct StartCase {
  const char* name;
  const char* content;  // null: no file
  // What client 0 and then client 1 are sent as the two humans' positions.
  std::vector<std::vector<std::pair<int32_t, int32_t>>> seen;
};

std::ostream& operator<<(std::ostream& out, const StartCase& c) {
  return out << c.name;
}

class StartFile : public ::testing::TestWithParam<StartCase> {};

// Client 0 sends (1, 2) and client 1 (3, 4); each exchange stores them and
// then reads the file over them, so what a failed read leaves shows in the
// two clients' tables.
TEST_P(StartFile, PositionsKeepWhatTheyHeld) {
  const StartCase& c = GetParam();
  const FirstTurn turn = play_first_turn(2, 0, "", "", c.content);
  EXPECT_EQ(turn.exit_code, 1);
  ASSERT_EQ(turn.views.size(), 2u);
  for (size_t q = 0; q < 2; ++q) {
    ASSERT_EQ(turn.views[q].players.size(), 2u);
    for (size_t p = 0; p < 2; ++p) {
      SCOPED_TRACE("client " + std::to_string(q) + ", player " + std::to_string(p));
      EXPECT_EQ(turn.views[q].players[p].x, c.seen[q][p].first);
      EXPECT_EQ(turn.views[q].players[p].y, c.seen[q][p].second);
    }
  }
  // The name is shown at every read, whether or not the file is there.
  EXPECT_EQ(turn.output,
            dialogue_output("127.0.0.1") + handshakes(2) + kStart + "\n dept0.txt\n dept0.txt");
  if (c.content == nullptr) {
    EXPECT_NE(turn.errors.find("dept0.txt"), std::string::npos) << turn.errors;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Reads, StartFile,
    ::testing::Values(
        StartCase{"missing", nullptr, {{{1, 2}, {0, 0}}, {{1, 2}, {3, 4}}}},
        StartCase{"empty", "", {{{1, 2}, {0, 0}}, {{1, 2}, {3, 4}}}},
        StartCase{"whole", "10 20\n30 40\n", {{{10, 30}, {20, 40}}, {{10, 30}, {20, 40}}}},
        StartCase{"x line only", "10 20\n", {{{10, 2}, {20, 0}}, {{10, 2}, {20, 4}}}},
        StartCase{"cut inside y", "10 20\n30", {{{10, 30}, {20, 0}}, {{10, 30}, {20, 4}}}},
        StartCase{"not numeric inside x", "10 x 30 40", {{{10, 2}, {0, 0}}, {{10, 2}, {3, 4}}}}),
    param_name<StartCase>);

// --- The port already taken -----------------------------------------------

class PortTaken : public ::testing::TestWithParam<const char*> {};

// Another program holds the port. The historic server (no option) goes on:
// every accept fails at once, the failed entries read as closed
// connections, and the first exchange breaks. Given its port as an option,
// the server stops at once, before it waits for anyone, naming the port.
TEST_P(PortTaken, TheServerSaysSo) {
  const int taker = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(taker, 0);
  // The port is given back however the case ends, for the cases after it.
  const std::unique_ptr<const int, void (*)(const int*)> release(
      &taker, [](const int* fd) { ::close(*fd); });
  const int on = 1;
  setsockopt(taker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(test_port());
  ASSERT_EQ(inet_pton(AF_INET, GetParam(), &address.sin_addr), 1);
  ASSERT_EQ(::bind(taker, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taker, 1), 0);

  TempDir dir;
  put_bot_route_file(dir.path(), "");
  ServerProcess server;
  server.start(dir.path(), {"127.0.0.1"}, answers(2, 0, 0), false);
  const std::string port_named = "port " + std::to_string(test_port());
  if (server_has_port_option()) {
    EXPECT_EQ(server.wait_exit(), 3);
    EXPECT_EQ(server.output(), dialogue_output("127.0.0.1"));
    EXPECT_NE(server.errors().find(port_named), std::string::npos) << server.errors();
    return;
  }
  EXPECT_EQ(server.wait_exit(), 1);
  std::string failed;
  for (int q = 0; q < 2; ++q) {
    failed += std::string(kWaiting) + kPortTaken + kBadGreeting + kBadEcho;
  }
  EXPECT_EQ(server.output(), dialogue_output("127.0.0.1") + failed + kStart + "\n dept0.txt");
  EXPECT_NE(server.errors().find(port_named), std::string::npos) << server.errors();
}

INSTANTIATE_TEST_SUITE_P(ByAnotherProgram, PortTaken, ::testing::Values("127.0.0.1", "0.0.0.0"),
                         [](const ::testing::TestParamInfo<const char*>& param_info) {
                           return param_info.index == 0 ? std::string("OnLoopback")
                                                        : std::string("OnAnyAddress");
                         });

// --- Console input ending -------------------------------------------------

struct EndOfInputCase {
  const char* name;
  const char* input;
  const char* last_prompt;  // the output runs up to and including it
  std::string after;        // what follows it
};

std::ostream& operator<<(std::ostream& out, const EndOfInputCase& c) {
  return out << c.name;
}

class ConsoleEnds : public ::testing::TestWithParam<EndOfInputCase> {};

TEST_P(ConsoleEnds, ExitsWithCode2AfterThePromptsSoFar) {
  const EndOfInputCase& c = GetParam();
  TempDir dir;
  ServerProcess server;
  server.start(dir.path(), {"127.0.0.1"}, c.input, true);
  EXPECT_EQ(server.wait_exit(), 2);
  const std::string dialogue = dialogue_output("127.0.0.1");
  const size_t end = dialogue.find(c.last_prompt);
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(server.output(), dialogue.substr(0, end + std::strlen(c.last_prompt)) + c.after);
  EXPECT_NE(server.errors().find("end of console input"), std::string::npos) << server.errors();
}

const char* const kHumansPrompt = HUMANS_PROMPT;
const char* const kBotsPrompt = BOTS_PROMPT;
const char* const kMapPrompt = MAP_PROMPT;

INSTANTIATE_TEST_SUITE_P(
    AtEachQuestion, ConsoleEnds,
    ::testing::Values(EndOfInputCase{"no input at all", "", kHumansPrompt, ""},
                      EndOfInputCase{"only white space", " \n\t\n", kHumansPrompt, ""},
                      EndOfInputCase{"after the humans", "2\n", kBotsPrompt, ""},
                      EndOfInputCase{"after the bots", "2\n1\n", kMapPrompt, ""},
                      EndOfInputCase{"after the bots without line end", "2\n1", kMapPrompt, ""},
                      EndOfInputCase{"after a refused answer", "abc\n", kHumansPrompt,
                                     std::string(NOT_AN_INTEGER) + HUMANS_PROMPT}),
    param_name<EndOfInputCase>);

}  // namespace
