// zolt-client: a headless reference client. Connects K clients to a running
// server one after the other, goes through the handshake with each, plays N
// turns, and prints the last player table and a summary line. With --trace it
// prints every message, its direction and its step: what a client author
// compares their own program with.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "match/match.h"
#include "net/client.h"
#include "net/protocol.h"
#include "net/socket.h"

namespace {

// Exit codes.
constexpr int EXIT_PLAYED = 0;
constexpr int EXIT_BAD_ARGUMENTS = 2;
constexpr int EXIT_UNREACHABLE = 3;    // a client could not connect
constexpr int EXIT_SERVER_FAILED = 4;  // the server closed a connection or sent nonsense

constexpr int32_t MAX_CLIENTS = 1000;  // each client holds one socket of this process
constexpr int64_t MAX_TURNS = 1000000000;
// The default walk: one unit a turn toward +y, facing +y.
constexpr int32_t WALK_HEADING = 2700;
// A client that has greeted waits this long for the player count before it
// says why the server may be silent; it looks every slice meanwhile.
constexpr int SILENCE_NOTICE_SECONDS = 5;
constexpr int SILENCE_SLICE_MS = 1000;

const char* const USAGE =
    "Usage: zolt-client [--host H] [--port P] [--clients K] [--turns N]\n"
    "                   [--x X --y Y --heading A] [--relay A,B] [--hit DAMAGE:TARGET] [--trace]\n"
    "       zolt-client --version\n"
    "\n"
    "Plays a match against a running zolt-server the way a client program does:\n"
    "connects K clients one after the other (they are numbered in that order),\n"
    "goes through the handshake with each, plays N turns, then prints the last\n"
    "player table (player, x, y, health, heading) and a summary line.\n"
    "\n"
    "  --host H             server address (default 127.0.0.1)\n"
    "  --port P             server port (default 2000)\n"
    "  --clients K          clients to connect, 1 to 1000 (default 1); the server\n"
    "                       numbers them only once all the human players it asked\n"
    "                       for have joined: give its human player count\n"
    "  --turns N            turns to play (default 10)\n"
    "  --x X, --y Y         position every client reports each turn; by default\n"
    "                       each walks one unit a turn toward +y from where the\n"
    "                       server last showed it\n"
    "  --heading A          heading every client reports, tenths of a degree\n"
    "                       (default 2700, facing +y)\n"
    "  --relay A,B          relay values every client sends each turn (default\n"
    "                       -1,-1: leave both unchanged; -2 clears one)\n"
    "  --hit DAMAGE:TARGET  every client reports this hit each turn; TARGET is the\n"
    "                       player index + 1 (default: no hit)\n"
    "  --trace              print every message: client, phase, direction, step, value\n"
    "                       (each line written out at once)\n"
    "  --version            show the version\n"
    "  -h, --help           show this help\n"
    "\n"
    "The server ends its match (exit code 1) once the clients have gone.\n"
    "A client the server has not answered within 5 s is told why that may be, and\n"
    "waits on; one beyond the match's human players is never served, and\n"
    "zolt-client ends, naming the count to give to --clients.\n"
    "Exit codes: 0 turns played, 2 bad arguments (--clients too many included),\n"
    "3 server unreachable,\n"
    "4 server closed a connection or sent what no match can hold.\n";

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = SERVER_PORT;
  int32_t clients = 1;
  int64_t turns = 10;
  bool has_x = false, has_y = false;
  int32_t x = 0, y = 0;
  int32_t heading = WALK_HEADING;
  int32_t relay_a = NO_VALUE, relay_b = NO_VALUE;
  int32_t damage = NO_VALUE, target = 0;
  bool trace = false;
};

int fail(int code, const std::string& message) {
  std::fprintf(stderr, "zolt-client: %s\n", message.c_str());
  return code;
}

// The whole text must be one decimal number within [low, high].
bool parse_number(const std::string& text, int64_t low, int64_t high, int64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  if (!(text[0] == '-' || (text[0] >= '0' && text[0] <= '9'))) return false;  // no "+" or spaces
  *out = value;
  return true;
}

bool parse_int32(const std::string& text, int32_t* out) {
  int64_t value = 0;
  if (!parse_number(text, INT32_MIN, INT32_MAX, &value)) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

// "A<separator>B", both 32-bit integers.
bool parse_pair(const std::string& text, char separator, int32_t* a, int32_t* b) {
  const size_t at = text.find(separator);
  return at != std::string::npos && parse_int32(text.substr(0, at), a) &&
         parse_int32(text.substr(at + 1), b);
}

// Fills *options from the command line. Returns -1 to go on, else the exit code.
int parse_options(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "-h" || name == "--help") {
      std::fputs(USAGE, stdout);
      return EXIT_PLAYED;
    }
    if (name == "--version") {
      std::fputs("zolt-client " ZOLT_VERSION "\n", stdout);
      return EXIT_PLAYED;
    }
    if (name == "--trace") {
      options->trace = true;
      continue;
    }
    static const char* const WITH_VALUE[] = {"--host", "--port",    "--clients", "--turns", "--x",
                                             "--y",    "--heading", "--relay",   "--hit"};
    bool known = false;
    for (const char* option : WITH_VALUE) known = known || name == option;
    if (!known) return fail(EXIT_BAD_ARGUMENTS, "unknown option '" + name + "' (see --help)");
    if (i + 1 >= argc) return fail(EXIT_BAD_ARGUMENTS, name + " needs a value (see --help)");
    const std::string value = argv[++i];
    const std::string bad = "bad value '" + value + "' for " + name + ": ";
    int64_t number = 0;
    if (name == "--host") {
      if (value.empty()) return fail(EXIT_BAD_ARGUMENTS, bad + "an address is needed");
      options->host = value;
    } else if (name == "--port") {
      if (!parse_number(value, 1, 65535, &number)) {
        return fail(EXIT_BAD_ARGUMENTS, bad + "a port from 1 to 65535 is needed");
      }
      options->port = static_cast<uint16_t>(number);
    } else if (name == "--clients") {
      if (!parse_number(value, 1, MAX_CLIENTS, &number)) {
        return fail(EXIT_BAD_ARGUMENTS,
                    bad + "a count from 1 to " + std::to_string(MAX_CLIENTS) + " is needed");
      }
      options->clients = static_cast<int32_t>(number);
    } else if (name == "--turns") {
      if (!parse_number(value, 0, MAX_TURNS, &options->turns)) {
        return fail(EXIT_BAD_ARGUMENTS,
                    bad + "a count from 0 to " + std::to_string(MAX_TURNS) + " is needed");
      }
    } else if (name == "--relay") {
      if (!parse_pair(value, ',', &options->relay_a, &options->relay_b)) {
        return fail(EXIT_BAD_ARGUMENTS, bad + "two integers A,B are needed");
      }
    } else if (name == "--hit") {
      if (!parse_pair(value, ':', &options->damage, &options->target)) {
        return fail(EXIT_BAD_ARGUMENTS, bad + "two integers DAMAGE:TARGET are needed");
      }
    } else {
      int32_t* field = name == "--x"   ? &options->x
                       : name == "--y" ? &options->y
                                       : &options->heading;
      if (!parse_int32(value, field)) {
        return fail(EXIT_BAD_ARGUMENTS, bad + "a 32-bit integer is needed");
      }
      options->has_x = options->has_x || name == "--x";
      options->has_y = options->has_y || name == "--y";
    }
  }
  return -1;
}

struct Client {
  ClientLink link;
  int32_t player_index = 0;
  TurnView view;
};

// What --trace shows of each message; the phase and table row are set by the
// loops below and by the messages themselves.
struct TraceState {
  std::string phase = "join";
  int32_t table_player = -1;
};

void print_trace(const TraceState& state, int32_t client, bool outgoing, const char* step,
                 int32_t value) {
  char label[48];
  if (std::strncmp(step, "table ", 6) == 0) {
    std::snprintf(label, sizeof label, "table p%" PRId32 " %s", state.table_player, step + 6);
  } else {
    std::snprintf(label, sizeof label, "%s", step);
  }
  std::printf("client %-3" PRId32 " %-10s %s  %-20s %" PRId32 "\n", client, state.phase.c_str(),
              outgoing ? "C->S" : "S->C", label, value);
  // Someone reading along, or a pipe, sees each message as it happens, also
  // when the match then hangs.
  std::fflush(stdout);
}

// One unit a turn toward +y from where the server last showed the client,
// without passing the end of the 32-bit range.
TurnReport make_report(const Options& options, const Client& client, int64_t turn) {
  TurnReport report;
  report.relay_a = options.relay_a;
  report.relay_b = options.relay_b;
  report.damage = options.damage;
  report.target = options.target;
  report.heading = options.heading;
  // Before the first table nothing is known: 1 rather than 0, which the
  // server would read as "no value". The first turn replaces it anyway.
  PlayerRow self{1, 1, 0, 0};
  if (turn > 1) self = client.view.players[static_cast<size_t>(client.player_index)];
  report.x = options.has_x ? options.x : self.x;
  report.y = options.has_y ? options.y : (self.y < INT32_MAX ? self.y + 1 : self.y);
  return report;
}

std::string closed_message(int32_t client, const ClientLink& link) {
  return "the server closed the connection of client " + std::to_string(client) +
         " (waiting for: " + (link.closed_at != nullptr ? link.closed_at : "?") + ")";
}

void print_table(const std::vector<PlayerRow>& players) {
  const char* const headers[] = {"player", "x", "y", "health", "heading"};
  std::vector<std::vector<std::string>> rows;
  for (size_t p = 0; p < players.size(); ++p) {
    const PlayerRow& row = players[p];
    rows.push_back({std::to_string(p), std::to_string(row.x), std::to_string(row.y),
                    std::to_string(row.health), std::to_string(row.heading)});
  }
  size_t width[5];
  for (size_t c = 0; c < 5; ++c) {
    width[c] = std::strlen(headers[c]);
    for (const auto& row : rows) width[c] = std::max(width[c], row[c].size());
  }
  for (size_t c = 0; c < 5; ++c) std::printf(c == 0 ? "%*s" : "  %*s", int(width[c]), headers[c]);
  std::printf("\n");
  for (const auto& row : rows) {
    for (size_t c = 0; c < 5; ++c) {
      std::printf(c == 0 ? "%*s" : "  %*s", int(width[c]), row[c].c_str());
    }
    std::printf("\n");
  }
}

int play(const Options& options) {
  std::string err;
  if (!socket_startup(&err)) return fail(EXIT_UNREACHABLE, err);
  std::vector<Client> clients(static_cast<size_t>(options.clients));
  TraceState trace;

  int32_t player_count = 0;
  for (int32_t k = 0; k < options.clients; ++k) {
    Client& client = clients[static_cast<size_t>(k)];
    if (options.trace) {
      client.link.trace = [&trace, k](bool outgoing, const char* step, int32_t value) {
        if (std::strcmp(step, "table pos_x") == 0) ++trace.table_player;
        print_trace(trace, k, outgoing, step, value);
      };
    }
    err.clear();
    if (!client_connect(client.link, options.host.c_str(), options.port, &err)) {
      return fail(EXIT_UNREACHABLE, "client " + std::to_string(k) + ": " + err);
    }
    // A server that does not answer the greeting is waited for, with a word
    // on why; one that has started numbering the clients before this one
    // joined has all its humans already.
    bool too_many = false;
    int waited_ms = 0;
    socket_set_receive_timeout(client.link.socket, SILENCE_SLICE_MS);
    client.link.on_silence = [&, k](const char*) {
      if (k > 0 && socket_pending(clients[0].link.socket) > 0) {
        too_many = true;
        return false;
      }
      waited_ms += SILENCE_SLICE_MS;
      if (waited_ms == SILENCE_NOTICE_SECONDS * 1000) {
        std::fprintf(stderr,
                     "zolt-client: client %" PRId32
                     " has had no answer to its greeting for %d s. The server "
                     "answers once it accepts this connection: it may still be busy with an "
                     "earlier client's handshake, or its match may already have all its human "
                     "players (the system then accepts a connection that the server never "
                     "serves). Still waiting.\n",
                     k, SILENCE_NOTICE_SECONDS);
      }
      return true;
    };
    const int32_t count = client_join(client.link);
    client.link.on_silence = nullptr;
    socket_set_receive_timeout(client.link.socket, 0);
    if (too_many) {
      return fail(EXIT_BAD_ARGUMENTS,
                  "the match has " + std::to_string(k) + " human player" + (k == 1 ? "" : "s") +
                      " only: the server has told client 0 its player index, so client " +
                      std::to_string(k) + " and later are never served; run with --clients " +
                      std::to_string(k));
    }
    if (client.link.closed) return fail(EXIT_SERVER_FAILED, closed_message(k, client.link));
    if (count < 1 || count > MAX_PLAYERS || (k > 0 && count != player_count)) {
      return fail(EXIT_SERVER_FAILED, "client " + std::to_string(k) +
                                          " was sent the player count " + std::to_string(count) +
                                          ", which no match can have");
    }
    player_count = count;
  }

  trace.phase = "number";
  int32_t map_number = 0;
  for (int32_t k = 0; k < options.clients; ++k) {
    Client& client = clients[static_cast<size_t>(k)];
    client_learn(client.link, &client.player_index, &map_number);
    if (client.link.closed) return fail(EXIT_SERVER_FAILED, closed_message(k, client.link));
    if (client.player_index < 0 || client.player_index >= player_count) {
      return fail(EXIT_SERVER_FAILED, "client " + std::to_string(k) +
                                          " was sent the player index " +
                                          std::to_string(client.player_index) + " in a match of " +
                                          std::to_string(player_count) + " players");
    }
    client.view.players.resize(static_cast<size_t>(player_count));
  }

  uint64_t before = 0;
  for (const Client& client : clients) before += client.link.sent + client.link.received;
  const auto start = std::chrono::steady_clock::now();
  for (int64_t turn = 1; turn <= options.turns; ++turn) {
    if (options.trace) trace.phase = "turn " + std::to_string(turn);
    for (int32_t k = 0; k < options.clients; ++k) {
      Client& client = clients[static_cast<size_t>(k)];
      trace.table_player = -1;
      if (!client_turn(client.link, make_report(options, client, turn), player_count,
                       client.view)) {
        return fail(EXIT_SERVER_FAILED,
                    closed_message(k, client.link) + " in turn " + std::to_string(turn));
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  uint64_t messages = 0;
  for (const Client& client : clients) messages += client.link.sent + client.link.received;
  messages -= before;
  for (Client& client : clients) socket_close(client.link.socket);

  if (options.turns > 0) {
    std::printf("Map %" PRId32 ", %" PRId32 " players; the table client %" PRId32
                " was sent in turn %" PRId64 ":\n",
                map_number, player_count, options.clients - 1, options.turns);
    print_table(clients.back().view.players);
  }
  std::printf("%" PRId64 " turn%s, %" PRIu64 " messages in %.3f s, %.0f messages/s\n",
              options.turns, options.turns == 1 ? "" : "s", messages, seconds,
              seconds > 0 ? double(messages) / seconds : 0.0);
  return EXIT_PLAYED;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int code = parse_options(argc, argv, &options);
  if (code >= 0) return code;
  return play(options);
}
