// A whole turn exchange of one human against any client bytes, over a real
// socket pair (AF_UNIX stream sockets, so no port is taken). A client thread
// plays the other side strictly in turn, as the protocol wants: it sends one
// piece, then waits for the server's next message before the next piece, so
// every piece arrives as one receive. An empty piece closes the client's
// sending side; every later receive of the server then sees the close.
//
// Checked: the exchange ends (a hang is a libFuzzer time-out); every message
// the server sends is one plain decimal integer; and the exchange changes
// only what the client may change: its own position and heading, the relay
// values, one health value, and in the first turn the humans' positions from
// the start position file.
//
// Input: bytes human count (1..4), which human q is served (0..count-1), bot
// count (0..12), a flags byte (bit 0: the first turn, else a later one;
// bit 1: with --check-clients and --trace; bit 2: served at once), map number (0..3, whose start
// position file lies in the working directory); relay_a and relay_b (int32,
// little-endian); then the pieces, each a length byte (0: close; else
// 1..64 bytes, longer lengths cut to 64) and its bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "console/log.h"
#include "fuzz/fuzz_support.h"
#include "match/match.h"
#include "net/message.h"
#include "net/protocol.h"
#include "net/socket.h"
#include "server/turn_exchange.h"

namespace {

constexpr int MAP_FILES = 4;

std::filesystem::path work_dir;

void remove_work_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(work_dir, ignored);
}

// Start position files that end early, hold no number, or more than enough.
void write_start_position_files() {
  const char* const contents[MAP_FILES] = {"10 20 30 40 50 60 70 80", "", "-5\n7 x 9",
                                           "2147483648 -2147483649 1 2 3 4 5 6 7 8 9"};
  for (int map = 0; map < MAP_FILES; ++map) {
    std::ofstream(work_dir / ("dept" + std::to_string(map) + ".txt")) << contents[map];
  }
}

struct ClientResult {
  std::vector<std::string> in_turn;  // one server message after each piece
  std::string after_close;           // what came after the client stopped sending
};

// Sends the pieces in turn, each after the server's answer to the one
// before, then takes whatever the server still sends until it closes.
void play_client(int fd, const std::vector<std::string>& pieces, ClientResult& result) {
  char buffer[256];
  bool open = true;
  for (const std::string& piece : pieces) {
    if (piece.empty()) {
      shutdown(fd, SHUT_WR);
      open = false;
      break;
    }
    if (send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return;
    result.in_turn.emplace_back(buffer, static_cast<size_t>(got));
  }
  if (open) shutdown(fd, SHUT_WR);
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return;
    result.after_close.append(buffer, static_cast<size_t>(got));
  }
}

// Whether text is exactly one message of the server: a decimal integer in
// the one form format_int gives it.
bool is_one_message(const std::string& text) {
  if (text.size() > MESSAGE_MAX_DIGITS) return false;
  char formatted[MESSAGE_MAX_DIGITS + 1];
  format_int(parse_int(text.c_str()), formatted);
  return text == formatted;
}

// Messages that lay together once the client stopped answering in turn can
// no longer be told apart; they may hold only what messages hold.
bool is_message_text(const std::string& text) {
  for (char c : text) {
    if (c != '-' && (c < '0' || c > '9')) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string err;
  socket_startup(&err);
  // The first turn reads dept<N>.txt from the working directory: work in a
  // directory of our own that holds them. The console text and the log go to
  // /dev/null.
  std::string pattern = (std::filesystem::temp_directory_path() / "zolt-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  work_dir = pattern;
  write_start_position_files();
  std::atexit(remove_work_dir);
  std::filesystem::current_path(work_dir);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  if (!log_open("/dev/null", false, &err)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const auto server = std::make_unique<Server>();
  Match& match = server->match;
  match.human_count = input.take_small(1, 4);
  const int32_t q = input.take_small(0, match.human_count - 1);
  match.bot_count = input.take_small(0, 12);
  const uint8_t flags = input.take_byte();
  const bool first_turn = (flags & 1) != 0;
  server->options.check_clients = server->options.trace = (flags & 2) != 0;
  // Either scheduler: one client served alone gets the same either way.
  server->options.concurrent = (flags & 4) != 0;
  match.map_number = input.take_small(0, MAP_FILES - 1);
  create_route_tables(match);
  create_client_table(match);
  set_up_seats(*server);
  // Only human q is served: the others are gone.
  for (Seat& seat : server->seats.seat) {
    if (seat.index != q) seat.status = SeatStatus::Dropped;
  }
  server->seats.left = 1;
  set_up_tables(match);
  if (server->options.concurrent) ledger_set_up(server->ledger, server->match);
  match.turn_count = first_turn ? 1 : 2;
  match.relay_a = input.take_int32();
  match.relay_b = input.take_int32();

  std::vector<std::string> pieces;
  while (!input.empty()) {
    const size_t length = input.take_byte();
    std::string piece(length < MESSAGE_LIMIT ? length : MESSAGE_LIMIT, '\0');
    piece.resize(input.take_bytes(piece.data(), piece.size()));
    pieces.push_back(piece);
    if (length == 0) break;
  }

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
  Seat& seat = server->seats.seat[static_cast<size_t>(q)];
  seat_open(seat, pair[0], server->rules);
  if (server->options.concurrent) seat.nonblocking = socket_set_blocking(pair[0], false);
  ClientResult client;
  std::thread client_thread(play_client, pair[1], std::cref(pieces), std::ref(client));

  const Match before = match;
  serve_turn(*server);
  close(pair[0]);
  client_thread.join();
  close(pair[1]);

  for (const std::string& text : client.in_turn) {
    FUZZ_REQUIRE(is_one_message(text), "the server answered '%s'", text.c_str());
  }
  FUZZ_REQUIRE(is_message_text(client.after_close), "the server sent '%s'",
               client.after_close.c_str());
  const auto self = static_cast<size_t>(q);
  size_t health_changes = 0;
  for (size_t p = 0; p < match.pos_x.size(); ++p) {
    const bool human = p < static_cast<size_t>(match.human_count);
    if (p != self && !(first_turn && human)) {
      FUZZ_REQUIRE(match.pos_x[p] == before.pos_x[p] && match.pos_y[p] == before.pos_y[p],
                   "player %zu moved in the exchange of %" PRId32, p, q);
    }
    if (p != self) {
      FUZZ_REQUIRE(match.heading[p] == before.heading[p], "player %zu turned", p);
    }
    if (match.health[p] != before.health[p]) ++health_changes;
  }
  FUZZ_REQUIRE(health_changes <= 1, "%zu health values changed", health_changes);
  return 0;
}
