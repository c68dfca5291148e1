// Every client at once (--concurrent) against one at a time: the same
// scripted clients, each of whose values depends on everything it has
// received so far, play the same match both ways. Each client must receive
// the same values, and the console, the exit code and the recording must be
// the same, whatever the order in which the server takes their messages.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "net/conversation.h"
#include "net/message.h"
#include "net/protocol.h"
#include "net/socket.h"
#include "tests/server_process.h"

namespace {

constexpr int32_t kHumans = 4;
constexpr int32_t kBots = 2;
constexpr int kTurns = 6;

struct Script {
  int leave_turn = 0;          // in this turn the client closes instead of sending...
  Step leave_at = Step::Done;  // ...at this step
  int break_turn = 0;          // in this turn it replies 146 to relay_a
};

// A client that walks the conversation with values drawn from a running hash
// of all it has received: any difference in what it is sent shows in all it
// sends afterwards, and so in what the others are sent.
class ScriptedClient {
 public:
  ScriptedClient(SocketHandle socket, Script script) : socket_(socket), script_(script) {}

  void play() {
    int32_t players = 0;
    for (Cursor at = HANDSHAKE_START; at.step != Step::Numbered;) {
      int32_t value = ACK;
      if (at.step == Step::Joined) {
        at = {Step::PlayerIndex, 0};
        continue;
      }
      if (speaker(at.step) == Speaker::Client) {
        if (at.step == Step::Echo) value = players;
        send_int(socket_, value);
      } else if (!receive(&value)) {
        return;
      }
      if (at.step == Step::PlayerCount) players = value;
      at = next_step(at, value, players);
    }
    for (int turn = 1; turn <= kTurns; ++turn) {
      for (Cursor at = EXCHANGE_START; at.step != Step::Done;) {
        int32_t value = ACK;
        if (speaker(at.step) == Speaker::Client) {
          if (turn == script_.leave_turn && at.step == script_.leave_at) return;
          value = value_at(at.step, players, turn);
          send_int(socket_, value);
          // After a broken reply the server ends the match: nothing follows.
          if (value != ACK && at.step == Step::ReplyToRelayA) return drain();
        } else if (!receive(&value)) {
          return;
        }
        at = next_step(at, value, players);
      }
    }
  }

  const std::vector<int32_t>& received() const { return received_; }

  // A gentle close: what a leaving client sent before it must still be read.
  void close() { socket_close(socket_); }

 private:
  bool receive(int32_t* value) {
    const std::string got = receive_bounded(socket_, "a message from the server");
    if (got.empty()) return false;
    *value = parse_int(got.c_str());
    received_.push_back(*value);
    hash_ = (hash_ ^ static_cast<uint32_t>(*value)) * 16777619u;
    return true;
  }

  void drain() {
    int32_t value;
    while (receive(&value)) {
    }
  }

  int32_t pick(uint32_t range) {
    hash_ = hash_ * 16777619u + 2166136261u;
    return static_cast<int32_t>((hash_ >> 8) % range);
  }

  int32_t value_at(Step step, int32_t players, int turn) {
    switch (step) {
      case Step::RelayA:
      case Step::RelayB: {
        const int32_t kind = pick(4);  // keep, clear, or set
        return kind == 0 ? NO_VALUE : kind == 1 ? CLEAR_VALUE : 1 + pick(90);
      }
      case Step::X:
      case Step::Y:
        return pick(800) - 100;
      case Step::Damage:
        return pick(3) == 0 ? 1 + pick(30) : NO_VALUE;
      case Step::Target:
        return pick(static_cast<uint32_t>(players) + 2);  // 0 and players + 1 name nobody
      case Step::Heading:
        return pick(3600);
      case Step::ReplyToRelayA:
        return turn == script_.break_turn ? 146 : ACK;
      default:
        return ACK;
    }
  }

  SocketHandle socket_;
  Script script_;
  uint32_t hash_ = 2166136261u;
  std::vector<int32_t> received_;
};

struct Played {
  std::vector<std::vector<int32_t>> received;  // per client
  std::string console, recording;
  int exit_code = 0;
};

Played play_match(const std::vector<Script>& scripts, std::vector<std::string> options) {
  TempDir dir;
  put_bot_route_file(dir.path(),
                     "360 342 300 258 240 258 300 342 360\n300 342 360 342 300 258 240 258 300\n"
                     "517 483 429 388 383 417 471 512 517\n321 362 367 333 279 238 233 267 321\n");
  dir.write("dept0.txt", "100 900 500 300\n100 700 40 60\n");
  options.insert(options.end(), {"--humans", std::to_string(kHumans), "--bots",
                                 std::to_string(kBots), "--map", "0", "--record", "match.jsonl"});
  ServerProcess server;
  server.start(dir.path(), options, "", true);
  Played played;
  if (!server.wait_until_listening()) {
    ADD_FAILURE() << "the server does not listen: " << server.errors();
    return played;
  }
  // Each connects once the server has logged the one before it as joined,
  // so that each gets the same player index in both matches.
  std::vector<ScriptedClient> clients;
  clients.reserve(scripts.size());
  ClientThreads threads;
  std::string err;
  for (const Script& script : scripts) {
    const SocketHandle socket = socket_connect("127.0.0.1", test_port(), &err);
    EXPECT_NE(socket, INVALID_SOCKET_HANDLE) << err;
    bound_receives(socket);
    ScriptedClient& client = clients.emplace_back(socket, script);
    threads.start([&client] {
      client.play();
      client.close();
    });
    const std::string joined = "player " + std::to_string(clients.size() - 1) + " joined from";
    if (!server.wait_for_log(joined)) {
      ADD_FAILURE() << "no '" << joined << "' in the server's log: " << server.errors();
      break;
    }
  }
  threads.join_all();
  played.exit_code = server.wait_exit();
  played.console = server.output();
  played.recording = read_file(dir.path() + "/match.jsonl");
  // The end record says how long the match lasted: the one thing that may
  // differ, with the machine's pace.
  played.recording = std::regex_replace(played.recording, std::regex("\"seconds\": [0-9]+\\.[0-9]"),
                                        "\"seconds\"");
  for (const ScriptedClient& client : clients) played.received.push_back(client.received());
  return played;
}

struct DifferentialCase {
  const char* name;
  std::vector<Script> scripts;
  std::vector<std::string> options;
  int compared_clients;  // the clients whose bytes must match: all but those after a break
};

std::ostream& operator<<(std::ostream& out, const DifferentialCase& c) {
  return out << c.name;
}

class AtOnce : public ::testing::TestWithParam<DifferentialCase> {};

TEST_P(AtOnce, EveryClientIsSentWhatOneAtATimeSendsIt) {
  const DifferentialCase& c = GetParam();
  const Played in_turn = play_match(c.scripts, c.options);
  std::vector<std::string> at_once_options = c.options;
  at_once_options.push_back("--concurrent");
  const Played at_once = play_match(c.scripts, at_once_options);

  EXPECT_EQ(at_once.exit_code, in_turn.exit_code);
  EXPECT_EQ(at_once.console, in_turn.console);
  EXPECT_EQ(at_once.recording, in_turn.recording);
  EXPECT_NE(in_turn.recording.find("{\"turn\": 3,"), std::string::npos)
      << "the match ended early: " << in_turn.recording;
  for (int q = 0; q < c.compared_clients; ++q) {
    const auto k = static_cast<size_t>(q);
    if (c.scripts[k].leave_turn == 0 && c.scripts[k].break_turn == 0) {
      EXPECT_GT(in_turn.received[k].size(), 100u) << "client " << q;
    }
    EXPECT_EQ(at_once.received[k], in_turn.received[k]) << "client " << q;
  }
}

INSTANTIATE_TEST_SUITE_P(
    SameBytes, AtOnce,
    ::testing::Values(
        DifferentialCase{
            "leaver_dropped", {{}, {}, {3, Step::Y}, {}}, {"--drop-broken-clients"}, kHumans},
        DifferentialCase{"leaver_at_a_reply_dropped",
                         {{}, {2, Step::ReplyToRowHealth}, {}, {}},
                         {"--drop-broken-clients"},
                         kHumans},
        DifferentialCase{"protocol_break_ends_the_match", {{}, {}, {0, Step::Done, 4}, {}}, {}, 3}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
