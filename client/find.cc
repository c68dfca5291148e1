#include "client/find.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "console/command_line.h"
#include "net/address.h"
#include "net/query.h"
#include "net/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Found {
  DatagramPeer from;
  QueryInfo info;
  double round_trip_ms = 0;
};

// Where the last request to an address went out: the round trip's start.
struct Asked {
  uint32_t address = 0;
  Clock::time_point at{};
};

std::string dotted(uint32_t address) {
  char text[DOTTED_SIZE];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, address >> 16 & 0xFF,
                address >> 8 & 0xFF, address & 0xFF);
  return text;
}

// "A.B.C.D[:P]" into peer, the port defaulting to `port`.
bool read_target(const std::string& text, uint16_t port, DatagramPeer* peer) {
  const size_t colon = text.find(':');
  int32_t value = port;
  if (colon != std::string::npos &&
      (!whole_int32(text.substr(colon + 1), &value) || value < 1 || value > 65535)) {
    return false;
  }
  peer->port = static_cast<uint16_t>(value);
  return parse_dotted_ipv4(text.substr(0, colon), &peer->address);
}

// A text from the network, safe to print: a control character (a terminal's
// escape sequence) becomes '?'.
std::string printable(std::string text) {
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return text;
}

}  // namespace

int find_servers(const ClientOptions& options) {
  std::string err;
  if (!socket_startup(&err)) {
    std::fprintf(stderr, "zolt-client: %s\n", err.c_str());
    return EXIT_UNREACHABLE;
  }
  std::vector<DatagramPeer> targets;
  for (const uint32_t broadcast : socket_broadcast_addresses()) {
    targets.push_back({broadcast, options.port});
  }
  for (size_t from = 0; !options.ask.empty() && from <= options.ask.size();) {
    const size_t comma = std::min(options.ask.find(',', from), options.ask.size());
    DatagramPeer peer;
    if (!read_target(options.ask.substr(from, comma - from), options.port, &peer)) {
      std::fprintf(stderr, "zolt-client: --ask: not an IPv4 address with an optional port: '%s'\n",
                   options.ask.substr(from, comma - from).c_str());
      return EXIT_BAD_ARGUMENTS;
    }
    targets.push_back(peer);
    from = comma + 1;
  }
  const SocketHandle socket = socket_bind_datagram(nullptr, 0, true, &err);
  if (socket == INVALID_SOCKET_HANDLE) {
    std::fprintf(stderr, "zolt-client: %s\n", err.c_str());
    return EXIT_UNREACHABLE;
  }
  socket_set_blocking(socket, false);
  const std::vector<uint8_t> ask = query_write_request(QueryKind::Info, QUERY_NO_CHALLENGE);
  const auto start = Clock::now();
  // A network without a broadcast route refuses the datagram: the others go on.
  for (const DatagramPeer& target : targets) socket_send_to(socket, ask.data(), ask.size(), target);

  std::vector<Asked> asked;
  std::vector<Found> found;
  const auto deadline = start + std::chrono::milliseconds(FIND_WAIT_MS);
  for (auto now = start; now < deadline; now = Clock::now()) {
    SocketWait wait{socket, false};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (socket_poll(&wait, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    uint8_t buffer[QUERY_PACKET_SIZE];
    DatagramPeer from;
    const long size = socket_receive_from(socket, buffer, sizeof buffer, &from);
    if (size <= 0) continue;
    const auto got = static_cast<size_t>(size);
    const auto received = Clock::now();
    uint32_t challenge = 0;
    if (query_read_challenge(buffer, got, &challenge)) {
      // The round trip counts from the request that the answer answers.
      const std::vector<uint8_t> again = query_write_request(QueryKind::Info, challenge);
      socket_send_to(socket, again.data(), again.size(), from);
      auto place = std::find_if(asked.begin(), asked.end(),
                                [&](const Asked& a) { return a.address == from.address; });
      if (place == asked.end()) place = asked.insert(asked.end(), Asked{from.address, {}});
      place->at = Clock::now();
      continue;
    }
    Found server;
    if (!query_read_info(buffer, got, &server.info)) continue;
    if (std::any_of(found.begin(), found.end(), [&](const Found& f) {
          return f.from.address == from.address && f.from.port == from.port;
        })) {
      continue;  // asked both by broadcast and by address
    }
    const auto place = std::find_if(asked.begin(), asked.end(),
                                    [&](const Asked& a) { return a.address == from.address; });
    const auto sent = place == asked.end() ? start : place->at;
    server.from = from;
    server.round_trip_ms = std::chrono::duration<double, std::milli>(received - sent).count();
    found.push_back(server);
  }
  socket_close(socket);

  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.from.address != b.from.address ? a.from.address < b.from.address
                                            : a.from.port < b.from.port;
  });
  for (const Found& server : found) {
    const QueryInfo& info = server.info;
    // The address players connect to: the sender's, at the game's port.
    const uint16_t game_port = info.game_port != 0 ? info.game_port : server.from.port;
    std::printf("%s:%u  %s  map %s  players %u/%u  %s  %.2f ms\n",
                dotted(server.from.address).c_str(), static_cast<unsigned>(game_port),
                printable(info.name).c_str(), printable(info.map).c_str(),
                static_cast<unsigned>(info.players), static_cast<unsigned>(info.max_players),
                info.keywords == "free" ? "seat free" : "no seat free", server.round_trip_ms);
  }
  std::fflush(stdout);
  if (found.empty()) {
    std::fprintf(stderr, "zolt-client: no server answered on port %u\n",
                 static_cast<unsigned>(options.port));
    return EXIT_UNREACHABLE;
  }
  return EXIT_PLAYED;
}
