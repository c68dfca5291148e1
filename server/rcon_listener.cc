#include "server/rcon_listener.h"

#include <algorithm>

#include "console/log.h"
#include "net/rcon.h"
#include "server/operator_hand.h"

namespace {

using Clock = RconClock;

// What one connection may have sent and not had taken yet: a command's
// packets wait while the one before it is run.
constexpr size_t IN_LIMIT = 64 * 1024;
// Failures remembered per address, at most; past it the stalest go.
constexpr size_t ADDRESSES_LIMIT = 1024;
// The listener rests this long after an accept failed with a connection
// waiting (out of descriptors), as the game's lobby does.
constexpr auto ACCEPT_PAUSE = std::chrono::seconds(1);
// How long the thread sleeps at most: it looks at the stop request, the
// time-outs and the answers this often.
constexpr int IDLE_WAIT_MS = 250;
constexpr int BUSY_WAIT_MS = 10;

void close_with(RconGate& gate, RconConnection& c, const char* why) {
  c.closing = true;
  c.why = why;
  if (c.authenticated) {
    log_line(LogLevel::Warning, "%s closed: %s", c.origin.c_str(), why);
  } else {
    paced_warning(gate.malformed, "remote console connections closed before authentication",
                  "%s closed: %s", c.origin.c_str(), why);
  }
}

void forget_old(std::vector<Clock::time_point>& at, Clock::time_point now) {
  at.erase(std::remove_if(at.begin(), at.end(),
                          [now](Clock::time_point t) { return now - t > RCON_FAILURE_WINDOW; }),
           at.end());
}

// Counts a failure from `address`; the delay before its answer.
std::chrono::milliseconds count_failure(RconGate& gate, const std::string& address,
                                        Clock::time_point now) {
  forget_old(gate.all, now);
  gate.all.push_back(now);
  RconGate::Failures* mine = nullptr;
  for (RconGate::Failures& f : gate.by_address) {
    forget_old(f.at, now);
    if (f.address == address) mine = &f;
  }
  if (mine == nullptr) {
    gate.by_address.erase(std::remove_if(gate.by_address.begin(), gate.by_address.end(),
                                         [](const RconGate::Failures& f) { return f.at.empty(); }),
                          gate.by_address.end());
    if (gate.by_address.size() >= ADDRESSES_LIMIT) gate.by_address.erase(gate.by_address.begin());
    gate.by_address.push_back({address, {}});
    mine = &gate.by_address.back();
  }
  mine->at.push_back(now);
  // Only the last few count: the delay stops doubling, the budget is passed.
  if (mine->at.size() > 5) mine->at.erase(mine->at.begin());
  if (gate.all.size() > static_cast<size_t>(RCON_FAILURE_BUDGET)) gate.all.erase(gate.all.begin());
  const size_t doublings = std::min<size_t>(mine->at.size() - 1, 4);
  return std::min(RCON_FAILURE_DELAY * (1 << doublings), RCON_FAILURE_DELAY_MAX);
}

// Whether failures from everywhere have passed the budget: every answer to
// a password then waits.
bool busy(RconGate& gate, Clock::time_point now) {
  forget_old(gate.all, now);
  return gate.all.size() >= static_cast<size_t>(RCON_FAILURE_BUDGET);
}

// The answer to an authentication: an empty response then the verdict, both
// with the request's id, or -1 when the password is wrong.
std::string auth_answer(int32_t id) {
  std::string out;
  rcon_append_packet(out, id, RCON_RESPONSE_VALUE, "");
  rcon_append_packet(out, id, RCON_AUTH_RESPONSE, "");
  return out;
}

void take_auth(RconGate& gate, RconConnection& c, const RconPacket& packet, Clock::time_point now) {
  const bool was_busy = busy(gate, now);
  if (rcon_password_matches(packet.body, gate.password)) {
    c.authenticated = true;
    log_line(LogLevel::Info, "%s authenticated", c.origin.c_str());
    c.held = auth_answer(packet.id);
    c.answer_at = was_busy ? now + RCON_BUSY_DELAY : now;
    return;
  }
  std::chrono::milliseconds delay = count_failure(gate, c.address, now);
  if (was_busy) delay = std::max(delay, std::chrono::milliseconds(RCON_BUSY_DELAY));
  paced_warning(gate.wrong_password, "wrong remote console passwords",
                "%s: wrong password; answered in %d ms", c.origin.c_str(),
                static_cast<int>(delay.count()));
  c.held = auth_answer(-1);
  c.answer_at = now + delay;
  c.closing = true;  // once the answer is sent
}

}  // namespace

void rcon_take_packets(RconGate& gate, RconConnection& c, Clock::time_point now,
                       const std::function<uint64_t(const std::string&)>& submit) {
  // Nor while the peer leaves a long answer unread.
  while (!c.closing && c.ticket == 0 && c.held.empty() && c.out.size() < IN_LIMIT) {
    RconPacket packet;
    size_t used = 0;
    const RconRead read = rcon_read_packet(c.in.data(), c.in.size(), &packet, &used);
    if (read == RconRead::NeedMore) return;
    if (read == RconRead::Malformed) {
      close_with(gate, c, "a malformed packet");
      return;
    }
    c.in.erase(0, used);
    if (now - c.second >= std::chrono::seconds(1)) {
      c.second = now;
      c.packets = 0;
    }
    if (++c.packets > RCON_PACKETS_PER_SECOND) {
      close_with(gate, c, "a flood of packets");
      return;
    }
    if (packet.type == RCON_AUTH) {
      take_auth(gate, c, packet, now);
    } else if (!c.authenticated) {
      close_with(gate, c, "a command before authentication");
    } else if (packet.type == RCON_RESPONSE_VALUE) {
      // Mirrored, so that the client knows every answer before it has come.
      rcon_append_packet(c.out, packet.id, RCON_RESPONSE_VALUE, "");
    } else if (packet.type != RCON_EXECCOMMAND) {
      close_with(gate, c, "a packet of an unknown type");
    } else {
      c.command_id = packet.id;
      c.asked = now;
      c.ticket = submit(packet.body);
    }
  }
}

bool rcon_release_held(RconConnection& c, Clock::time_point now) {
  if (c.held.empty() || now < c.answer_at) return false;
  c.out += c.held;
  c.held.clear();
  return true;
}

void rcon_answer_command(RconConnection& c, const std::string& answer) {
  rcon_append_answer(c.out, c.command_id, answer);
  c.ticket = 0;
}

namespace {

// Sends what a connection has to send, as far as its peer takes it now.
// False when the connection failed.
bool flush(SocketHandle socket, RconConnection& c) {
  while (!c.out.empty()) {
    bool would_block = false;
    const long n = socket_send(socket, c.out.data(), c.out.size(), &would_block);
    if (n <= 0) return would_block;
    c.out.erase(0, static_cast<size_t>(n));
  }
  return true;
}

void serve_connection(RconService& rcon, SocketHandle socket, RconConnection& c, bool readable,
                      Clock::time_point now) {
  OperatorHand& hand = *rcon.hand;
  if (readable && c.why == nullptr) {
    char buffer[4096];
    bool would_block = false;
    const size_t got = socket_recv(socket, buffer, sizeof buffer, &would_block);
    if (got == 0 && !would_block) {
      // Gone: nothing to send it any more.
      c.closing = true;
      c.why = "";
      c.out.clear();
      c.held.clear();
    } else if (c.in.size() + got > IN_LIMIT) {
      close_with(rcon.gate, c, "too much sent before an answer");
      c.held.clear();
    } else {
      c.in.append(buffer, got);
    }
  }
  if (c.ticket != 0) {
    std::string answer;
    if (operator_poll_answer(hand, c.ticket, &answer)) {
      rcon_answer_command(c, answer);
    } else if (now - c.asked > RCON_ANSWER_WAIT) {
      operator_give_up(hand, c.ticket);
      rcon_answer_command(c,
                          "the match has not taken the command yet (it does between turns and "
                          "while a client's message is awaited); it runs when it does\n");
    }
  }
  rcon_release_held(c, now);
  rcon_take_packets(rcon.gate, c, now, [&hand, &c](const std::string& line) {
    return operator_submit(hand, line, c.origin, false);
  });
  if (!c.closing && !c.authenticated && c.held.empty() && now - c.opened > RCON_AUTH_TIME) {
    close_with(rcon.gate, c, "no authentication in time");
  }
  if (!flush(socket, c)) {
    c.out.clear();
    c.closing = true;
    if (c.why == nullptr) c.why = "";
  }
}

// Closes a connection that is done. A command of its that the match has
// not answered yet is given up: its answer, when it comes, is kept for
// nobody, and the server's end does not wait for it to be taken.
void close_connection(OperatorHand& hand, SocketHandle socket, const RconConnection& c) {
  if (c.ticket != 0) operator_give_up(hand, c.ticket);
  socket_close(socket);
}

void accept_connection(RconService& rcon, Clock::time_point now) {
  std::string why;
  const SocketHandle socket = socket_accept(rcon.listener, &why);
  if (socket == INVALID_SOCKET_HANDLE) {
    rcon.resting_until = now + ACCEPT_PAUSE;
    paced_warning(rcon.accept_failed, "failed remote console accepts",
                  "the remote console cannot accept a connection (%s): it rests a second",
                  why.c_str());
    return;
  }
  RconConnection c;
  char address[DOTTED_SIZE];
  uint16_t port = 0;
  socket_peer_address(socket, address, &port);
  c.address = address;
  c.origin = "rcon " + c.address + ":" + std::to_string(port);
  c.opened = now;
  if (rcon.peers.size() >= RCON_CONNECTIONS) {
    // The oldest that has not authenticated makes room, one that has sent
    // no password first; one that has authenticated is never put out for
    // a newcomer.
    auto oldest = rcon.peers.end();
    const auto before = [](const RconConnection& a, const RconConnection& b) {
      const bool a_idle = a.held.empty();
      const bool b_idle = b.held.empty();
      return a_idle != b_idle ? a_idle : a.opened < b.opened;
    };
    for (auto at = rcon.peers.begin(); at != rcon.peers.end(); ++at) {
      if (!at->second.authenticated &&
          (oldest == rcon.peers.end() || before(at->second, oldest->second))) {
        oldest = at;
      }
    }
    if (oldest == rcon.peers.end()) {
      paced_warning(rcon.gate.crowded, "remote console connections refused",
                    "%s refused: every remote console connection is taken", c.origin.c_str());
      socket_close(socket, true);
      return;
    }
    paced_warning(rcon.gate.crowded, "remote console connections put out",
                  "%s closed: a newer connection takes its place before it authenticated",
                  oldest->second.origin.c_str());
    socket_close(oldest->first, true);
    rcon.peers.erase(oldest);
  }
  socket_set_blocking(socket, false);
  rcon.peers.emplace_back(socket, std::move(c));
}

void serve(RconService* rcon) {
  std::vector<SocketWait> waits;
  while (!rcon->stopping.load(std::memory_order_relaxed)) {
    auto now = Clock::now();
    const bool listening = now >= rcon->resting_until;
    waits.clear();
    // The listener first while it is looked at, then each connection.
    const size_t first = listening ? 1 : 0;
    if (listening) waits.push_back(SocketWait{rcon->listener, false});
    bool awaiting = false;
    for (const auto& [socket, c] : rcon->peers) {
      waits.push_back(SocketWait{socket, false});
      awaiting = awaiting || c.ticket != 0 || !c.held.empty() || !c.out.empty();
    }
    if (socket_poll(waits.data(), waits.size(), awaiting ? BUSY_WAIT_MS : IDLE_WAIT_MS) < 0) {
      for (SocketWait& wait : waits) wait.ready = false;
    }
    now = Clock::now();
    for (size_t i = 0; i < rcon->peers.size(); ++i) {
      auto& [socket, c] = rcon->peers[i];
      serve_connection(*rcon, socket, c, waits[i + first].ready, now);
    }
    for (size_t i = rcon->peers.size(); i-- > 0;) {
      const auto& [socket, c] = rcon->peers[i];
      if (!c.closing || !c.out.empty() || !c.held.empty()) continue;
      close_connection(*rcon->hand, socket, c);
      rcon->peers.erase(rcon->peers.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (listening && waits[0].ready) accept_connection(*rcon, now);
  }
}

}  // namespace

RconService::~RconService() {
  rcon_stop(*this);
}

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

std::unique_ptr<RconService> rcon_start(SocketHandle listener, OperatorHand& hand,
                                        std::string password) {
  auto rcon = std::make_unique<RconService>();
  rcon->listener = listener;
  rcon->hand = &hand;
  rcon->gate.password = std::move(password);
  rcon->thread = std::thread(serve, rcon.get());
  return rcon;
}

void rcon_stop(RconService& rcon) {
  if (!rcon.thread.joinable()) return;
  rcon.stopping.store(true, std::memory_order_relaxed);
  rcon.thread.join();
  // What came last (the empty packet a client sends behind its command) is
  // taken and answered, and what is to be sent goes, a moment at most, so
  // that the close is a clean one and not a reset.
  const auto until = Clock::now() + std::chrono::milliseconds(500);
  for (auto& [socket, c] : rcon.peers) {
    while (Clock::now() < until) {
      const auto now = Clock::now();
      SocketWait wait{socket, false};
      socket_poll(&wait, 1, 20);
      c.held.clear();
      serve_connection(rcon, socket, c, wait.ready, now);
      if (c.out.empty() && !wait.ready) break;
    }
    close_connection(*rcon.hand, socket, c);
  }
  rcon.peers.clear();
  socket_close(rcon.listener);
  rcon.listener = INVALID_SOCKET_HANDLE;
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
