#include "server/rcon_listener.h"

#include <algorithm>
#include <cinttypes>
#include <thread>
#include <vector>

#include "console/log.h"
#include "net/rcon.h"
#include "server/operator_hand.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Peer {
  SocketHandle socket = INVALID_SOCKET_HANDLE;
  char address[DOTTED_SIZE] = "0.0.0.0";
  std::string origin;  // "rcon 127.0.0.1:50122"
  std::string in;      // bytes received, not yet a whole packet
  bool authenticated = false;
  Clock::time_point opened{};
  Clock::time_point second{};  // the start of the present second's packet count
  int packets = 0;
};

struct Failures {
  std::string address;
  std::vector<Clock::time_point> at;  // within the last window
  Clock::time_point refused_until{};
};

struct RconServer {
  SocketHandle listener = INVALID_SOCKET_HANDLE;
  OperatorHand* hand = nullptr;
  std::string password;
  std::vector<Peer> peers;
  std::vector<Failures> failures;
  std::vector<SocketWait> waits;
};

Failures& failures_of(RconServer& rcon, const char* address) {
  for (Failures& f : rcon.failures) {
    if (f.address == address) return f;
  }
  // One entry per address that ever failed; a minute old ones are reused.
  const auto now = Clock::now();
  for (Failures& f : rcon.failures) {
    if (f.refused_until < now && (f.at.empty() || now - f.at.back() > RCON_FAILURE_WINDOW)) {
      f = Failures{address, {}, {}};
      return f;
    }
  }
  // Bounded, so that failures from ever new addresses cannot fill the
  // memory: past the bound the entry refused longest ago makes room.
  if (rcon.failures.size() >= 1024) {
    Failures& oldest = *std::min_element(
        rcon.failures.begin(), rcon.failures.end(),
        [](const Failures& a, const Failures& b) { return a.refused_until < b.refused_until; });
    oldest = Failures{address, {}, {}};
    return oldest;
  }
  rcon.failures.push_back(Failures{address, {}, {}});
  return rcon.failures.back();
}

// Sends all of data on a socket that does not block, waiting a little while
// the peer's buffer is full. False when the peer does not take it.
bool send_all(SocketHandle socket, const std::string& data) {
  size_t sent = 0;
  int waits = 0;
  while (sent < data.size()) {
    bool would_block = false;
    const long n = socket_send(socket, data.data() + sent, data.size() - sent, &would_block);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (!would_block || ++waits > 5) return false;
    socket_wait_writable(socket, 1000);
  }
  return true;
}

void close_peer(Peer& peer, const char* why) {
  if (why != nullptr) log_line(LogLevel::Warning, "%s closed: %s", peer.origin.c_str(), why);
  socket_close(peer.socket);
  peer.socket = INVALID_SOCKET_HANDLE;
}

// The answer to an authentication: an empty response then the verdict, both
// with the request's id, or -1 when the password is wrong.
void answer_auth(Peer& peer, int32_t id) {
  std::string out;
  rcon_append_packet(out, id, RCON_RESPONSE_VALUE, "");
  rcon_append_packet(out, id, RCON_AUTH_RESPONSE, "");
  send_all(peer.socket, out);
}

// One packet from an open connection; false when the connection is to close.
bool take_packet(RconServer& rcon, Peer& peer, const RconPacket& packet) {
  if (!peer.authenticated || packet.type == RCON_AUTH) {
    if (packet.type != RCON_AUTH) {
      close_peer(peer, "a command before authentication");
      return false;
    }
    if (rcon_password_matches(packet.body, rcon.password)) {
      peer.authenticated = true;
      log_line(LogLevel::Info, "%s authenticated", peer.origin.c_str());
      answer_auth(peer, packet.id);
      return true;
    }
    Failures& failed = failures_of(rcon, peer.address);
    const auto now = Clock::now();
    failed.at.erase(
        std::remove_if(failed.at.begin(), failed.at.end(),
                       [now](Clock::time_point t) { return now - t > RCON_FAILURE_WINDOW; }),
        failed.at.end());
    failed.at.push_back(now);
    if (static_cast<int>(failed.at.size()) >= RCON_FAILURES) {
      failed.refused_until = now + RCON_FAILURE_WINDOW;
      failed.at.clear();
      log_line(LogLevel::Warning,
               "%s failed to authenticate %d times in a minute: %s is refused for a minute",
               peer.origin.c_str(), RCON_FAILURES, peer.address);
    }
    answer_auth(peer, -1);
    close_peer(peer, "wrong password");
    return false;
  }
  if (packet.type == RCON_RESPONSE_VALUE) {
    // Mirrored, so that the client knows every answer before it has come.
    std::string out;
    rcon_append_packet(out, packet.id, RCON_RESPONSE_VALUE, "");
    return send_all(peer.socket, out);
  }
  if (packet.type != RCON_EXECCOMMAND) {
    close_peer(peer, "a packet of an unknown type");
    return false;
  }
  OperatorHand& hand = *rcon.hand;
  const uint64_t ticket = operator_submit(hand, packet.body, peer.origin, false);
  std::string answer;
  if (!operator_take_answer(hand, ticket, RCON_ANSWER_WAIT, &answer)) {
    answer =
        "the match has not taken the command yet (it does between turns and while a "
        "client's message is awaited); it runs when it does\n";
    std::string out;
    rcon_append_answer(out, packet.id, answer);
    return send_all(peer.socket, out);
  }
  std::string out;
  rcon_append_answer(out, packet.id, answer);
  const bool sent = send_all(peer.socket, out);
  operator_answer_sent(hand);
  return sent;
}

// Reads what came on a peer's connection and serves each whole packet.
void serve_peer(RconServer& rcon, Peer& peer) {
  char buffer[4096];
  const size_t got = socket_recv(peer.socket, buffer, sizeof buffer);
  if (got == 0) {
    close_peer(peer, nullptr);
    return;
  }
  peer.in.append(buffer, got);
  for (;;) {
    RconPacket packet;
    size_t used = 0;
    const RconRead read = rcon_read_packet(peer.in.data(), peer.in.size(), &packet, &used);
    if (read == RconRead::NeedMore) return;
    if (read == RconRead::Malformed) {
      close_peer(peer, "a malformed packet");
      return;
    }
    peer.in.erase(0, used);
    const auto now = Clock::now();
    if (now - peer.second >= std::chrono::seconds(1)) {
      peer.second = now;
      peer.packets = 0;
    }
    if (++peer.packets > RCON_PACKETS_PER_SECOND) {
      close_peer(peer, "a flood of packets");
      return;
    }
    if (!take_packet(rcon, peer, packet)) {
      if (peer.socket != INVALID_SOCKET_HANDLE) close_peer(peer, nullptr);
      return;
    }
  }
}

void accept_peer(RconServer& rcon) {
  const SocketHandle socket = socket_accept(rcon.listener);
  if (socket == INVALID_SOCKET_HANDLE) return;
  Peer peer;
  peer.socket = socket;
  uint16_t port = 0;
  socket_peer_address(socket, peer.address, &port);
  peer.origin = "rcon " + std::string(peer.address) + ":" + std::to_string(port);
  peer.opened = Clock::now();
  for (const Failures& f : rcon.failures) {
    if (f.address == peer.address && f.refused_until > peer.opened) {
      close_peer(peer, nullptr);
      return;
    }
  }
  if (rcon.peers.size() >= RCON_CONNECTIONS) {
    close_peer(peer, "too many remote console connections");
    return;
  }
  socket_set_blocking(socket, false);
  rcon.peers.push_back(std::move(peer));
}

void serve(RconServer* rcon) {
  for (;;) {
    rcon->waits.assign(1, SocketWait{rcon->listener, false});
    bool any_unauthenticated = false;
    for (const Peer& peer : rcon->peers) {
      rcon->waits.push_back(SocketWait{peer.socket, false});
      any_unauthenticated = any_unauthenticated || !peer.authenticated;
    }
    // Asleep while nobody is connected or every client has authenticated.
    const int ready =
        socket_poll(rcon->waits.data(), rcon->waits.size(), any_unauthenticated ? 500 : -1);
    if (ready < 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (size_t i = 1; i < rcon->waits.size(); ++i) {
      if (rcon->waits[i].ready) serve_peer(*rcon, rcon->peers[i - 1]);
    }
    const auto now = Clock::now();
    for (Peer& peer : rcon->peers) {
      if (peer.socket != INVALID_SOCKET_HANDLE && !peer.authenticated &&
          now - peer.opened > RCON_AUTH_TIME) {
        close_peer(peer, "no authentication in time");
      }
    }
    rcon->peers.erase(
        std::remove_if(rcon->peers.begin(), rcon->peers.end(),
                       [](const Peer& p) { return p.socket == INVALID_SOCKET_HANDLE; }),
        rcon->peers.end());
    if (rcon->waits[0].ready) accept_peer(*rcon);
  }
}

}  // namespace

SocketHandle rcon_bind(const std::string& address, uint16_t port, std::string* err) {
  const SocketHandle listener = socket_bind(address.c_str(), port, err);
  if (listener == INVALID_SOCKET_HANDLE) return listener;
  if (!socket_listen(listener, 8, err)) {
    socket_close(listener);
    return INVALID_SOCKET_HANDLE;
  }
  socket_set_blocking(listener, false);
  return listener;
}

void rcon_start(SocketHandle listener, OperatorHand& hand, std::string password) {
  // Lives until the process ends, as its thread does; held here too, so
  // that it is never taken for a leak.
  static RconServer* const rcon = new RconServer;
  rcon->listener = listener;
  rcon->hand = &hand;
  rcon->password = std::move(password);
  std::thread(serve, rcon).detach();
}

bool rcon_password_matches(const std::string& given, const std::string& password) {
  // Every byte of the longer text is looked at, whatever differs first.
  const size_t length = std::max(given.size(), password.size());
  unsigned difference = given.size() == password.size() ? 0u : 1u;
  for (size_t i = 0; i < length; ++i) {
    const auto a = static_cast<unsigned char>(i < given.size() ? given[i] : 0);
    const auto b = static_cast<unsigned char>(i < password.size() ? password[i] : 0);
    difference |= static_cast<unsigned>(a ^ b);
  }
  return difference == 0;
}
