// Windows Sockets for the server: the same calls as the POSIX build.
// No SO_REUSEADDR here: on Windows it lets another program steal a bound
// port, which is not what the operator wants.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <vector>

#include "net/socket.h"

const bool LISTENER_REUSES_ADDRESS = false;

namespace {

SOCKET native(SocketHandle s) {
  return static_cast<SOCKET>(s);
}

SocketHandle handle(SOCKET s) {
  return s == INVALID_SOCKET ? INVALID_SOCKET_HANDLE : static_cast<SocketHandle>(s);
}

void copy_dotted(in_addr address, char (&out)[DOTTED_SIZE]) {
  const char* text = inet_ntoa(address);
  std::strncpy(out, text != nullptr ? text : "0.0.0.0", DOTTED_SIZE - 1);
  out[DOTTED_SIZE - 1] = '\0';
}

// The usual words for the common Windows Sockets errors, those POSIX
// systems give, for where the system has none of its own (Wine among them).
const char* usual_words(int code) {
  switch (code) {
    case WSAEACCES:
      return "permission denied";
    case WSAEADDRINUSE:
      return "address already in use";
    case WSAEADDRNOTAVAIL:
      return "cannot assign requested address";
    case WSAECONNREFUSED:
      return "connection refused";
    case WSAECONNRESET:
      return "connection reset by peer";
    case WSAECONNABORTED:
      return "connection aborted";
    case WSAETIMEDOUT:
      return "connection timed out";
    case WSAENETDOWN:
      return "network is down";
    case WSAENETUNREACH:
      return "network is unreachable";
    case WSAEHOSTUNREACH:
      return "no route to host";
    case WSAEMFILE:
      return "too many open sockets";
    case WSAENOBUFS:
      return "no buffer space available";
    case WSAEINVAL:
      return "invalid argument";
    case WSANOTINITIALISED:
      return "Windows Sockets not started";
    case WSAHOST_NOT_FOUND:
      return "host not found";
    case WSATRY_AGAIN:
      return "no answer from the name server, try again";
    case WSANO_DATA:
      return "the name has no IPv4 address";
    default:
      return nullptr;
  }
}

// "what: the system's words for the last error (Windows Sockets error N)".
std::string error_text(const char* what) {
  const int code = WSAGetLastError();
  char words[256] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(code), 0, words, sizeof words, nullptr);
  std::string reason(words, length);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.')) {
    reason.pop_back();
  }
  if (reason.empty() && usual_words(code) != nullptr) reason = usual_words(code);
  std::string text = what;
  if (!reason.empty()) text += ": " + reason;
  return text + " (Windows Sockets error " + std::to_string(code) + ")";
}

}  // namespace

bool socket_startup(std::string* err) {
  WSADATA info;
  const int rc = WSAStartup(MAKEWORD(2, 0), &info);
  if (rc != 0) {
    *err = "cannot start Windows Sockets (error " + std::to_string(rc) + ")";
    return false;
  }
  return true;
}

bool resolve_first_ipv4(const char* name, char (&out)[DOTTED_SIZE], std::string* err) {
  std::strcpy(out, "0.0.0.0");
  // Asked with no name, gethostbyname answers with this computer's own entry.
  const hostent* entry = gethostbyname(name);
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list == nullptr ||
      entry->h_addr_list[0] == nullptr) {
    *err = error_text((std::string("cannot resolve host name '") +
                       (name != nullptr ? name : "(this computer)") + "'")
                          .c_str());
    return false;
  }
  in_addr address;
  std::memcpy(&address, entry->h_addr_list[0], sizeof address);
  copy_dotted(address, out);
  return true;
}

namespace {

// Binds s to address_text (empty or null: every address) and port, for
// socket_bind and socket_bind_datagram (kind: "TCP" or "UDP", for the
// message); closes s when it cannot.
SocketHandle bind_to(SOCKET s, const char* address_text, uint16_t port, const char* kind,
                     std::string* err) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (address_text != nullptr && *address_text != '\0') {
    // inet_addr gives INADDR_NONE for what it cannot read, and for the
    // broadcast address, which no server listens on.
    address.sin_addr.s_addr = inet_addr(address_text);
  }
  const std::string what = std::string("cannot bind ") + kind + " port " + std::to_string(port);
  if (address.sin_addr.s_addr == INADDR_NONE) {
    *err = what + ": '" + address_text + "' is not an IPv4 address";
    ::closesocket(s);
    return INVALID_SOCKET_HANDLE;
  }
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *err = error_text(what.c_str());
    ::closesocket(s);
    return INVALID_SOCKET_HANDLE;
  }
  return handle(s);
}

}  // namespace

SocketHandle socket_bind(const char* address_text, uint16_t port, std::string* err) {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) {
    *err = error_text("cannot create the listening socket");
    return INVALID_SOCKET_HANDLE;
  }
  return bind_to(s, address_text, port, "TCP", err);
}

bool socket_listen(SocketHandle listener, int backlog, std::string* err) {
  if (::listen(native(listener), backlog) != 0) {
    *err = error_text("cannot listen on the server socket");
    return false;
  }
  return true;
}

namespace {

// The last connection this thread accepted, and its peer as the accept saw
// it: a connection reset at once has no peer left to ask for, and is still
// to be named by its address in the log.
thread_local SocketHandle last_accepted = INVALID_SOCKET_HANDLE;
thread_local sockaddr_in last_accepted_peer{};

}  // namespace

SocketHandle socket_accept(SocketHandle listener, std::string* err, bool*) {
  sockaddr_in peer{};
  // Wine reports a connection closed in the backlog as not connected; a
  // listener that keeps saying so is failing, and is told after a while.
  for (int gone = 0;; ++gone) {
    int length = sizeof peer;
    const SOCKET s = ::accept(native(listener), reinterpret_cast<sockaddr*>(&peer), &length);
    // A connection that was reset while it waited in the backlog is not a
    // failed accept of the next client; take the next one instead.
    const int error = s == INVALID_SOCKET ? WSAGetLastError() : 0;
    const bool closed_in_backlog = error == WSAECONNRESET || (error == WSAENOTCONN && gone < 100);
    if (!closed_in_backlog) {
      if (s == INVALID_SOCKET && err != nullptr) *err = error_text("accept");
      last_accepted = handle(s);
      last_accepted_peer = peer;
      return handle(s);
    }
  }
}

void socket_peer_address(SocketHandle connection, char (&out)[DOTTED_SIZE], uint16_t* port) {
  sockaddr_in peer{};
  int length = sizeof peer;
  if (::getpeername(native(connection), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
    peer = connection == last_accepted ? last_accepted_peer : sockaddr_in{};
  }
  copy_dotted(peer.sin_addr, out);
  if (port != nullptr) *port = ntohs(peer.sin_port);
}

void socket_local_address(SocketHandle connection, char (&out)[DOTTED_SIZE]) {
  sockaddr_in local{};
  int length = sizeof local;
  if (::getsockname(native(connection), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    local.sin_addr.s_addr = 0;
  }
  copy_dotted(local.sin_addr, out);
}

std::vector<std::string> socket_local_addresses() {
  // Asked with no name, gethostbyname lists every address of this computer.
  std::vector<std::string> addresses;
  const hostent* entry = gethostbyname(nullptr);
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list == nullptr) {
    return addresses;
  }
  for (char** item = entry->h_addr_list; *item != nullptr; ++item) {
    in_addr address;
    std::memcpy(&address, *item, sizeof address);
    if ((ntohl(address.s_addr) >> 24) == 127) continue;
    char dotted[DOTTED_SIZE];
    copy_dotted(address, dotted);
    addresses.emplace_back(dotted);
  }
  return addresses;
}

bool socket_set_receive_timeout(SocketHandle connection, int milliseconds) {
  const DWORD timeout = static_cast<DWORD>(milliseconds);
  return setsockopt(native(connection), SOL_SOCKET, SO_RCVTIMEO,
                    reinterpret_cast<const char*>(&timeout), sizeof timeout) == 0;
}

void socket_shutdown(SocketHandle connection) {
  if (connection != INVALID_SOCKET_HANDLE) ::shutdown(native(connection), SD_BOTH);
}

long socket_send(SocketHandle connection, const char* data, size_t length, bool* would_block) {
  const int sent = ::send(native(connection), data, static_cast<int>(length), 0);
  if (sent != SOCKET_ERROR) return sent;
  if (would_block != nullptr) {
    const int error = WSAGetLastError();
    *would_block = error == WSAETIMEDOUT || error == WSAEWOULDBLOCK;
  }
  return -1;
}

bool socket_set_send_timeout(SocketHandle connection, int milliseconds) {
  const DWORD timeout = static_cast<DWORD>(milliseconds);
  return setsockopt(native(connection), SOL_SOCKET, SO_SNDTIMEO,
                    reinterpret_cast<const char*>(&timeout), sizeof timeout) == 0;
}

bool socket_wait_writable(SocketHandle connection, int milliseconds) {
  WSAPOLLFD wait{};
  wait.fd = native(connection);
  wait.events = POLLWRNORM;
  return ::WSAPoll(&wait, 1, milliseconds) > 0;
}

bool socket_set_blocking(SocketHandle connection, bool blocking) {
  u_long nonblocking = blocking ? 0 : 1;
  // The command word has its top bit set: as the long the call takes, it wraps.
  return ::ioctlsocket(native(connection), static_cast<long>(FIONBIO), &nonblocking) == 0;
}

int socket_poll(SocketWait* waits, size_t count, int milliseconds) {
  // One per thread: the remote console's thread polls beside the match thread.
  thread_local std::vector<WSAPOLLFD> fds;
  fds.resize(count);
  for (size_t i = 0; i < count; ++i) {
    fds[i] = WSAPOLLFD{};
    fds[i].fd = native(waits[i].socket);
    fds[i].events = waits[i].write ? POLLWRNORM : POLLRDNORM;
  }
  const int ready = ::WSAPoll(fds.data(), static_cast<ULONG>(count), milliseconds);
  for (size_t i = 0; i < count; ++i) waits[i].ready = ready > 0 && fds[i].revents != 0;
  return ready == SOCKET_ERROR ? -1 : ready;
}

size_t socket_recv(SocketHandle connection, char* buffer, size_t capacity, bool* timed_out) {
  const int got = ::recv(native(connection), buffer, static_cast<int>(capacity), 0);
  if (got == SOCKET_ERROR && timed_out != nullptr) {
    const int error = WSAGetLastError();
    *timed_out = error == WSAETIMEDOUT || error == WSAEWOULDBLOCK;
  }
  return got > 0 ? static_cast<size_t>(got) : 0;
}

namespace {

// The first IPv4 address of name, port 0, into *address; false with *err
// filled when there is none.
bool lookup_ipv4(const char* name, sockaddr_in* address, std::string* err) {
  const hostent* entry = gethostbyname(name);
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr) {
    *err = error_text((std::string("cannot resolve '") + name + "'").c_str());
    return false;
  }
  *address = sockaddr_in{};
  address->sin_family = AF_INET;
  std::memcpy(&address->sin_addr, entry->h_addr_list[0], sizeof address->sin_addr);
  return true;
}

}  // namespace

SocketHandle socket_connect(const char* host, uint16_t port, std::string* err, const char* source,
                            bool* reset) {
  sockaddr_in address{};
  if (!lookup_ipv4(host, &address, err)) return INVALID_SOCKET_HANDLE;
  address.sin_port = htons(port);
  sockaddr_in local{};
  const bool has_source = source != nullptr && source[0] != '\0';
  if (has_source && !lookup_ipv4(source, &local, err)) return INVALID_SOCKET_HANDLE;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) {
    *err = error_text("cannot create a socket");
    return INVALID_SOCKET_HANDLE;
  }
  if (has_source && ::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    *err = error_text((std::string("cannot use the source address ") + source).c_str());
    ::closesocket(s);
    return INVALID_SOCKET_HANDLE;
  }
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (reset != nullptr) *reset = WSAGetLastError() == WSAECONNRESET;
    *err =
        error_text((std::string("cannot connect to ") + host + ":" + std::to_string(port)).c_str());
    ::closesocket(s);
    return INVALID_SOCKET_HANDLE;
  }
  return handle(s);
}

size_t socket_pending(SocketHandle connection) {
  u_long count = 0;
  if (::ioctlsocket(native(connection), FIONREAD, &count) != 0) return 0;
  return static_cast<size_t>(count);
}

void socket_close(SocketHandle s, bool abort) {
  if (s == INVALID_SOCKET_HANDLE) return;
  if (abort) {
    const linger reset{1, 0};
    setsockopt(native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
               sizeof reset);
  }
  ::closesocket(native(s));
}

SocketHandle socket_bind_datagram(const char* address_text, uint16_t port, bool broadcast,
                                  std::string* err) {
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) {
    *err = error_text("cannot create a UDP socket");
    return INVALID_SOCKET_HANDLE;
  }
  const BOOL on = TRUE;
  if (broadcast) {
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
  }
  // Without this, a datagram to a peer that has gone makes the next receive
  // fail with a reset (SIO_UDP_CONNRESET).
  constexpr DWORD UDP_CONNRESET = 0x9800000C;
  BOOL report = FALSE;
  DWORD returned = 0;
  WSAIoctl(s, UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
  return bind_to(s, address_text, port, "UDP", err);
}

long socket_receive_from(SocketHandle s, uint8_t* buffer, size_t capacity, DatagramPeer* from) {
  sockaddr_in peer{};
  int length = sizeof peer;
  // A datagram longer than capacity fails with WSAEMSGSIZE: lost, as it should be.
  const int got = ::recvfrom(native(s), reinterpret_cast<char*>(buffer), static_cast<int>(capacity),
                             0, reinterpret_cast<sockaddr*>(&peer), &length);
  if (got == SOCKET_ERROR || peer.sin_family != AF_INET) return -1;
  from->address = ntohl(peer.sin_addr.s_addr);
  from->port = ntohs(peer.sin_port);
  return got;
}

bool socket_send_to(SocketHandle s, const uint8_t* data, size_t length, const DatagramPeer& to) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(to.port);
  address.sin_addr.s_addr = htonl(to.address);
  return ::sendto(native(s), reinterpret_cast<const char*>(data), static_cast<int>(length), 0,
                  reinterpret_cast<const sockaddr*>(&address),
                  sizeof address) == static_cast<int>(length);
}

std::vector<uint32_t> socket_broadcast_addresses() {
  // Windows sends the limited broadcast out of every interface.
  return {0xFFFFFFFFu};
}

std::string socket_host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}
