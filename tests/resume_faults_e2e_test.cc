// A match survives its server where the first round left it exposed: a full
// disk, a second server on the same recording, a recording deleted beside
// another, an empty recording left by a start that ended early, and the
// syncs --record-sync promises. One human, played by the case's own thread
// turn by turn, so that the case acts between any two turns.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/client.h"
#include "net/protocol.h"
#include "net/socket.h"
#include "tests/server_process.h"

namespace {

void set_up_maps(const std::string& dir) {
  put_bot_route_file(dir,
                     "360 342 300 258 240 258 300 342 360\n300 342 360 342 300 258 240 258 300\n");
  std::ofstream(dir + "/dept0.txt") << "100 900 500 300\n100 700 40 60\n";
}

std::vector<std::string> args(const std::vector<std::string>& extra) {
  std::vector<std::string> all = {"--humans", "1", "--bots",   "1",
                                  "--map",    "0", "--record", "match.jsonl"};
  all.insert(all.end(), extra.begin(), extra.end());
  return all;
}

// Plays turns 1.. on one connection while between(turn) (called after each
// turn) says so; the connection closes after the last. The turns played.
int play(ServerProcess& server, const std::function<bool(int)>& between) {
  if (!server.wait_until_listening()) {
    ADD_FAILURE() << server.errors();
    return 0;
  }
  ClientLink link;
  std::string err;
  if (!client_connect(link, "127.0.0.1", test_port(), &err)) {
    ADD_FAILURE() << err;
    return 0;
  }
  bound_receives(link.socket);
  const int32_t count = client_join(link);
  int32_t index = -1, map = -1;
  client_learn(link, &index, &map);
  TurnView view;
  view.players.resize(static_cast<size_t>(count > 0 ? count : 0));
  TurnReport report;
  report.x = 10;
  report.heading = 900;
  report.relay_a_reply = ACK;
  int turn = 0;
  while (count > 0) {
    report.y = 20 + turn;
    if (!client_turn(link, report, count, view)) {
      ADD_FAILURE() << "the server left in turn " << turn + 1 << "\n" << server.errors();
      break;
    }
    if (!between(++turn)) break;
  }
  socket_close(link.socket);
  return turn;
}

// The turns of the recording's turn lines, a gap line as -N for its N turns,
// a restart as 0, the end as -1000000.
std::vector<long long> line_turns(const std::string& path) {
  std::vector<long long> turns;
  std::istringstream in(read_file(path));
  for (std::string line; std::getline(in, line);) {
    long long n = 0;
    if (std::sscanf(line.c_str(), "{\"turn\": %lld,", &n) == 1) {
      turns.push_back(n);
    } else if (std::sscanf(line.c_str(), "{\"gap\": {\"after_turn\": %*d, \"turns\": %lld}", &n) ==
               1) {
      turns.push_back(-n);
    } else if (line.rfind("{\"restart\": ", 0) == 0) {
      turns.push_back(0);
    } else if (line.rfind("{\"end\": ", 0) == 0) {
      turns.push_back(-1000000);
    } else {
      turns.push_back(-2000000);
    }
  }
  return turns;
}

size_t lines_in(const std::string& path) {
  const std::string text = read_file(path);
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

bool wait_for_lines(const std::string& path, size_t lines) {
  for (int waited = 0; lines_in(path) < lines && waited < 2000; ++waited) usleep(10000);
  return lines_in(path) >= lines;
}

}  // namespace

namespace {

// A second server on a recording another is playing is refused before it
// touches anything; once the first has ended, the next start goes on.
TEST(ResumeLock, OneServerPerRecording) {
  TempDir dir;
  set_up_maps(dir.path());
  ServerProcess first;
  first.start(dir.path(), args({"--resume"}), "", true);
  ASSERT_TRUE(first.wait_until_listening()) << first.errors();
  ServerProcess second;
  second.start(dir.path(), args({"--resume"}), "", true);
  EXPECT_EQ(second.wait_exit(), 2) << second.errors();
  EXPECT_NE(second.errors().find("another server is playing the match of 'match.jsonl' (it holds "
                                 "'match.jsonl.last'): one server per recording"),
            std::string::npos)
      << second.errors();
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/match-1.jsonl"));
  first.kill();
  first.wait_exit();
  ServerProcess third;
  third.start(dir.path(), args({"--resume"}), "", true);
  ASSERT_TRUE(third.wait_until_listening()) << third.errors();
  third.kill();
}

// The match a resume takes up is the one the last start played, whatever
// the other files: a finished match.jsonl deleted while match-1.jsonl is
// unfinished does not make the next start begin a new match.
TEST(ResumeChoice, TheLastStartsMatchGoesOnWhateverWasDeleted) {
  TempDir dir;
  set_up_maps(dir.path());
  const std::string path = dir.path() + "/match.jsonl";
  {
    ServerProcess done;
    done.start(dir.path(), args({"--resume"}), "", true);
    play(done, [](int turn) { return turn < 2; });
    EXPECT_EQ(done.wait_exit(), 1) << done.errors();
  }
  // Killed, before its client leaves, once `lines` lines are in match-1.jsonl.
  const auto kill_at = [&dir](ServerProcess& server, size_t lines) {
    play(server, [&](int turn) {
      if (lines_in(dir.path() + "/match-1.jsonl") < lines) usleep(20000);
      if (lines_in(dir.path() + "/match-1.jsonl") < lines && turn < 100) return true;
      server.kill();
      return false;
    });
    server.wait_exit();
  };
  ServerProcess killed;
  killed.start(dir.path(), args({"--resume"}), "", true);
  kill_at(killed, 3);
  std::filesystem::remove(path);
  for (const int after : {3, 4}) {
    ServerProcess resumed;
    resumed.start(dir.path(), args({"--resume"}), "", true);
    EXPECT_TRUE(resumed.wait_for_log("going on with the match in 'match-1.jsonl' after turn " +
                                     std::to_string(after)))
        << resumed.errors();
    // A restart mark and one turn more.
    kill_at(resumed, lines_in(dir.path() + "/match-1.jsonl") + 2);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

// A start that ended before its first turn left its recording empty: the
// next start records into it, instead of numbering past it.
TEST(ResumeChoice, AnEmptyRecordingIsTakenAgain) {
  TempDir dir;
  set_up_maps(dir.path());
  for (int start = 0; start < 3; ++start) {
    ServerProcess server;
    server.start(dir.path(), args({}), "", true);
    ASSERT_TRUE(server.wait_until_listening()) << server.errors();
    server.kill();
    server.wait_exit();
  }
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/match.jsonl"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/match-1.jsonl"));
}

}  // namespace

namespace {

// A full disk, made in a mount namespace of the case's own: a small
// filesystem on the case's folder, filled up by the case between two turns.
class FullDisk : public testing::Test {
 protected:
  void SetUp() override {
    if (server_is_windows()) GTEST_SKIP() << "the full disk is made with a Linux mount";
    if (geteuid() != 0) GTEST_SKIP() << "a filesystem of the case's own needs root";
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=1m") != 0) {
      GTEST_SKIP() << "no mount namespace: " << std::strerror(errno);
    }
    mounted_ = true;
    set_up_maps(dir_.path());
  }
  void TearDown() override {
    if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
  }
  // Takes every free byte of the filesystem.
  void fill() {
    std::FILE* filler = std::fopen(filler_path().c_str(), "wb");
    ASSERT_NE(filler, nullptr);
    std::setvbuf(filler, nullptr, _IONBF, 0);
    const std::string block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), filler) == block.size()) {
    }
    while (std::fwrite("x", 1, 1, filler) == 1) {
    }
    std::fclose(filler);
  }
  void free_space() { std::filesystem::remove(filler_path()); }
  std::string filler_path() const { return dir_.path() + "/filler"; }
  std::string recording() const { return dir_.path() + "/match.jsonl"; }

  // Turns 1-3 written, then the disk full until `behind` turns after the
  // first that could not be written; then, if `freed`, space again.
  int play_to_a_full_disk(ServerProcess& server, int behind, bool freed, int last) {
    int failed_at = 0;
    return play(server, [&](int turn) {
      if (turn == 3) {
        EXPECT_TRUE(wait_for_lines(recording(), 3));
        fill();
      }
      if (turn > 3 && failed_at == 0 && server.wait_for_log("could not be written in turn", 50)) {
        failed_at = turn;
      }
      if (failed_at != 0 && turn == failed_at + behind && freed) free_space();
      return failed_at == 0 ? turn < 40 : turn < last && turn < failed_at + behind + 3;
    });
  }

  TempDir dir_;
  bool mounted_ = false;
};

// With --resume the recording keeps trying: once space is back it goes on,
// a gap line standing for the turns it could not hold, and ends whole.
TEST_F(FullDisk, TheRecordingGoesOnOnceSpaceIsBack) {
  ServerProcess server;
  server.start(dir_.path(), args({"--resume"}), "", true);
  const int turns = play_to_a_full_disk(server, 3, true, 1000);
  EXPECT_EQ(server.wait_exit(), 1) << server.errors();
  EXPECT_NE(server.errors().find("the match goes on and every turn tries again"), std::string::npos)
      << server.errors();
  EXPECT_NE(server.errors().find("is written again from turn"), std::string::npos)
      << server.errors();
  // Turn lines in order, one gap line accounting for the turns missing, the
  // last turn played, the end.
  const std::vector<long long> lines = line_turns(recording());
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.back(), -1000000);
  EXPECT_EQ(lines[lines.size() - 2], turns);
  long long next = 1;
  int gaps = 0;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i] < 0) {
      next -= lines[i];
      ++gaps;
      continue;
    }
    EXPECT_EQ(lines[i], next) << "line " << i + 1;
    ++next;
  }
  EXPECT_EQ(gaps, 1);
}

// The disk stays full to the end: the end cannot be written, and the next
// start says so and starts a new match rather than playing the ended one
// again from an older turn.
TEST_F(FullDisk, AMatchWhoseEndWasLostIsNotPlayedAgain) {
  ServerProcess server;
  server.start(dir_.path(), args({"--resume"}), "", true);
  const int turns = play_to_a_full_disk(server, 2, false, 1000);
  EXPECT_EQ(server.wait_exit(), 1) << server.errors();
  EXPECT_NE(server.errors().find("the end of the match could not be written to"), std::string::npos)
      << server.errors();
  free_space();
  ServerProcess next;
  next.start(dir_.path(), args({"--resume"}), "", true);
  EXPECT_TRUE(next.wait_for_log("ended after turn " + std::to_string(turns) +
                                ", but its end could not be written"))
      << next.errors();
  EXPECT_TRUE(next.wait_until_listening()) << next.errors();
  EXPECT_EQ(next.errors().find("going on with the match"), std::string::npos) << next.errors();
  next.kill();
}

// Killed, or stopped by the system, while the disk is full: the resume goes
// on from the last turn the file holds, and the log counts the turns lost.
TEST_F(FullDisk, AResumeSaysHowManyTurnsItLost) {
  for (const int signal_number : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(signal_number == SIGKILL ? "killed" : "stopped");
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      if (entry.path().filename().string().rfind("match", 0) == 0) {
        std::filesystem::remove(entry.path());
      }
    }
    ServerProcess server;
    server.start(dir_.path(), args({"--resume"}), "", true);
    int failed_at = 0, last = 0;
    play(server, [&](int turn) {
      if (turn == 3) {
        EXPECT_TRUE(wait_for_lines(recording(), 3));
        fill();
      }
      if (turn > 3 && failed_at == 0 && server.wait_for_log("could not be written in turn", 50)) {
        failed_at = turn;
      }
      last = turn;
      if (failed_at == 0 || turn < failed_at + 2) return turn < 40;
      // Ended once the mark counts this turn, before the client leaves.
      const std::string counted = "\"turns_played\": " + std::to_string(turn) + " ";
      for (int waited = 0;
           read_file(recording() + ".last").find(counted) == std::string::npos && waited < 2000;
           ++waited) {
        usleep(10000);
      }
      server.send_signal(signal_number);
      return false;
    });
    EXPECT_EQ(server.wait_exit(), signal_number == SIGKILL ? -1 : 0) << server.errors();
    free_space();
    const std::vector<long long> lines = line_turns(recording());
    ASSERT_FALSE(lines.empty());
    const long long kept = lines.back();
    ServerProcess resumed;
    resumed.start(dir_.path(), args({"--resume"}), "", true);
    EXPECT_TRUE(resumed.wait_for_log("after turn " + std::to_string(kept))) << resumed.errors();
    EXPECT_TRUE(resumed.wait_for_log(std::to_string(last - kept) +
                                     " turns lost, played again from turn " +
                                     std::to_string(kept + 1)))
        << resumed.errors();
    resumed.kill();
    resumed.wait_exit();
  }
}

}  // namespace

namespace {

// The syncs --record-sync promises, read from the system calls the server
// makes (strace): each turn's line and the end with `turn`; with `second` a
// line is synced within a second even when no turn follows it (a stall of
// 2.5 s after turn 2), and the end too; with `system` never.
TEST(RecordSync, EveryModeKeepsItsPromise) {
  if (server_is_windows()) GTEST_SKIP() << "the system calls are read with strace";
  if (std::system("strace -V > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace is not installed (tools/install-deps.sh installs it)";
  }
  for (const char* mode : {"turn", "second", "system"}) {
    SCOPED_TRACE(mode);
    TempDir dir;
    set_up_maps(dir.path());
    const std::string wrapper = dir.path() + "/traced";
    // The server the harness runs (ZOLT_SERVER_COMMAND, else the one built
    // here), under strace.
    const char* command = std::getenv("ZOLT_SERVER_COMMAND");
    // A sanitized build's leak check cannot run under a tracer.
    std::ofstream(wrapper)
        << "#!/bin/sh\nexport ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:detect_leaks=0\"\n"
           "exec strace -f -qq -s 12 -e trace=openat,write,fsync,fdatasync -o '"
        << dir.path() << "/trace' " << (command != nullptr ? command : ZOLT_SERVER_BINARY)
        << " \"$@\"\n";
    std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    ServerProcess server;
    server.program = wrapper;
    server.start(dir.path(), args({"--record-sync", mode}), "", true);
    play(server, [](int turn) {
      if (turn == 2) usleep(2500000);
      return turn < 4;
    });
    EXPECT_EQ(server.wait_exit(), 1) << server.errors();
    // The recording's descriptor, then per call on it: T (a turn's line),
    // E (the end) or S (a sync).
    std::ifstream trace(dir.path() + "/trace");
    std::string calls, fd;
    for (std::string line; std::getline(trace, line);) {
      std::smatch m;
      if (std::regex_search(line, m, std::regex("openat\\(.*\"match\\.jsonl\".* = ([0-9]+)$"))) {
        fd = m[1];
      } else if (!fd.empty() && line.find("write(" + fd + ", \"{\\\"turn") != std::string::npos) {
        calls += 'T';
      } else if (!fd.empty() && line.find("write(" + fd + ", \"{\\\"end") != std::string::npos) {
        calls += 'E';
      } else if (!fd.empty() &&
                 std::regex_search(line, std::regex("f(data)?sync\\(" + fd + "\\)"))) {
        calls += 'S';
      }
    }
    // With `second` turn 3's line comes 2.5 s after turn 1's sync, and
    // 1.5 s or less after the sync in the stall.
    const std::string expected = std::string(mode) == "turn"     ? "TSTSTSTSES"
                                 : std::string(mode) == "second" ? "TSTST(S)?TES"
                                                                 : "TTTTE";
    EXPECT_TRUE(std::regex_match(calls, std::regex(expected)))
        << calls << "\n"
        << read_file(dir.path() + "/trace").substr(0, 4000);
  }
}

}  // namespace

namespace {

// A replay's windows and chart are read beside the view's thread: the probe
// and the page asked while they are read answer before the last of them.
TEST(ReplayWindows, TheProbeNeverWaitsBehindAWindow) {
  TempDir dir;
  constexpr int kTurns = 600000;
  {
    std::ofstream out(dir.path() + "/long.jsonl", std::ios::binary);
    for (int turn = 1; turn <= kTurns; ++turn) {
      out << "{\"turn\": " << turn
          << ", \"map\": 1, \"relay_a\": -1, \"relay_b\": -1, \"players\": [{\"index\": 0, "
             "\"human\": true, \"x\": 3, \"y\": 2, \"health\": 100, \"heading\": 9}], \"hits\": "
             "[{\"from\": 0, \"damage\": 1, \"target\": 1}]}\n";
    }
  }
  const std::string view = "127.0.0.1:" + std::to_string(view_port());
  ServerProcess server;
  server.start(dir.path(), {"--replay", "long.jsonl", "--http", view}, "", true);
  ASSERT_TRUE(server.wait_for_log("replaying 'long.jsonl'", 60000)) << server.errors();
  // Work to keep the readers busy a while, all asked before the probe: the
  // health chart (the whole file, on its first ask) and 47 windows of 4096
  // turns, each on a connection of its own.
  std::vector<SocketHandle> busy;
  for (int i = 0; i < 48; ++i) {
    std::string err;
    const SocketHandle asker = socket_connect("127.0.0.1", view_port(), &err);
    ASSERT_NE(asker, INVALID_SOCKET_HANDLE) << err;
    busy.push_back(asker);
    const std::string target =
        i == 0 ? "/health.json" : "/turns.jsonl?from=" + std::to_string(i * 12000) + "&count=4096";
    const std::string ask = "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(socket_send(asker, ask.data(), ask.size()), static_cast<long>(ask.size()));
  }
  const HttpReply probe = http_get(view_port(), "/healthz");
  const HttpReply page = http_get(view_port(), "/");
  size_t unanswered = 0;
  for (const SocketHandle asker : busy) unanswered += socket_pending(asker) == 0 ? 1u : 0u;
  for (const SocketHandle asker : busy) socket_close(asker);
  EXPECT_EQ(probe.status, 200);
  EXPECT_EQ(page.status, 200);
  EXPECT_GT(unanswered, 0u) << "/healthz and / answered only after every window";
  server.kill();
}

}  // namespace
