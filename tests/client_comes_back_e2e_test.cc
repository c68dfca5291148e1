// zolt-client as its own players' programs: each client is one player, so a
// kick ends that client alone; with --reconnect a client whose server was
// killed and started again with --resume comes back to its own slot and
// walks on from where the match stood; --pace slows the turns enough to
// watch them.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/browser.h"
#include "tests/server_process.h"
#include "tests/spawn.h"

#ifndef ZOLT_CLIENT_BINARY
#error "ZOLT_CLIENT_BINARY must name the built zolt-client"
#endif

namespace {

// zolt-client running with its output and errors in files of dir.
struct ClientProcess {
  ClientProcess(const TempDir& dir, const std::vector<std::string>& args)
      : out_path(dir.path() + "/client.out"), err_path(dir.path() + "/client.err") {
    SpawnSettings spawn;
    spawn.out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    spawn.err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> words = {ZOLT_CLIENT_BINARY, "--port", std::to_string(test_port())};
    words.insert(words.end(), args.begin(), args.end());
    pid = spawn_process(words, spawn);
    close(spawn.out);
    close(spawn.err);
  }
  ~ClientProcess() {
    if (exit_code == -3) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  // Its exit code, or -2 when it had not ended after 60 s (it is then killed).
  int wait_exit() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return exit_code = -2;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string out() const { return read_file(out_path); }
  std::string err() const { return read_file(err_path); }

  std::string out_path, err_path;
  pid_t pid = -1;
  int exit_code = -3;
};

size_t lines_in(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

// Waits up to 20 s until the file at path holds `lines` lines.
bool wait_for_lines(const std::string& path, size_t lines) {
  for (int i = 0; i < 2000 && lines_in(read_file(path)) < lines; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return lines_in(read_file(path)) >= lines;
}

// The row of `player` in zolt-client's last table: x, y; empty when none.
std::vector<int> table_position(const std::string& out, int player) {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> row;
    for (std::string word; words >> word;) row.push_back(word);
    if (row.size() == 5 && row[0] == std::to_string(player)) {
      return {std::stoi(row[1]), std::stoi(row[2])};
    }
  }
  return {};
}

void set_up_maps(const TempDir& dir) {
  put_bot_route_file(dir.path(),
                     "300 300 300 300 300 300 300 300 300\n"
                     "400 400 400 400 400 400 400 400 400\n");
  dir.write("dept0.txt", "100 900\n100 700\n");
}

TEST(ClientComesBack, AResumedMatchGoesOnFromWhereEachHumanStood) {
  TempDir dir;
  set_up_maps(dir);
  const std::vector<std::string> args = {"--humans", "2",      "--bots",   "1",
                                         "--map",    "0",      "--record", "match.jsonl",
                                         "--resume", "--quiet"};
  ServerProcess server;
  server.start(dir.path(), args, "", true);
  ASSERT_TRUE(server.wait_until_listening()) << server.errors();
  constexpr int kTurns = 40;
  ClientProcess client(
      dir, {"--clients", "2", "--turns", std::to_string(kTurns), "--pace", "30", "--reconnect"});
  const std::string recording = dir.path() + "/match.jsonl";
  ASSERT_TRUE(wait_for_lines(recording, 10)) << server.errors();
  server.kill();

  ServerProcess resumed;
  resumed.start(dir.path(), {"--record", "match.jsonl", "--resume"}, "", true);
  EXPECT_EQ(client.wait_exit(), 0) << client.err();
  EXPECT_EQ(resumed.wait_exit(), 1) << resumed.errors();
  EXPECT_NE(resumed.errors().find("match resumed after turn"), std::string::npos)
      << resumed.errors();
  // Each client said it lost the server and came back; the summary counts
  // the turns it asked for.
  const std::string err = client.err();
  EXPECT_NE(err.find("connecting again for up to 60 s (--reconnect)"), std::string::npos) << err;
  EXPECT_NE(err.find("is back in the match as player "), std::string::npos) << err;
  EXPECT_NE(client.out().find(std::to_string(kTurns) + " turns, "), std::string::npos)
      << client.out();
  // Every human went on from its own column, one unit a turn. The two
  // clients come from one address: which takes which slot back is the
  // order they reconnect in, and a client that took the other's slot knows
  // its row as of the turn before (a unit less); a kill may cut off the turn
  // under way (a unit more).
  const std::vector<int> starts_x = {100, 900}, starts_y = {100, 700};
  for (int p = 0; p < 2; ++p) {
    SCOPED_TRACE("player " + std::to_string(p));
    const std::vector<int> at = table_position(client.out(), p);
    ASSERT_EQ(at.size(), 2u) << client.out();
    EXPECT_EQ(at[0], starts_x[static_cast<size_t>(p)]);
    EXPECT_GE(at[1], starts_y[static_cast<size_t>(p)] + kTurns - 2);
    EXPECT_LE(at[1], starts_y[static_cast<size_t>(p)] + kTurns + 2);
  }
}

// Another match on the server's port is not the one the client played: it
// ends at once instead of trying for --reconnect-for.
TEST(ClientComesBack, AClientDoesNotComeBackIntoAnotherMatch) {
  TempDir dir;
  set_up_maps(dir);
  ServerProcess server;
  server.start(dir.path(), {"--humans", "1", "--bots", "1", "--map", "0"}, "", true);
  ASSERT_TRUE(server.wait_until_listening()) << server.errors();
  ClientProcess client(dir, {"--turns", "1000", "--pace", "20", "--reconnect"});
  ASSERT_TRUE(server.wait_for_log("match started")) << server.errors();
  server.kill();
  ServerProcess other;
  other.start(dir.path(), {"--humans", "1", "--bots", "0", "--map", "0"}, "", true);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(client.wait_exit(), 4) << client.err();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_NE(client.err().find("client 0 was sent the player count 1 where its match has 2: the "
                              "server plays another match; it does not come back"),
            std::string::npos)
      << client.err();
  other.kill();
}

TEST(ClientComesBack, AKickEndsThatClientAloneAndTheOthersPlayOn) {
  const struct {
    const char* name;
    std::vector<std::string> server_options, options;
    int exit_code;
    size_t lines;                   // on standard error
    std::vector<std::string> told;  // there
    std::string rejoined;           // in the server's rejoin line, before its turn
  } cases[] = {
      {"ends", {}, {}, 4, 1, {"it is disconnected (the operator may have kicked it"}, ""},
      // A server without --rejoin takes no client during its match: the
      // greeting has no answer, and the client gives up in time.
      {"tries to come back",
       {},
       {"--reconnect", "--reconnect-for", "2"},
       4,
       2,
       {"it is disconnected (the operator may have kicked it",
        "connecting again for up to 2 s (--reconnect)", "client 1 could not come back within 2 s"},
       ""},
      // With --rejoin the kicked slot is free: the client takes it back and
      // plays its turns to the end.
      {"comes back into its slot",
       {"--rejoin"},
       {"--reconnect"},
       0,
       2,
       {"it is disconnected (the operator may have kicked it",
        "connecting again for up to 60 s (--reconnect)",
        "client 1 is back in the match as player 1"},
       "player 1 (127.0.0.1:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    set_up_maps(dir);
    ServerProcess server;
    std::vector<std::string> server_args = {"--humans",          "2", "--bots", "1", "--map", "0",
                                            "--console-commands"};
    server_args.insert(server_args.end(), c.server_options.begin(), c.server_options.end());
    server.start(dir.path(), server_args, "", false);
    ASSERT_TRUE(server.wait_until_listening()) << server.errors();
    constexpr int kTurns = 30, kPace = 40;
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::string> args = {
        "--clients", "2", "--turns", std::to_string(kTurns), "--pace", std::to_string(kPace)};
    args.insert(args.end(), c.options.begin(), c.options.end());
    ClientProcess client(dir, args);
    ASSERT_TRUE(server.wait_for_log("match started")) << server.errors();
    server.write_input("kick 1\n");
    EXPECT_TRUE(server.wait_for_output("player 1 kicked")) << server.output();
    EXPECT_EQ(client.wait_exit(), c.exit_code) << client.err();
    // The pace holds every turn of the client that played them all.
    EXPECT_GE(std::chrono::steady_clock::now() - started,
              std::chrono::milliseconds(kTurns * kPace));
    const std::string err = client.err();
    EXPECT_EQ(lines_in(err), c.lines) << err;
    EXPECT_NE(err.find("the server closed the connection of client 1"), std::string::npos) << err;
    for (const std::string& text : c.told) EXPECT_NE(err.find(text), std::string::npos) << err;
    // The other client played its turns to the end and left: the match ends
    // as the last client's leave ends it.
    EXPECT_EQ(server.wait_exit(), 1) << server.errors();
    EXPECT_NE(server.errors().find("player 0 (127.0.0.1:"), std::string::npos);
    EXPECT_NE(server.errors().find("left in turn " + std::to_string(kTurns + 1)), std::string::npos)
        << server.errors();
    if (!c.rejoined.empty()) {
      // The server's line for the slot taken back names that player.
      const std::string log = server.errors();
      const size_t at = log.find(") rejoined in turn ");
      ASSERT_NE(at, std::string::npos) << log;
      const size_t line = log.rfind('\n', at) + 1;  // npos + 1: the first line
      EXPECT_NE(log.substr(line, at - line).find(c.rejoined), std::string::npos) << log;
    }
  }
}

// The live view of a server going on with a match waits for the clients on
// a lobby that says so, with the standings so far.
TEST(ClientComesBack, TheLobbyOfAResumedMatchSaysWhereItStood) {
  TempDir dir;
  set_up_maps(dir);
  ServerProcess server;
  server.start(dir.path(),
               {"--humans", "1", "--bots", "1", "--map", "0", "--record", "match.jsonl", "--resume",
                "--quiet"},
               "", true);
  ASSERT_TRUE(server.wait_until_listening()) << server.errors();
  // Without --reconnect the client ends with the server.
  ClientProcess client(dir, {"--turns", "200", "--pace", "20", "--hit", "5:2"});
  const std::string recording = dir.path() + "/match.jsonl";
  ASSERT_TRUE(wait_for_lines(recording, 4)) << server.errors();
  server.kill();
  EXPECT_EQ(client.wait_exit(), 4) << client.err();
  std::string last_turn;
  std::istringstream lines(read_file(recording));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("{\"turn\": ", 0) == 0) last_turn = line.substr(9, line.find(',') - 9);
  }
  const int turns = std::stoi(last_turn);

  ServerProcess resumed;
  const std::string view = "127.0.0.1:" + std::to_string(view_port());
  resumed.start(dir.path(), {"--record", "match.jsonl", "--resume", "--http", view}, "", true);
  ASSERT_TRUE(resumed.wait_until_listening()) << resumed.errors();
  const HttpReply lobby = http_get(view_port(), "/view.json");
  // Each turn the client hit the bot (player 1) for 5.
  const std::string standings =
      "\"resuming\": {\"after_turn\": " + last_turn +
      ", \"standings\": [{\"index\": 0, \"health\": 100, \"hits_made\": " + last_turn +
      ", \"hits_taken\": 0, \"damage_dealt\": " + std::to_string(5 * turns) +
      ", \"damage_taken\": 0}, {\"index\": 1, \"health\": " + std::to_string(100 - 5 * turns) +
      ", \"hits_made\": 0, \"hits_taken\": " + last_turn + ", ";
  EXPECT_NE(lobby.body.find(standings), std::string::npos) << lobby.body;
  if (Browser::available()) {
    Browser browser;
    ASSERT_TRUE(browser.open("http://" + view + "/")) << browser.error();
    EXPECT_EQ(browser.eval_until("document.getElementById('lobbyresume').textContent == "
                                 "'Resuming after turn " +
                                 last_turn + "'"),
              "true");
    EXPECT_EQ(browser.eval("document.querySelectorAll('#lobbystandings tr[data-player]').length"),
              "2");
  }
  resumed.kill();
}

}  // namespace
