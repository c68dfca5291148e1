// The server's own flags, and zolt-client run as a process the way operators
// and client authors run it: against the real server, against a stand-in
// server that misbehaves on purpose, and with arguments it must refuse.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/texts.h"
#include "net/client.h"
#include "net/message.h"
#include "net/protocol.h"
#include "server/exit_codes.h"
#include "tests/server_process.h"
#include "tests/spawn.h"

#ifndef ZOLT_CLIENT_BINARY
#error "ZOLT_CLIENT_BINARY must name the built zolt-client"
#endif

namespace {

struct ClientRun {
  int exit_code = -3;  // -1 for a signal, -2 when it had to be stopped
  std::string out, err;
};

// Starts zolt-client with args, its output and errors going to files.
pid_t spawn_client(const std::vector<std::string>& args, const std::string& out_path,
                   const std::string& err_path) {
  SpawnSettings spawn;
  spawn.out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  spawn.err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> words = {ZOLT_CLIENT_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  const pid_t pid = spawn_process(words, spawn);
  close(spawn.out);
  close(spawn.err);
  return pid;
}

// Runs zolt-client with args to its end (stopping it after 60 s).
ClientRun run_client(const std::vector<std::string>& args) {
  TempDir dir;
  const std::string out_path = dir.path() + "/out", err_path = dir.path() + "/err";
  const pid_t pid = spawn_client(args, out_path, err_path);
  ClientRun run;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      run.exit_code = -2;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (run.exit_code != -2) run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}

std::string port_text() {
  return std::to_string(test_port());
}

size_t line_count(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

// The row of `player` in zolt-client's last table: player, x, y, health,
// heading; empty when there is none.
std::vector<std::string> table_row(const std::string& out, int player) {
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::vector<std::string> row;
    for (std::string word; words >> word;) row.push_back(word);
    if (row.size() == 5 && row[0] == std::to_string(player)) return row;
  }
  return {};
}

// ---- zolt-server -h, --help, --version ---------------------------------

TEST(ServerFlags, HelpAndVersionAnswerAndExitWithoutStartingAMatch) {
  const std::string bot_file = server_is_windows() ? "c:\\bot.txt" : "bot.txt";
  const struct {
    const char* flag;
    std::vector<std::string> expected;
    bool exact;  // the whole output is expected[0]
  } cases[] = {
      {"--help",
       {"Usage: zolt-server [host-name] [options]\n", "TCP port 2000", bot_file, "dept<N>.txt",
        "--humans N", "--drop-broken-clients", "3  the port could not be bound"},
       false},
      {"-h", {"Usage: zolt-server [host-name] [options]\n", "TCP port 2000"}, false},
      {"--version", {"zolt-server 1.5\n"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flag);
    TempDir dir;
    ServerProcess server;
    server.start(dir.path(), {c.flag}, "", true);
    EXPECT_EQ(server.wait_exit(), 0);
    const std::string out = server.output();
    for (const std::string& text : c.expected) EXPECT_NE(out.find(text), std::string::npos) << out;
    if (c.exact) {
      EXPECT_EQ(out, c.expected[0]);
    }
    EXPECT_EQ(out.find("BIENVENUE"), std::string::npos);
  }
}

TEST(ServerFlags, AnArgumentThatIsNoOptionIsTheHostName) {
  TempDir dir;
  ServerProcess server;
  // A name that resolves to nothing: it is reported, and the dialogue starts
  // as always.
  server.start(dir.path(), {"no-such-host.invalid"}, "", true);
  EXPECT_EQ(server.wait_exit(), EXIT_NO_OPERATOR);
  EXPECT_EQ(server.output(), std::string(WELCOME_BANNER) + BANNER_GAP +
                                 formatted(ADDRESS_LINE, "0.0.0.0") + HUMANS_PROMPT);
  EXPECT_NE(server.errors().find("'no-such-host.invalid'"), std::string::npos) << server.errors();
}

// ---- zolt-client against the real server -------------------------------

// A server for `humans` humans and one bot that stands still on (300, 400)
// with map 0's start positions from `starts`, waiting for its clients.
void start_match(ServerProcess& server, const TempDir& dir, int humans, const std::string& starts,
                 const std::vector<std::string>& options = {}) {
  dir.write("dept0.txt", starts);
  put_bot_route_file(dir.path(),
                     "300 300 300 300 300 300 300 300 300\n"
                     "400 400 400 400 400 400 400 400 400\n");
  std::vector<std::string> args = {"localhost"};
  args.insert(args.end(), options.begin(), options.end());
  server.start(dir.path(), args, answers(humans, 1, 0), false);
  ASSERT_TRUE(server.wait_for_output(WAITING)) << server.output();
  ASSERT_TRUE(server.wait_until_listening()) << server.output();
}

TEST(ZoltClient, PlaysAFullMatchAndPrintsTheLastTable) {
  // Each client plays on a thread of its own unless told otherwise, so the
  // same command plays against both kinds of server; one at a time plays
  // against a server that serves one client after the other.
  const struct {
    std::vector<std::string> server_options, client_options;
  } cases[] = {
      {{}, {}},
      {{"--concurrent"}, {}},
      {{"--concurrent"}, {"--at-once"}},
      {{}, {"--one-at-a-time"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE((c.server_options.empty() ? "one at a time, " : "at once, ") +
                 (c.client_options.empty() ? "" : c.client_options[0]));
    TempDir dir;
    ServerProcess server;
    start_match(server, dir, 2, "40 41\n50 51\n", c.server_options);
    std::vector<std::string> args = {"--clients", "2",    "--turns",   "100",      "--x",   "500",
                                     "--y",       "600",  "--heading", "900",      "--hit", "10:3",
                                     "--relay",   "5,-2", "--port",    port_text()};
    args.insert(args.end(), c.client_options.begin(), c.client_options.end());
    const ClientRun run = run_client(args);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    // Each client hits the bot (player 2) for 10 in each of the 100 turns, and
    // the last table, client 1's, comes after its own last hit.
    const std::string table =
        "Map 0, 3 players, clients 0 and 1 playing players 0 and 1; the table client 1 was sent "
        "in turn 100:\n"
        "player    x    y  health  heading\n"
        "     0  500  600     100      900\n"
        "     1  500  600     100      900\n"
        "     2  300  400   -1900     2600\n";
    EXPECT_EQ(run.out.substr(0, table.size()), table) << run.out;
    // 4 x 3 players + 8 each way (with a hit), 2 clients, 100 turns.
    EXPECT_NE(run.out.find("\n100 turns, 8000 messages in "), std::string::npos) << run.out;
    EXPECT_EQ(line_count(run.out), 6u) << run.out;
    // With its clients gone the server ends its match as on any broken protocol.
    EXPECT_EQ(server.wait_exit(), 1);
  }
}

TEST(ZoltClient, TwoProcessesEachSayWhichPlayerTheyPlayed) {
  const std::vector<std::string> servers[] = {{}, {"--concurrent"}};
  for (const auto& server_options : servers) {
    SCOPED_TRACE(server_options.empty() ? "one at a time" : "at once");
    TempDir dir;
    ServerProcess server;
    start_match(server, dir, 2, "40 41\n50 51\n", server_options);
    // Which one the server accepts first is not known: each must say.
    ClientRun runs[2];
    std::thread other([&runs] { runs[1] = run_client({"--turns", "50", "--port", port_text()}); });
    runs[0] = run_client({"--turns", "50", "--port", port_text()});
    other.join();
    std::vector<std::string> played;
    for (const ClientRun& run : runs) {
      EXPECT_EQ(run.exit_code, 0) << run.err;
      const size_t at = run.out.find(", client 0 playing player ");
      ASSERT_NE(at, std::string::npos) << run.out;
      played.push_back(run.out.substr(at + 2, run.out.find(';', at) - at - 2));
    }
    std::sort(played.begin(), played.end());
    EXPECT_EQ(played,
              (std::vector<std::string>{"client 0 playing player 0", "client 0 playing player 1"}));
    EXPECT_EQ(server.wait_exit(), 1);
  }
}

TEST(ZoltClient, WalksOverZeroAndSendsHeadingZeroAsAFullTurn) {
  // From y = -3 the walk reaches 0, which the server would store as -1, so
  // that the walk would stay there; a heading of 0 would arrive as -1 too.
  TempDir dir;
  ServerProcess server;
  start_match(server, dir, 1, "40\n-3\n");
  const ClientRun run = run_client({"--turns", "5", "--heading", "0", "--port", port_text()});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(table_row(run.out, 0), (std::vector<std::string>{"0", "40", "2", "100", "3600"}))
      << run.out;
  EXPECT_EQ(server.wait_exit(), 1);
}

TEST(ZoltClient, TraceShowsEveryMessageWithItsStep) {
  TempDir dir;
  ServerProcess server;
  start_match(server, dir, 1, "40\n50\n");
  const ClientRun run = run_client({"--turns", "2", "--trace", "--port", port_text()});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  // The handshake and the first turn, as a client author would diff them. The
  // start position file replaces what the client sent; the bot has not moved.
  const std::string first_turn =
      "client 0   join       C->S  greeting             147\n"
      "client 0   join       S->C  player count         2\n"
      "client 0   join       C->S  echo                 2\n"
      "client 0   number     S->C  player index         0\n"
      "client 0   number     C->S  reply                147\n"
      "client 0   number     S->C  map                  0\n"
      "client 0   turn 1     C->S  relay_a              -1\n"
      "client 0   turn 1     S->C  ack                  147\n"
      "client 0   turn 1     C->S  relay_b              -1\n"
      "client 0   turn 1     S->C  ack                  147\n"
      "client 0   turn 1     C->S  x                    1\n"
      "client 0   turn 1     S->C  ack                  147\n"
      "client 0   turn 1     C->S  y                    2\n"
      "client 0   turn 1     S->C  ack                  147\n"
      "client 0   turn 1     C->S  damage               -1\n"
      "client 0   turn 1     S->C  ack                  147\n"
      "client 0   turn 1     C->S  heading              2700\n"
      "client 0   turn 1     S->C  relay_a              -1\n"
      "client 0   turn 1     C->S  reply                147\n"
      "client 0   turn 1     S->C  relay_b              -1\n"
      "client 0   turn 1     C->S  reply                147\n"
      "client 0   turn 1     S->C  table p0 pos_x       40\n"
      "client 0   turn 1     C->S  reply                147\n"
      "client 0   turn 1     S->C  table p0 pos_y       50\n"
      "client 0   turn 1     C->S  reply                147\n"
      "client 0   turn 1     S->C  table p0 health      100\n"
      "client 0   turn 1     C->S  reply                147\n"
      "client 0   turn 1     S->C  table p0 heading     2700\n"
      "client 0   turn 1     C->S  reply                147\n"
      "client 0   turn 1     S->C  table p1 pos_x       300\n"
      "client 0   turn 1     C->S  reply                147\n"
      "client 0   turn 1     S->C  table p1 pos_y       400\n"
      "client 0   turn 1     C->S  reply                147\n"
      "client 0   turn 1     S->C  table p1 health      100\n"
      "client 0   turn 1     C->S  reply                147\n"
      "client 0   turn 1     S->C  table p1 heading     2600\n"
      "client 0   turn 2     C->S  relay_a              -1\n";
  EXPECT_EQ(run.out.substr(0, first_turn.size()), first_turn) << run.out;
  // The default walk goes on from where the server showed the client.
  EXPECT_NE(run.out.find("client 0   turn 2     C->S  y                    51\n"),
            std::string::npos);
  // 6 handshake messages, 2 turns of 4 x 2 + 7 each way, the table's title,
  // header and 2 rows, and the summary.
  EXPECT_EQ(line_count(run.out), 6u + 2 * 2 * 15 + 4 + 1) << run.out;
}

// ---- zolt-client's failures --------------------------------------------

void expect_one_line_error(const ClientRun& run, int code, const std::string& text) {
  EXPECT_EQ(run.exit_code, code);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("zolt-client: ", 0), 0u) << run.err;
  EXPECT_EQ(line_count(run.err), 1u) << run.err;
  EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
}

TEST(ZoltClient, RefusesBadArguments) {
  const struct {
    std::vector<std::string> args;
    const char* text;
  } cases[] = {
      {{"--clients", "0"}, "--clients"},
      {{"--clients", "1001"}, "--clients"},
      {{"--turns", "-1"}, "--turns"},
      {{"--turns", "ten"}, "--turns"},
      {{"--port", "70000"}, "--port"},
      {{"--port", "20x"}, "--port"},
      {{"--x", "1.5"}, "--x"},
      {{"--heading", "99999999999"}, "--heading"},
      {{"--relay", "5"}, "--relay"},
      {{"--relay", "5,"}, "--relay"},
      {{"--hit", "10"}, "--hit"},
      {{"--hit", "10:3x"}, "--hit"},
      {{"--x", "0"}, "a 0 cannot be sent"},
      {{"--y", "0"}, "give 1 or -1"},
      {{"--source", ""}, "--source"},
      {{"--at-once", "--one-at-a-time"}, "cannot both be given"},
      {{"--pace", "-1"}, "--pace"},
      {{"--pace", "60001"}, "--pace"},
      {{"--reconnect", "--one-at-a-time"}, "a thread of its own"},
      {{"--reconnect-for", "0"}, "--reconnect-for"},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--turns"}, "--turns needs a value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    expect_one_line_error(run_client(c.args), 2, c.text);
  }
  const ClientRun help = run_client({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out.rfind("Usage: zolt-client ", 0), 0u);
  const ClientRun version = run_client({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, "zolt-client 1.5\n");
}

TEST(ZoltClient, NamesTheHumanCountWhenGivenMoreClients) {
  TempDir dir;
  ServerProcess server;
  start_match(server, dir, 1, "40\n50\n");
  expect_one_line_error(run_client({"--clients", "3", "--port", port_text()}), 2,
                        "the match has 1 human player only: the server has told client 0 its "
                        "player index, so client 1 and later are never served; run with "
                        "--clients 1");
  EXPECT_EQ(server.wait_exit(), 1);
}

TEST(ZoltClient, ExplainsAServerThatDoesNotAnswerAndWaitsOn) {
  TempDir dir;
  ServerProcess server;
  start_match(server, dir, 1, "40\n50\n");
  TestClient human;  // the match's one human player
  ASSERT_EQ(client_join(human.link), 2);
  const std::string out_path = dir.path() + "/out", err_path = dir.path() + "/err";
  const pid_t pid = spawn_client({"--trace", "--port", port_text()}, out_path, err_path);
  for (int i = 0; i < 400 && read_file(err_path).find("Still") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(read_file(err_path).find("client 0 has had no answer to its greeting for 5 s."),
            std::string::npos);
  // Still waiting, and its trace so far is out, not held in a buffer.
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0);
  EXPECT_EQ(read_file(out_path), "client 0   join       C->S  greeting             147\n");
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Waits until zolt-client's standard error (at err_path) holds text, for at
// most 20 s.
bool wait_for_error(const std::string& err_path, const std::string& text) {
  for (int i = 0; i < 400; ++i) {
    if (read_file(err_path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// A listener on loopback whose queue of connections is full: a connection
// to it is never answered, so a connect waits on.
struct FullListener {
  FullListener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd, 0), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port = ntohs(address.sin_port);
    for (int& queued : queue) {
      queued = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(queued, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
  }
  ~FullListener() {
    for (int queued : queue) close(queued);
    close(fd);
  }
  int fd = -1;
  int queue[4] = {};
  uint16_t port = 0;
};

TEST(ZoltClient, TellsEveryWaitThatLastsWithItsStepAndWaitsOn) {
  const struct {
    const char* name;
    // Starts what the client will wait for; returns the client's arguments.
    std::function<std::vector<std::string>(ServerProcess&, TempDir&)> start;
    std::vector<std::string> told;
  } cases[] = {
      {"connecting",
       [](ServerProcess&, TempDir&) {
         static FullListener full;
         return std::vector<std::string>{"--port", std::to_string(full.port)};
       },
       {"client 0 has tried for 5 s to connect to 127.0.0.1:", "Still trying."}},
      {"the player index, the other human not connected",
       [](ServerProcess& server, TempDir& dir) {
         start_match(server, dir, 2, "40 41\n50 51\n");
         return std::vector<std::string>{"--port", port_text()};
       },
       {"client 0 has waited 5 s for its player index.",
        "this zolt-client has connected 1 (--clients)", "Still waiting."}},
      {"a turn, one at a time against a server serving all at once",
       [](ServerProcess& server, TempDir& dir) {
         start_match(server, dir, 2, "40 41\n50 51\n", {"--concurrent"});
         return std::vector<std::string>{"--clients", "2", "--one-at-a-time", "--port",
                                         port_text()};
       },
       {"client 0 (player 0) has waited 5 s in turn 1 for the server's 'relay_a'.",
        "another player's client may be slow or stopped, or the operator may have paused the "
        "server.",
        "leave out --one-at-a-time.", "Still waiting."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ServerProcess server;
    const std::vector<std::string> args = c.start(server, dir);
    const std::string out_path = dir.path() + "/out", err_path = dir.path() + "/err";
    const pid_t pid = spawn_client(args, out_path, err_path);
    EXPECT_TRUE(wait_for_error(err_path, "Still")) << read_file(err_path);
    const std::string err = read_file(err_path);
    for (const std::string& text : c.told) EXPECT_NE(err.find(text), std::string::npos) << err;
    EXPECT_EQ(line_count(err), 1u) << err;
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0);  // still waiting
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

TEST(ZoltClient, AWaitToldInATurnGoesOnWhenTheOtherPlayerComes) {
  TempDir dir;
  ServerProcess server;
  start_match(server, dir, 2, "40 41\n50 51\n");
  TestClient human;  // player 0, who keeps the server waiting in turn 1
  ASSERT_EQ(client_join(human.link), 3);
  const std::string out_path = dir.path() + "/out", err_path = dir.path() + "/err";
  const pid_t pid = spawn_client({"--turns", "2", "--port", port_text()}, out_path, err_path);
  int32_t index = -1, map = -1;
  client_learn(human.link, &index, &map);
  EXPECT_EQ(index, 0);
  EXPECT_TRUE(wait_for_error(err_path, "Still waiting.")) << read_file(err_path);
  EXPECT_NE(read_file(err_path).find(
                "client 0 (player 1) has waited 5 s in turn 1 for the server's 'ack'."),
            std::string::npos)
      << read_file(err_path);
  TurnView view;
  for (int turn = 1; turn <= 2; ++turn) {
    TurnReport report;
    report.x = 7;
    report.y = 8;
    report.heading = 900;
    ASSERT_TRUE(client_turn(human.link, report, 3, view)) << turn;
  }
  int status = 0;
  for (int i = 0; i < 400 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(WIFEXITED(status)) << read_file(err_path);
  EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(err_path);
  const std::string out = read_file(out_path);
  EXPECT_EQ(out.rfind("Map 0, 3 players, client 0 playing player 1; the table client 0 was sent "
                      "in turn 2:\n",
                      0),
            0u)
      << out;
  EXPECT_EQ(table_row(out, 0), (std::vector<std::string>{"0", "7", "8", "100", "900"})) << out;
  EXPECT_EQ(line_count(read_file(err_path)), 1u);
}

TEST(ZoltClient, ConnectsFromTheSourceAddressItIsGiven) {
  TempDir dir;
  ServerProcess server;
  start_match(server, dir, 1, "40\n50\n", {"--allow", "127.0.0.1/32"});
  const struct {
    const char* source;
    int exit_code;
    std::string text;  // in its one line of error, or in its output when it played
  } cases[] = {
      // Refused by --allow: the server closes the connection, and takes no slot.
      {"127.0.0.2", 4,
       "the server closed the connection of client 0 before answering its greeting (waiting "
       "for: player count)"},
      // An address of no interface of this machine.
      {"192.0.2.1", 3, "client 0: cannot use the source address 192.0.2.1"},
      {"127.0.0.1", 0, "client 0 playing player 0;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    const ClientRun run = run_client({"--turns", "3", "--source", c.source, "--port", port_text()});
    if (c.exit_code != 0) {
      expect_one_line_error(run, c.exit_code, c.text);
    } else {
      EXPECT_EQ(run.exit_code, 0) << run.err;
      EXPECT_NE(run.out.find(c.text), std::string::npos) << run.out;
    }
  }
  EXPECT_NE(server.errors().find("refused a connection from 127.0.0.2:"), std::string::npos)
      << server.errors();
  EXPECT_EQ(server.wait_exit(), 1);
}

TEST(ZoltClient, SaysSoWhenNoServerListens) {
  // A bound socket that never listens: connections to its port are refused.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string port = std::to_string(ntohs(address.sin_port));
  expect_one_line_error(run_client({"--port", port}), 3,
                        "client 0: cannot connect to 127.0.0.1:" + port);
  close(fd);
}

// A stand-in server on the test port for one client: answers the client's first
// messages with `answers`, reads one more message and closes the connection.
// Returns how the client (playing 3 turns) ended.
ClientRun serve_then_close(const std::vector<int32_t>& answers) {
  std::string err;
  const SocketHandle listener = socket_bind(nullptr, test_port(), &err);
  EXPECT_TRUE(err.empty() && socket_listen(listener, 1, &err)) << err;
  ClientRun run;
  std::thread client([&run] { run = run_client({"--turns", "3", "--port", port_text()}); });
  // A client that never connects must not hold the case in the accept.
  SocketWait waiting{listener, false};
  const bool connected = socket_poll(&waiting, 1, REPLY_WAIT_MS) == 1;
  EXPECT_TRUE(connected) << "zolt-client did not connect";
  const SocketHandle connection = connected ? socket_accept(listener) : INVALID_SOCKET_HANDLE;
  bound_receives(connection);
  char buffer[MESSAGE_LIMIT + 1];
  for (int32_t answer : answers) {
    recv_number(connection, buffer);
    send_int(connection, answer);
  }
  recv_number(connection, buffer);
  socket_close(connection);
  client.join();
  socket_close(listener);
  return run;
}

TEST(ZoltClient, SaysSoWhenTheServerClosesOrSendsNonsense) {
  const struct {
    std::vector<int32_t> answers;
    const char* text;
  } cases[] = {
      {{},
       "the server closed the connection of client 0 before answering its greeting (waiting "
       "for: player count): the server may have ended, or, started with --allow, it closes at "
       "once a connection from outside the networks it lets in, and this one came from "
       "127.0.0.1"},
      {{2, 0, 0}, "the server closed the connection of client 0 (waiting for: ack) in turn 1"},
      {{0}, "client 0 was sent the player count 0, which no match can have"},
      {{2, 5, 0}, "client 0 was sent the player index 5 in a match of 2 players"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    expect_one_line_error(serve_then_close(c.answers), 4, c.text);
  }
}

}  // namespace
