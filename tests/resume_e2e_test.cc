// A match that survives its server: the same scripted players play a match
// without interruption, and again with the server killed (SIGKILL) after a
// turn and started again with --resume. Each player's values depend on its
// slot, the turn and all its slot has been sent, so any difference in what
// the resumed server sends shows in everything after it. Each player comes
// from an address of its own and comes back in the reverse order: the
// server must give each its slot back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <csignal>

#include "console/texts.h"
#include "net/client.h"
#include "net/protocol.h"
#include "net/socket.h"
#include "tests/server_process.h"

namespace {

constexpr int32_t kHumans = 3;
constexpr int32_t kBots = 3;
constexpr int kTurns = 30;

// What a slot's player remembers from turn to turn: a running hash of all
// the slot has been sent. It outlives a connection, as the player does.
struct Player {
  std::string source;  // the address it connects from
  uint32_t hash = 2166136261u;
  std::vector<std::vector<int32_t>> received;  // per turn, 1-based
};

int32_t pick(uint32_t& hash, uint32_t range) {
  hash = hash * 16777619u + 2166136261u;
  return static_cast<int32_t>((hash >> 8) % range);
}

TurnReport report_for(Player& player, int32_t players) {
  uint32_t& h = player.hash;
  TurnReport report;
  const auto relay = [&h] {
    const int32_t kind = pick(h, 4);
    return kind == 0 ? NO_VALUE : kind == 1 ? CLEAR_VALUE : 1 + pick(h, 90);
  };
  report.relay_a = relay();
  report.relay_b = relay();
  report.x = pick(h, 800) - 100;
  report.y = pick(h, 800) - 100;
  if (pick(h, 3) == 0) {
    report.damage = 1 + pick(h, 20);
    report.target = 1 + pick(h, static_cast<uint32_t>(players));
  }
  report.heading = 1 + pick(h, 3599);
  report.relay_a_reply = ACK;
  return report;
}

void remember(Player& player, int turn, const TurnView& view) {
  std::vector<int32_t> values = {view.relay_a, view.relay_b};
  for (const PlayerRow& row : view.players) {
    values.insert(values.end(), {row.x, row.y, row.health, row.heading});
  }
  for (int32_t v : values) player.hash = (player.hash ^ static_cast<uint32_t>(v)) * 16777619u;
  player.received[static_cast<size_t>(turn)] = std::move(values);
}

struct Played {
  std::string recording;
  std::vector<Player> players;
};

std::vector<Player> fresh_players() {
  std::vector<Player> players(kHumans);
  for (size_t k = 0; k < players.size(); ++k) {
    players[k].source = "127.0.0." + std::to_string(k + 2);
    players[k].received.resize(kTurns + 1);
  }
  return players;
}

// The players in `order` connect one after the other (each once the server
// has logged the one before as joined), learn their slots and play turns
// first..last on links, which the caller closes, each turn pace_ms apart. A player whose slot is
// not its own fails the case.
void play_turns(ServerProcess& server, std::vector<Player>& players, std::vector<ClientLink>& links,
                const std::vector<size_t>& order, int first, int last, int pace_ms = 0) {
  ASSERT_TRUE(server.wait_until_listening()) << server.errors();
  ClientThreads threads;
  for (size_t k : order) {
    std::string err;
    ASSERT_TRUE(client_connect(links[k], "127.0.0.1", test_port(), &err, players[k].source.c_str()))
        << err;
    bound_receives(links[k].socket);
    threads.start([&players, &links, k, first, last, pace_ms] {
      ClientLink& link = links[k];
      const int32_t count = client_join(link);
      int32_t index = -1, map = -1;
      client_learn(link, &index, &map);
      EXPECT_EQ(index, static_cast<int32_t>(k)) << players[k].source << " got another slot";
      if (index != static_cast<int32_t>(k) || count != kHumans + kBots) return;
      TurnView view;
      view.players.resize(static_cast<size_t>(count));
      for (int turn = first; turn <= last; ++turn) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pace_ms));
        const TurnReport report = report_for(players[k], count);
        if (!client_turn(link, report, count, view)) {
          ADD_FAILURE() << "player " << k << " lost the server in turn " << turn;
          return;
        }
        remember(players[k], turn, view);
      }
    });
    ASSERT_TRUE(server.wait_for_log("joined from " + players[k].source + ":")) << server.errors();
  }
  threads.join_all();
}

void close_all(std::vector<ClientLink>& links) {
  for (ClientLink& link : links) socket_close(link.socket);
}

// The lines of a recording that are turns, and how many restart marks it has.
std::vector<std::string> turn_lines(const std::string& recording, int* restarts) {
  std::vector<std::string> turns;
  std::istringstream in(recording);
  *restarts = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("{\"turn\": ", 0) == 0) turns.push_back(line);
    if (line.rfind("{\"restart\": ", 0) == 0) ++*restarts;
  }
  return turns;
}

size_t lines_in(const std::string& path) {
  const std::string text = read_file(path);
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Waits up to 30 s until the file at path holds `lines` whole lines; how
// many it holds then.
size_t wait_for_lines(const std::string& path, size_t lines) {
  for (int waited = 0; lines_in(path) < lines && waited < 3000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return lines_in(path);
}

void set_up_maps(const TempDir& dir) {
  // Waypoints 40 to 60 units apart: at 3 units a turn a bot is between two
  // of them at every kill below.
  put_bot_route_file(dir.path(),
                     "360 342 300 258 240 258 300 342 360\n300 342 360 342 300 258 240 258 300\n"
                     "517 483 429 388 383 417 471 512 517\n321 362 367 333 279 238 233 267 321\n"
                     "100 140 190 230 280 230 190 140 100\n900 860 810 760 700 650 600 560 500\n");
  dir.write("dept0.txt", "100 900 500 300\n100 700 40 60\n");
}

std::vector<std::string> server_args(const std::vector<std::string>& extra) {
  std::vector<std::string> args = {
      "--humans", std::to_string(kHumans), "--bots",  std::to_string(kBots), "--map", "0",
      "--record", "match.jsonl",           "--resume"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// The whole match; with kill_after > 0 the server is killed once that turn
// is in the recording, and started again.
Played play(const std::vector<std::string>& extra, int kill_after) {
  TempDir dir;
  set_up_maps(dir);
  Played run;
  run.players = fresh_players();
  ServerProcess server;
  server.start(dir.path(), server_args(extra), "", true);
  const std::vector<size_t> in_order = {0, 1, 2}, reversed = {2, 1, 0};
  std::vector<ClientLink> links(kHumans), again(kHumans);
  if (kill_after == 0) {
    play_turns(server, run.players, links, in_order, 1, kTurns);
    close_all(links);
  } else {
    play_turns(server, run.players, links, in_order, 1, kill_after);
    const std::string path = dir.path() + "/match.jsonl";
    EXPECT_EQ(wait_for_lines(path, static_cast<size_t>(kill_after)),
              static_cast<size_t>(kill_after))
        << "the turns in the file";
    server.kill();
    close_all(links);
    ServerProcess resumed;
    resumed.start(dir.path(), {"--record", "match.jsonl", "--resume"}, "", true);
    play_turns(resumed, run.players, again, reversed, kill_after + 1, kTurns);
    close_all(again);
    EXPECT_EQ(resumed.wait_exit(), 1) << resumed.errors();
    EXPECT_NE(resumed.errors().find("match resumed after turn " + std::to_string(kill_after)),
              std::string::npos)
        << resumed.errors();
  }
  server.wait_exit();
  run.recording = read_file(dir.path() + "/match.jsonl");
  return run;
}

struct SamenessCase {
  const char* name;
  std::vector<std::string> options;
};

std::ostream& operator<<(std::ostream& out, const SamenessCase& c) {
  return out << c.name;
}

class Resume : public testing::TestWithParam<SamenessCase> {};

TEST_P(Resume, AKilledMatchGoesOnAsIfNothingHappened) {
  const Played whole = play(GetParam().options, 0);
  const Played killed = play(GetParam().options, 12);
  for (size_t k = 0; k < whole.players.size(); ++k) {
    for (int turn = 1; turn <= kTurns; ++turn) {
      ASSERT_FALSE(whole.players[k].received[static_cast<size_t>(turn)].empty());
      EXPECT_EQ(killed.players[k].received[static_cast<size_t>(turn)],
                whole.players[k].received[static_cast<size_t>(turn)])
          << "slot " << k << ", turn " << turn;
    }
  }
  int whole_restarts = 0, killed_restarts = 0;
  const std::vector<std::string> whole_turns = turn_lines(whole.recording, &whole_restarts);
  EXPECT_EQ(whole_turns.size(), static_cast<size_t>(kTurns));
  EXPECT_EQ(turn_lines(killed.recording, &killed_restarts), whole_turns);
  EXPECT_EQ(killed_restarts, 1);
  // The standings count the hits before the restart too.
  const auto end_of = [](const std::string& recording) {
    const size_t end = recording.rfind("{\"end\": ");
    return end == std::string::npos
               ? std::string()
               : std::regex_replace(recording.substr(end), std::regex("\"seconds\": [0-9.]+"), "");
  };
  EXPECT_NE(end_of(whole.recording).find("\"hits_made\": "), std::string::npos);
  EXPECT_EQ(end_of(killed.recording), end_of(whole.recording));
  EXPECT_NE(killed.recording.find("{\"restart\": {\"after_turn\": 12, "), std::string::npos);
  // Hits before the kill count on after it.
  EXPECT_TRUE(std::any_of(
      whole_turns.begin(), whole_turns.begin() + 12,
      [](const std::string& line) { return line.find("\"hits\": [{") != std::string::npos; }))
      << "no hit before the kill";
}

INSTANTIATE_TEST_SUITE_P(Schedulers, Resume,
                         testing::Values(SamenessCase{"OneAfterAnother", {}},
                                         SamenessCase{"AtOnce", {"--concurrent"}}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace

namespace {

// The end of a match killed (SIGKILL) and resumed counts its time before
// the kill too. Each client waits kPace before each report: turn t cannot
// end before (t - 1) kPace after the match began, and its time is in the
// mark before turn t + 1 is served. At most, all the time the case took. A
// mark of an earlier version (no time) leaves the time unknown: the log says
// so and the mark does not make one up.
TEST(ResumeTime, TheEndCountsEveryStartsTime) {
  using Clock = std::chrono::steady_clock;
  constexpr int kPace = 150, kKillAfter = 14;
  for (const bool earlier_mark : {false, true}) {
    SCOPED_TRACE(earlier_mark ? "a mark without time" : "a mark with time");
    const auto case_began = Clock::now();
    TempDir dir;
    set_up_maps(dir);
    std::vector<Player> players = fresh_players();
    std::vector<ClientLink> links(kHumans), again(kHumans);
    ServerProcess server;
    server.start(dir.path(), server_args({}), "", true);
    play_turns(server, players, links, {0, 1, 2}, 1, kKillAfter, kPace);
    server.kill();
    server.wait_exit();
    close_all(links);
    const std::string mark = dir.path() + "/match.jsonl.last";
    if (earlier_mark) {
      dir.write("match.jsonl.last",
                std::regex_replace(read_file(mark), std::regex(", \"seconds\": [0-9.]+ *"), ""));
    }
    ServerProcess resumed;
    resumed.start(dir.path(), {"--record", "match.jsonl", "--resume"}, "", true);
    play_turns(resumed, players, again, {2, 1, 0}, kKillAfter + 1, kTurns);
    close_all(again);
    EXPECT_EQ(resumed.wait_exit(), 1) << resumed.errors();
    const double whole_case = std::chrono::duration<double>(Clock::now() - case_began).count();
    const std::string recording = read_file(dir.path() + "/match.jsonl");
    std::smatch seconds;
    ASSERT_TRUE(std::regex_search(recording, seconds,
                                  std::regex("\\{\"end\": .*\"seconds\": ([0-9]+\\.[0-9])")))
        << recording.substr(recording.size() > 2000 ? recording.size() - 2000 : 0);
    const double counted = std::stod(seconds[1]);
    EXPECT_LE(counted, whole_case);
    const bool warned =
        resumed.errors().find("does not say how long the match was played") != std::string::npos;
    EXPECT_EQ(warned, earlier_mark) << resumed.errors();
    if (earlier_mark) {
      EXPECT_NE(read_file(mark).find("\"seconds\": null "), std::string::npos) << read_file(mark);
    } else {
      EXPECT_GE(counted, (kKillAfter - 2) * kPace / 1000.0);
    }
  }
}

// Kills at many moments: a match of many bots (so that a turn's line takes
// several writes) is killed at a random moment of a turn again and again
// and resumed each time. Whatever the moment, the recording holds each turn
// once, in order, each restart mark after the turn it names, and every
// line whole; a cut line is copied aside.
TEST(ResumeKills, EveryResumeStartsFromAWholeTurn) {
  TempDir dir;
  set_up_maps(dir);
  const std::string path = dir.path() + "/match.jsonl";
  std::mt19937 random(20261208);
  // Under Wine a start costs seconds: half the rounds still kill it between
  // turns, mid-turn and in a cut line, as on Linux.
  const int kRounds = server_is_windows() ? 4 : 8;
  int cuts = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ServerProcess server;
    server.start(
        dir.path(),
        {"--humans", "2", "--bots", "400", "--map", "0", "--record", "match.jsonl", "--resume"}, "",
        true);
    ASSERT_TRUE(server.wait_until_listening()) << server.errors();
    std::vector<ClientLink> links(2);
    ClientThreads threads;
    for (ClientLink& link : links) {
      std::string err;
      ASSERT_TRUE(client_connect(link, "127.0.0.1", test_port(), &err)) << err;
      bound_receives(link.socket);
      threads.start([&link] {
        const int32_t count = client_join(link);
        int32_t index = -1, map = -1;
        client_learn(link, &index, &map);
        TurnView view;
        view.players.resize(static_cast<size_t>(count > 0 ? count : 0));
        TurnReport report;
        report.x = 10 + index;
        report.y = 20;
        report.heading = 900;
        report.relay_a_reply = ACK;
        while (count > 0 && client_turn(link, report, count, view)) ++report.y;
      });
    }
    // A line of this round first, then a kill anywhere in a turn.
    wait_for_lines(path, lines_in(path) + 2);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
    server.kill();
    close_all(links);
    threads.join_all();
    // A line's writes are over in microseconds: a kill in the middle of one
    // is made here, every other round, by cutting the last line in half.
    if (round % 2 == 1 && round + 1 < kRounds) {
      const std::string text = read_file(path);
      const size_t last = text.rfind('\n', text.size() - 2) + 1;
      std::filesystem::resize_file(path, last + (text.size() - last) / 2);
      ++cuts;
    }
  }
  EXPECT_EQ(std::filesystem::exists(path + ".cut"), cuts > 0);
  int restarts = 0;
  const std::string recording = read_file(path);
  const std::vector<std::string> turns = turn_lines(recording, &restarts);
  EXPECT_EQ(restarts, kRounds - 1);
  ASSERT_GE(turns.size(), static_cast<size_t>(kRounds - cuts));
  std::istringstream in(recording);
  uint64_t last_turn = 0;
  for (std::string line; std::getline(in, line);) {
    ASSERT_TRUE(!line.empty() && line.front() == '{' && line.back() == '}')
        << line.substr(0, 80) << " ... " << line.substr(line.size() > 80 ? line.size() - 80 : 0);
    unsigned long long number = 0;
    if (std::sscanf(line.c_str(), "{\"turn\": %llu,", &number) == 1) {
      EXPECT_EQ(number, last_turn + 1) << "turns out of order";
      last_turn = number;
    } else if (std::sscanf(line.c_str(), "{\"restart\": {\"after_turn\": %llu,", &number) == 1) {
      EXPECT_EQ(number, last_turn) << "a restart after another turn than the last";
    } else {
      ADD_FAILURE() << "neither a turn nor a restart: " << line.substr(0, 80);
    }
  }
}

}  // namespace

namespace {

// A service stopped for an upgrade: with --resume a SIGTERM ends the process
// as always (the end banner, exit code 0) but not the match, which the next
// start goes on with.
TEST(ResumeStop, ASignalLeavesTheMatchToTheNextStart) {
  if (server_is_windows()) GTEST_SKIP() << "Wine does not pass POSIX signals on";
  TempDir dir;
  set_up_maps(dir);
  std::vector<Player> players = fresh_players();
  std::vector<ClientLink> links(kHumans), again(kHumans);
  ServerProcess server;
  server.start(dir.path(), server_args({}), "", true);
  play_turns(server, players, links, {0, 1, 2}, 1, 3);
  wait_for_lines(dir.path() + "/match.jsonl", 3);
  server.send_signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_NE(server.output().find(END_BANNER), std::string::npos) << server.output();
  EXPECT_EQ(read_file(dir.path() + "/match.jsonl").find("{\"end\": "), std::string::npos);
  close_all(links);
  // Settings that disagree with the recording are refused, the file kept.
  const std::string kept = read_file(dir.path() + "/match.jsonl");
  ServerProcess refused;
  refused.start(dir.path(), {"--humans", "2", "--record", "match.jsonl", "--resume"}, "", true);
  EXPECT_EQ(refused.wait_exit(), 2);
  EXPECT_NE(refused.errors().find("has human players 3, the settings ask for 2"), std::string::npos)
      << refused.errors();
  EXPECT_EQ(read_file(dir.path() + "/match.jsonl"), kept);
  ServerProcess resumed;
  resumed.start(dir.path(), server_args({}), "", true);
  play_turns(resumed, players, again, {0, 1, 2}, 4, 5);
  close_all(again);
  EXPECT_EQ(resumed.wait_exit(), 1);
  EXPECT_NE(resumed.errors().find("match resumed after turn 3"), std::string::npos)
      << resumed.errors();
}

}  // namespace

namespace {

// With --rejoin a resumed match need not wait for every client: it goes on
// with those the operator asks for (--resume-wait), and a client that comes
// back later takes its own slot again.
TEST(ResumeWait, TheMatchGoesOnWithThoseBackAndTheOthersTakeTheirSlotsLater) {
  TempDir dir;
  set_up_maps(dir);
  std::vector<Player> players = fresh_players();
  std::vector<ClientLink> links(kHumans);
  ServerProcess server;
  server.start(dir.path(), server_args({"--rejoin"}), "", true);
  play_turns(server, players, links, {0, 1, 2}, 1, 3);
  wait_for_lines(dir.path() + "/match.jsonl", 3);
  server.kill();
  close_all(links);

  ServerProcess resumed;
  resumed.start(dir.path(),
                {"--record", "match.jsonl", "--resume", "--rejoin", "--resume-wait", "2"}, "",
                true);
  ASSERT_TRUE(resumed.wait_until_listening()) << resumed.errors();
  std::vector<ClientLink> again(kHumans);
  std::atomic<bool> late_done{false};
  std::atomic<int> turns_played_by_first{0};
  ClientThreads threads;
  for (size_t k = 0; k < 3; ++k) {
    std::string err;
    ASSERT_TRUE(client_connect(again[k], "127.0.0.1", test_port(), &err, players[k].source.c_str()))
        << err;
    bound_receives(again[k].socket);
    threads.start([&, k] {
      ClientLink& link = again[k];
      const int32_t count = client_join(link);
      int32_t index = -1, map = -1;
      client_learn(link, &index, &map);
      EXPECT_EQ(index, static_cast<int32_t>(k)) << players[k].source << " got another slot";
      TurnView view;
      view.players.resize(static_cast<size_t>(count > 0 ? count : 0));
      TurnReport report;
      report.relay_a_reply = ACK;
      report.x = report.y = 5;
      report.heading = 100;
      // The two waited for play on until the late one has played two turns.
      for (int turn = 0; k == 2 ? turn < 2 : !late_done; ++turn) {
        if (!client_turn(link, report, count, view)) {
          ADD_FAILURE() << "player " << k << " lost the server";
          break;
        }
        if (k == 0) ++turns_played_by_first;
      }
      if (k == 2) late_done = true;
    });
    if (k < 2) {
      ASSERT_TRUE(resumed.wait_for_log("joined from " + players[k].source + ":"))
          << resumed.errors();
    }
    if (k == 1) {
      // The match goes on with two: a turn is played before the third is back.
      ASSERT_TRUE(resumed.wait_for_log("match resumed after turn 3")) << resumed.errors();
      for (int waited = 0; turns_played_by_first < 2 && waited < 3000; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      EXPECT_GE(turns_played_by_first, 2);
    }
  }
  for (int waited = 0; !late_done && waited < 3000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  threads.join_all();
  close_all(again);
  EXPECT_TRUE(late_done);
  EXPECT_EQ(resumed.wait_exit(), 1);
  EXPECT_NE(resumed.errors().find("player 2's slot stays free for its client to come back"),
            std::string::npos)
      << resumed.errors();
}

}  // namespace
