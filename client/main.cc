// zolt-client: a headless reference client. Connects K clients to a running
// server one after the other, goes through the handshake with each, plays N
// turns (each client on a thread of its own, as separate players' programs
// do, or with --one-at-a-time one client after the other from one thread),
// and prints which player each client played, the last player table and a
// summary line. With --trace it prints every message, its direction and its
// step: what a client author compares their own program with.
//
// No wait goes untold: a client that has waited 5 s for the server, at any
// step, says so on standard error, with the step and why the server may be
// silent there, and waits on.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/find.h"
#include "client/options.h"
#include "match/match.h"
#include "net/client.h"
#include "net/protocol.h"
#include "net/socket.h"

namespace {

// A wait for the server is told once it has lasted this long; a receive
// gives up every slice meanwhile, so that the wait can be measured and
// abandoned.
constexpr int SILENCE_NOTICE_SECONDS = 5;
constexpr int SILENCE_SLICE_MS = 1000;

// The clients' threads print side by side: a line at a time, on both outputs.
std::mutex output_lines;

int fail(int code, const std::string& message) {
  const std::lock_guard<std::mutex> line(output_lines);
  std::fprintf(stderr, "zolt-client: %s\n", message.c_str());
  return code;
}

enum class Phase : uint8_t { Join, Number, Turn };

struct Client {
  ClientLink link;
  int32_t player_index = -1;
  TurnView view;
  Phase phase = Phase::Join;
  int32_t turn = 0;
  int32_t table_player = -1;  // the row of the table message being traced
  // The wait under way: the message count when it began, and how long it
  // has lasted.
  uint64_t wait_mark = 0;
  int waited_ms = 0;
  // Its greeting had no answer while client 0 had been sent its player
  // index: it is beyond the match's human players and is never served.
  bool beyond_humans = false;
  // It has been sent a table: its report walks on from its own row there,
  // also in its first exchange after it has come back (--reconnect), so that
  // a resumed match goes on from where it stood.
  bool has_table = false;
  bool coming_back = false;  // connecting again (--reconnect)
  // Until when it tries to come back: a greeting that has had no answer by
  // then (a server that does not take clients during its match) ends it.
  std::chrono::steady_clock::time_point back_until{};
  bool gone = false;                     // its connection closed and it did not come back
  char local_address[DOTTED_SIZE] = {};  // where it first connected from
};

struct Session {
  explicit Session(const ClientOptions& o) : options(o), clients(size_t(o.clients)) {}
  const ClientOptions& options;
  std::vector<Client> clients;
};

void print_trace(const Client& client, int32_t k, bool outgoing, const char* step, int32_t value) {
  char phase[24];
  if (client.phase == Phase::Turn) {
    std::snprintf(phase, sizeof phase, "turn %" PRId32, client.turn);
  } else {
    std::snprintf(phase, sizeof phase, "%s", client.phase == Phase::Join ? "join" : "number");
  }
  char label[48];
  if (std::strncmp(step, "table ", 6) == 0) {
    std::snprintf(label, sizeof label, "table p%" PRId32 " %s", client.table_player, step + 6);
  } else {
    std::snprintf(label, sizeof label, "%s", step);
  }
  const std::lock_guard<std::mutex> line(output_lines);
  std::printf("client %-3" PRId32 " %-10s %s  %-20s %" PRId32 "\n", k, phase,
              outgoing ? "C->S" : "S->C", label, value);
  // Someone reading along, or a pipe, sees each message as it happens, also
  // when the match then hangs.
  std::fflush(stdout);
}

// Tells, once, that client k has waited SILENCE_NOTICE_SECONDS for the
// server's `step`, and why the server may be silent there.
void tell_wait(const Session& session, int32_t k, const char* step) {
  const Client& client = session.clients[static_cast<size_t>(k)];
  std::string why;
  if (client.phase == Phase::Join) {
    why = "has had no answer to its greeting for " + std::to_string(SILENCE_NOTICE_SECONDS) +
          " s. The server answers once it accepts this connection: it may still be busy with "
          "an earlier client's handshake, or its match may already have all its human players "
          "(the system then accepts a connection that the server never serves).";
  } else if (client.phase == Phase::Number && std::strcmp(step, "player index") == 0) {
    why = "has waited " + std::to_string(SILENCE_NOTICE_SECONDS) +
          " s for its player index. The server numbers its players once all the human "
          "players it asked for have joined, and this zolt-client has connected " +
          std::to_string(session.options.clients) +
          " (--clients): the other players' programs may not have connected yet.";
  } else if (client.phase == Phase::Number) {
    why = "has waited " + std::to_string(SILENCE_NOTICE_SECONDS) + " s in the handshake for the " +
          "server's '" + step +
          "', which follows the client's reply at once: the server may be stopped.";
  } else {
    why = "(player " + std::to_string(client.player_index) + ") has waited " +
          std::to_string(SILENCE_NOTICE_SECONDS) + " s in turn " + std::to_string(client.turn) +
          " for the server's '" + step +
          "'. The server goes on once the players before this one have played their part of "
          "the turn (with --concurrent, once every human player's client has reported): "
          "another player's client may be slow or stopped, or the operator may have paused "
          "the server.";
    if (session.options.one_at_a_time && session.options.clients > 1) {
      why +=
          " Played one at a time, the clients after this one report only once it is done: "
          "a server started with --concurrent (concurrent = true) waits for them for ever; "
          "leave out --one-at-a-time.";
    }
  }
  const std::lock_guard<std::mutex> line(output_lines);
  std::fprintf(stderr, "zolt-client: client %" PRId32 " %s Still waiting.\n", k, why.c_str());
}

// Client k's receive has waited another slice: true to wait on. The wait
// starts anew with every message either way.
bool wait_on(Session& session, int32_t k, const char* step) {
  Client& client = session.clients[static_cast<size_t>(k)];
  const uint64_t mark = client.link.sent + client.link.received;
  if (mark != client.wait_mark) {
    client.wait_mark = mark;
    client.waited_ms = 0;
  }
  client.waited_ms += SILENCE_SLICE_MS;
  if (client.waited_ms == SILENCE_NOTICE_SECONDS * 1000) tell_wait(session, k, step);
  return true;
}

// Connects client k, telling a connection that has not been made after
// SILENCE_NOTICE_SECONDS (the system keeps trying for minutes when the
// address drops what is sent to it).
bool connect_client(const ClientOptions& options, Client& client, int32_t k, std::string* err) {
  std::mutex lock;
  std::condition_variable done_changed;
  bool done = false;
  std::thread watch([&] {
    std::unique_lock<std::mutex> held(lock);
    if (done_changed.wait_for(held, std::chrono::seconds(SILENCE_NOTICE_SECONDS),
                              [&] { return done; })) {
      return;
    }
    const std::lock_guard<std::mutex> line(output_lines);
    std::fprintf(stderr,
                 "zolt-client: client %" PRId32
                 " has tried for %d s to connect to %s:%u and has had no answer: no server may "
                 "be there, or a firewall drops the connection. Still trying.\n",
                 k, SILENCE_NOTICE_SECONDS, options.host.c_str(),
                 static_cast<unsigned>(options.port));
  });
  const bool connected =
      client_connect(client.link, options.host.c_str(), options.port, err, options.source.c_str());
  {
    const std::lock_guard<std::mutex> held(lock);
    done = true;
  }
  done_changed.notify_one();
  watch.join();
  return connected;
}

// A connection the server closed before answering the greeting. The
// protocol has no word for a refusal: a server that lets this address in
// answers the greeting, one that does not closes the connection at once.
std::string closed_before_greeting(int32_t k, const std::string& when, const std::string& from) {
  return "the server closed the connection of client " + std::to_string(k) +
         " before answering its greeting (" + when +
         "): the server may have ended, or, started with --allow, it closes at once a "
         "connection from outside the networks it lets in" +
         (from.empty() ? std::string() : ", and this one came from " + from);
}

std::string closed_message(int32_t k, const Client& client) {
  const ClientLink& link = client.link;
  const std::string step = link.closed_at != nullptr ? link.closed_at : "?";
  if (client.phase == Phase::Join) {
    char local[DOTTED_SIZE];
    socket_local_address(link.socket, local);
    return closed_before_greeting(k, "waiting for: " + step, local);
  }
  return "the server closed the connection of client " + std::to_string(k) +
         " (waiting for: " + step + ")";
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

// Which player each client played: "client 0 playing player 1", "clients 0
// to 2 playing players 3 to 5", or, when the server numbered them out of
// order (another program's client joined between two of them), a list.
std::string players_of(const std::vector<Client>& clients) {
  const size_t count = clients.size();
  if (count == 1) return "client 0 playing player " + std::to_string(clients[0].player_index);
  bool in_order = true;
  for (size_t k = 1; k < count; ++k) {
    in_order = in_order && clients[k].player_index == clients[0].player_index + int32_t(k);
  }
  if (in_order) {
    const char* const joint = count == 2 ? " and " : " to ";
    return "clients 0" + std::string(joint) + std::to_string(count - 1) + " playing players " +
           std::to_string(clients[0].player_index) + joint +
           std::to_string(clients.back().player_index);
  }
  std::string text = "client 0 playing player " + std::to_string(clients[0].player_index);
  for (size_t k = 1; k < count; ++k) {
    text += ", client " + std::to_string(k) + " player " + std::to_string(clients[k].player_index);
  }
  return text;
}

// One unit a turn toward +y from where the server last showed the client,
// without passing the end of the 32-bit range, and stepping over 0, which
// the server would store as -1: from there the walk would send 0 for ever.
TurnReport make_report(const ClientOptions& options, const Client& client) {
  TurnReport report;
  report.relay_a = options.relay_a;
  report.relay_b = options.relay_b;
  report.damage = options.damage;
  report.target = options.target;
  report.heading = options.heading;
  // Before the first table nothing is known: 1 rather than 0, which the
  // server would read as "no value". The first turn replaces it anyway.
  PlayerRow self{1, 1, 0, 0};
  if (client.has_table) self = client.view.players[static_cast<size_t>(client.player_index)];
  report.x = options.has_x ? options.x : self.x;
  int32_t y = self.y < INT32_MAX ? self.y + 1 : self.y;
  if (y == 0) y = 1;
  report.y = options.has_y ? options.y : y;
  return report;
}

// Client k's turn; an empty text when it was played.
std::string play_turn(Session& session, int32_t k, int32_t turn, int32_t player_count) {
  Client& client = session.clients[static_cast<size_t>(k)];
  client.turn = turn;
  client.table_player = -1;
  if (session.options.pace_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(session.options.pace_ms));
  }
  if (client_turn(client.link, make_report(session.options, client), player_count, client.view)) {
    client.has_table = true;
    return std::string();
  }
  // The protocol has no word for a kick: the server closes the connection,
  // as it does when its match ends.
  return closed_message(k, client) + " in turn " + std::to_string(turn) +
         ": it is disconnected (the operator may have kicked it, or the match has ended)";
}

// Watches client k's receives: every one gives up after a slice, for the
// whole match, so that no wait goes untold. At the start, a client whose
// greeting has no answer while client 0 has been sent its player index is
// beyond the match's humans.
void watch_receives(Session& session, int32_t k) {
  Client& client = session.clients[static_cast<size_t>(k)];
  socket_set_receive_timeout(client.link.socket, SILENCE_SLICE_MS);
  client.link.on_silence = [&session, &client, k](const char* step) {
    if (client.phase == Phase::Join && !client.coming_back && k > 0 &&
        socket_pending(session.clients[0].link.socket) > 0) {
      client.beyond_humans = true;
      return false;
    }
    if (client.phase == Phase::Join && client.coming_back &&
        std::chrono::steady_clock::now() >= client.back_until) {
      return false;
    }
    return wait_on(session, k, step);
  };
}

// The handshake of client k once connected, up to its player index and map;
// an empty text when it went through, in a match of player_count players
// (0: the first client tells it).
std::string greet(Session& session, int32_t k, int32_t* player_count, int32_t* map_number) {
  Client& client = session.clients[static_cast<size_t>(k)];
  client.phase = Phase::Join;
  const int32_t count = client_join(client.link);
  if (client.link.closed) return closed_message(k, client);
  if (count < 1 || count > MAX_PLAYERS) {
    return "client " + std::to_string(k) + " was sent the player count " + std::to_string(count) +
           ", which no match can have";
  }
  if (*player_count > 0 && count != *player_count) {
    return "client " + std::to_string(k) + " was sent the player count " + std::to_string(count) +
           " where its match has " + std::to_string(*player_count) +
           ": the server plays another match";
  }
  *player_count = count;
  client.phase = Phase::Number;
  client_learn(client.link, &client.player_index, map_number);
  if (client.link.closed) return closed_message(k, client);
  if (client.player_index < 0 || client.player_index >= count) {
    return "client " + std::to_string(k) + " was sent the player index " +
           std::to_string(client.player_index) + " in a match of " + std::to_string(count) +
           " players";
  }
  client.view.players.resize(static_cast<size_t>(count));
  return std::string();
}

void say(const std::string& line) {
  const std::lock_guard<std::mutex> held(output_lines);
  std::fprintf(stderr, "zolt-client: %s\n", line.c_str());
}

// --reconnect: client k, whose connection closed in `turn` (`failure` says
// how), connects again from the address it first connected from, with a
// pause between tries that grows to 2 s, for up to --reconnect-for, and
// goes through the handshake again. A resumed server gives a client from
// the address that held a slot that slot back first; with --rejoin the
// lowest free one. True when it is back in the match: its next report walks
// on from its own row in the last table it was sent, by its player index now.
bool come_back(Session& session, int32_t k, int32_t turn, int32_t player_count,
               std::string* failure) {
  const ClientOptions& options = session.options;
  Client& client = session.clients[static_cast<size_t>(k)];
  say(*failure + "; connecting again for up to " + std::to_string(options.reconnect_seconds) +
      " s (--reconnect)");
  socket_close(client.link.socket);
  client.link.socket = INVALID_SOCKET_HANDLE;
  client.coming_back = true;
  const char* source = options.source.empty() ? client.local_address : options.source.c_str();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.reconnect_seconds);
  client.back_until = deadline;
  auto pause = std::chrono::milliseconds(100);
  std::string why;
  while (std::chrono::steady_clock::now() < deadline) {
    client.link.closed = false;
    client.link.closed_at = nullptr;
    client.link.reset_at_connect = false;
    why.clear();
    if (client_connect(client.link, options.host.c_str(), options.port, &why, source)) {
      watch_receives(session, k);
      int32_t count = player_count, map_number = 0;
      why = greet(session, k, &count, &map_number);
      // A server that sends what no match can hold, or a match of another
      // size, is not this client's match: trying again would not change it.
      if (!client.link.closed && !why.empty()) {
        client.coming_back = false;
        *failure = why + "; it does not come back";
        return false;
      }
      if (why.empty()) {
        client.phase = Phase::Turn;
        client.coming_back = false;
        say("client " + std::to_string(k) + " is back in the match as player " +
            std::to_string(client.player_index) + ", from turn " + std::to_string(turn));
        return true;
      }
      socket_close(client.link.socket);
      client.link.socket = INVALID_SOCKET_HANDLE;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(2000));
  }
  client.coming_back = false;
  *failure = "client " + std::to_string(k) + " could not come back within " +
             std::to_string(options.reconnect_seconds) + " s" + (why.empty() ? "" : ": " + why);
  return false;
}

// Client k's turns, from `first` on; false when its connection closed and it
// did not come back, which it has said. The other clients play on. A client
// that has played its turns leaves at once: one that came back into a
// running match missed the turns played without it, so it ends turns after
// the others, and a server that serves its players one after the other
// would wait for ever for the next turn of a client that stayed connected.
bool play_turns(Session& session, int32_t k, int32_t first, int32_t player_count) {
  Client& client = session.clients[static_cast<size_t>(k)];
  for (int32_t turn = first; turn <= session.options.turns; ++turn) {
    std::string failure = play_turn(session, k, turn, player_count);
    if (failure.empty()) continue;
    if (session.options.reconnect && come_back(session, k, turn, player_count, &failure)) {
      --turn;  // the turn whose exchange was cut off is played again
      continue;
    }
    client.gone = true;
    say(failure);
    return false;
  }
  socket_close(client.link.socket);
  client.link.socket = INVALID_SOCKET_HANDLE;
  return true;
}

int play(const ClientOptions& options) {
  std::string err;
  if (!socket_startup(&err)) return fail(EXIT_UNREACHABLE, err);
  Session session(options);
  std::vector<Client>& clients = session.clients;

  int32_t player_count = 0;
  for (int32_t k = 0; k < options.clients; ++k) {
    Client& client = clients[static_cast<size_t>(k)];
    if (options.trace) {
      client.link.trace = [&client, k](bool outgoing, const char* step, int32_t value) {
        if (std::strcmp(step, "table pos_x") == 0) ++client.table_player;
        print_trace(client, k, outgoing, step, value);
      };
    }
    err.clear();
    if (!connect_client(options, client, k, &err)) {
      // Some systems let the connect itself fail when the server closes the
      // connection at once.
      if (client.link.reset_at_connect) {
        return fail(EXIT_SERVER_FAILED,
                    closed_before_greeting(k, "while connecting", options.source));
      }
      return fail(EXIT_UNREACHABLE, "client " + std::to_string(k) + ": " + err);
    }
    socket_local_address(client.link.socket, client.local_address);
    watch_receives(session, k);
    const int32_t count = client_join(client.link);
    if (client.beyond_humans) {
      return fail(EXIT_BAD_ARGUMENTS,
                  "the match has " + std::to_string(k) + " human player" + (k == 1 ? "" : "s") +
                      " only: the server has told client 0 its player index, so client " +
                      std::to_string(k) + " and later are never served; run with --clients " +
                      std::to_string(k));
    }
    if (client.link.closed) return fail(EXIT_SERVER_FAILED, closed_message(k, client));
    if (count < 1 || count > MAX_PLAYERS || (k > 0 && count != player_count)) {
      return fail(EXIT_SERVER_FAILED, "client " + std::to_string(k) +
                                          " was sent the player count " + std::to_string(count) +
                                          ", which no match can have");
    }
    player_count = count;
  }

  int32_t map_number = 0;
  for (int32_t k = 0; k < options.clients; ++k) {
    Client& client = clients[static_cast<size_t>(k)];
    client.phase = Phase::Number;
    client_learn(client.link, &client.player_index, &map_number);
    if (client.link.closed) return fail(EXIT_SERVER_FAILED, closed_message(k, client));
    if (client.player_index < 0 || client.player_index >= player_count) {
      return fail(EXIT_SERVER_FAILED, "client " + std::to_string(k) +
                                          " was sent the player index " +
                                          std::to_string(client.player_index) + " in a match of " +
                                          std::to_string(player_count) + " players");
    }
    client.view.players.resize(static_cast<size_t>(player_count));
  }

  uint64_t before = 0;
  for (Client& client : clients) {
    before += client.link.sent + client.link.received;
    client.phase = Phase::Turn;
  }
  const auto start = std::chrono::steady_clock::now();
  // A client whose connection closes is one player gone (a kick): it says
  // so and ends, the others play on; once they are done zolt-client ends
  // with EXIT_SERVER_FAILED.
  bool any_gone = false;
  if (options.one_at_a_time) {
    for (int32_t turn = 1; turn <= options.turns; ++turn) {
      for (int32_t k = 0; k < options.clients; ++k) {
        Client& client = clients[static_cast<size_t>(k)];
        if (client.gone) continue;
        const std::string failure = play_turn(session, k, turn, player_count);
        if (failure.empty()) continue;
        client.gone = true;
        say(failure);
      }
    }
  } else {
    // Each client on a thread of its own: a server that serves its clients
    // at once sends none its relay values before every client has reported.
    std::vector<std::thread> threads;
    for (int32_t k = 0; k < options.clients; ++k) {
      threads.emplace_back(
          [&session, k, player_count] { play_turns(session, k, 1, player_count); });
    }
    for (std::thread& thread : threads) thread.join();
  }
  for (const Client& client : clients) any_gone = any_gone || client.gone;
  if (any_gone) {
    for (Client& client : clients) socket_close(client.link.socket);
    return EXIT_SERVER_FAILED;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  uint64_t messages = 0;
  for (const Client& client : clients) messages += client.link.sent + client.link.received;
  messages -= before;
  for (Client& client : clients) socket_close(client.link.socket);

  std::printf("Map %" PRId32 ", %" PRId32 " players, %s", map_number, player_count,
              players_of(clients).c_str());
  if (options.turns > 0) {
    // The client served last in a turn has the table that holds every
    // report of that turn: the one with the highest player index.
    const auto last = std::max_element(
        clients.begin(), clients.end(),
        [](const Client& a, const Client& b) { return a.player_index < b.player_index; });
    std::printf("; the table client %" PRId32 " was sent in turn %" PRId32 ":\n",
                static_cast<int32_t>(last - clients.begin()), options.turns);
    print_table(last->view.players);
  } else {
    std::printf(".\n");
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
  if (options.find) return find_servers(options);
  return play(options);
}
