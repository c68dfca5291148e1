// zolt-client: a headless reference client. Connects K clients to a running
// server one after the other, goes through the handshake with each, plays N
// turns (one client after the other, or with --at-once each on a thread of
// its own, for a server that serves its clients at once), and prints the
// last player table and a summary line. With --trace it
// prints every message, its direction and its step: what a client author
// compares their own program with.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/options.h"
#include "match/match.h"
#include "net/client.h"
#include "net/protocol.h"
#include "net/socket.h"

namespace {

// A client that has greeted waits this long for the player count before it
// says why the server may be silent; it looks every slice meanwhile.
constexpr int SILENCE_NOTICE_SECONDS = 5;
constexpr int SILENCE_SLICE_MS = 1000;

int fail(int code, const std::string& message) {
  std::fprintf(stderr, "zolt-client: %s\n", message.c_str());
  return code;
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

// With --at-once the clients' threads print side by side, a line at a time.
std::mutex trace_lines;

void print_trace(const TraceState& state, int32_t client, bool outgoing, const char* step,
                 int32_t value) {
  const std::lock_guard<std::mutex> line(trace_lines);
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
TurnReport make_report(const ClientOptions& options, const Client& client, int32_t turn) {
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

int play(const ClientOptions& options) {
  std::string err;
  if (!socket_startup(&err)) return fail(EXIT_UNREACHABLE, err);
  std::vector<Client> clients(static_cast<size_t>(options.clients));
  std::vector<TraceState> traces(clients.size());

  int32_t player_count = 0;
  for (int32_t k = 0; k < options.clients; ++k) {
    Client& client = clients[static_cast<size_t>(k)];
    if (options.trace) {
      client.link.trace = [&traces, k](bool outgoing, const char* step, int32_t value) {
        TraceState& trace = traces[static_cast<size_t>(k)];
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

  for (TraceState& trace : traces) trace.phase = "number";
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
  // Client k's turn; an empty text when it was played.
  const auto play_turn = [&](int32_t k, int32_t turn) {
    Client& client = clients[static_cast<size_t>(k)];
    TraceState& trace = traces[static_cast<size_t>(k)];
    if (options.trace) trace.phase = "turn " + std::to_string(turn);
    trace.table_player = -1;
    if (client_turn(client.link, make_report(options, client, turn), player_count, client.view)) {
      return std::string();
    }
    return closed_message(k, client.link) + " in turn " + std::to_string(turn);
  };
  if (options.at_once) {
    std::vector<std::string> failures(clients.size());
    std::vector<std::thread> threads;
    for (int32_t k = 0; k < options.clients; ++k) {
      threads.emplace_back([&, k] {
        std::string& failure = failures[static_cast<size_t>(k)];
        for (int32_t turn = 1; turn <= options.turns && failure.empty(); ++turn) {
          failure = play_turn(k, turn);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (const std::string& failure : failures) {
      if (!failure.empty()) return fail(EXIT_SERVER_FAILED, failure);
    }
  }
  for (int32_t turn = 1; turn <= options.turns && !options.at_once; ++turn) {
    for (int32_t k = 0; k < options.clients; ++k) {
      const std::string failure = play_turn(k, turn);
      if (!failure.empty()) return fail(EXIT_SERVER_FAILED, failure);
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
                " was sent in turn %" PRId32 ":\n",
                map_number, player_count, options.clients - 1, options.turns);
    print_table(clients.back().view.players);
  }
  std::printf("%" PRId32 " turn%s, %" PRIu64 " messages in %.3f s, %.0f messages/s\n",
              options.turns, options.turns == 1 ? "" : "s", messages, seconds,
              seconds > 0 ? double(messages) / seconds : 0.0);
  return EXIT_PLAYED;
}

}  // namespace

int main(int argc, char** argv) {
  ClientOptions options;
  const int code = parse_client_options(argc, argv, options);
  if (code >= 0) return code;
  return play(options);
}
