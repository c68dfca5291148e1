// POSIX sockets for the server: the same calls as the Windows build, with
// EINTR retries and writes that cannot raise SIGPIPE.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "net/socket.h"

const bool LISTENER_REUSES_ADDRESS = true;

namespace {

void copy_dotted(const in_addr& address, char (&out)[DOTTED_SIZE]) {
  if (inet_ntop(AF_INET, &address, out, DOTTED_SIZE) == nullptr) std::strcpy(out, "0.0.0.0");
}

int fd_of(SocketHandle s) {
  return static_cast<int>(s);
}

// The first IPv4 address the resolver gives for name.
bool lookup_first_ipv4(const char* name, sockaddr_in* address, std::string* err) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(name, nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    *err = std::string("cannot resolve host name '") + name + "': " + gai_strerror(rc);
    return false;
  }
  *address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  freeaddrinfo(found);
  return true;
}

}  // namespace

bool socket_startup(std::string*) {
  // send() below passes MSG_NOSIGNAL; ignoring SIGPIPE as well covers any
  // other write to a socket the peer has dropped.
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

bool resolve_first_ipv4(const char* name, char (&out)[DOTTED_SIZE], std::string* err) {
  std::strcpy(out, "0.0.0.0");
  char own_name[256] = {};
  if (name == nullptr) {
    if (gethostname(own_name, sizeof own_name - 1) != 0) {
      *err = std::string("cannot read this machine's host name: ") + std::strerror(errno);
      return false;
    }
    name = own_name;
  }
  sockaddr_in address{};
  if (!lookup_first_ipv4(name, &address, err)) return false;
  copy_dotted(address.sin_addr, out);
  return true;
}

namespace {

// Binds fd to address_text (empty or null: every address) and port, for
// socket_bind and socket_bind_datagram (kind: "TCP" or "UDP", for the
// message); closes fd when it cannot.
SocketHandle bind_to(int fd, const char* address_text, uint16_t port, const char* kind,
                     std::string* err) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  const std::string what = std::string("cannot bind ") + kind + " port " + std::to_string(port);
  if (address_text != nullptr && *address_text != '\0' &&
      inet_pton(AF_INET, address_text, &address.sin_addr) != 1) {
    *err = what + ": '" + address_text + "' is not an IPv4 address";
    ::close(fd);
    return INVALID_SOCKET_HANDLE;
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *err = what + ": " + std::strerror(errno);
    ::close(fd);
    return INVALID_SOCKET_HANDLE;
  }
  return fd;
}

}  // namespace

SocketHandle socket_bind(const char* address_text, uint16_t port, std::string* err) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    *err = std::string("cannot create the listening socket: ") + std::strerror(errno);
    return INVALID_SOCKET_HANDLE;
  }
  // Without it a server started right after another could not take the port
  // while the old connections wait out TIME_WAIT.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  return bind_to(fd, address_text, port, "TCP", err);
}

bool socket_listen(SocketHandle listener, int backlog, std::string* err) {
  if (::listen(fd_of(listener), backlog) != 0) {
    *err = std::string("cannot listen on the server socket: ") + std::strerror(errno);
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

SocketHandle socket_accept(SocketHandle listener, std::string* err, bool* interrupted) {
  sockaddr_in peer{};
  for (;;) {
    socklen_t length = sizeof peer;
    const int fd = ::accept(fd_of(listener), reinterpret_cast<sockaddr*>(&peer), &length);
    if (fd >= 0) {
      last_accepted = fd;
      last_accepted_peer = peer;
      return fd;
    }
    if (errno == EINTR && interrupted != nullptr) {
      *interrupted = true;
      return INVALID_SOCKET_HANDLE;
    }
    // A connection that was reset while it waited in the backlog is not a
    // failed accept of the next client; take the next one instead.
    if (errno != EINTR && errno != ECONNABORTED) {
      if (err != nullptr) *err = std::strerror(errno);
      return INVALID_SOCKET_HANDLE;
    }
  }
}

void socket_peer_address(SocketHandle connection, char (&out)[DOTTED_SIZE], uint16_t* port) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(fd_of(connection), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
    peer = connection == last_accepted ? last_accepted_peer : sockaddr_in{};
  }
  copy_dotted(peer.sin_addr, out);
  if (port != nullptr) *port = ntohs(peer.sin_port);
}

void socket_local_address(SocketHandle connection, char (&out)[DOTTED_SIZE]) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd_of(connection), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    local.sin_addr.s_addr = 0;
  }
  copy_dotted(local.sin_addr, out);
}

std::vector<std::string> socket_local_addresses() {
  std::vector<std::string> addresses;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return addresses;
  for (const ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    const in_addr address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr;
    if ((ntohl(address.s_addr) >> 24) == 127) continue;
    char dotted[DOTTED_SIZE];
    copy_dotted(address, dotted);
    addresses.emplace_back(dotted);
  }
  freeifaddrs(interfaces);
  return addresses;
}

bool socket_set_receive_timeout(SocketHandle connection, int milliseconds) {
  timeval timeout{};
  timeout.tv_sec = milliseconds / 1000;
  timeout.tv_usec = (milliseconds % 1000) * 1000;
  return setsockopt(fd_of(connection), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

void socket_shutdown(SocketHandle connection) {
  if (connection != INVALID_SOCKET_HANDLE) ::shutdown(fd_of(connection), SHUT_RDWR);
}

long socket_send(SocketHandle connection, const char* data, size_t length, bool* would_block) {
  for (;;) {
    const ssize_t sent = ::send(fd_of(connection), data, length, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<long>(sent);
    if (errno == EINTR) continue;
    if (would_block != nullptr) *would_block = errno == EAGAIN || errno == EWOULDBLOCK;
    return -1;
  }
}

bool socket_set_send_timeout(SocketHandle connection, int milliseconds) {
  timeval timeout{};
  timeout.tv_sec = milliseconds / 1000;
  timeout.tv_usec = (milliseconds % 1000) * 1000;
  return setsockopt(fd_of(connection), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

bool socket_wait_writable(SocketHandle connection, int milliseconds) {
  pollfd wait{fd_of(connection), POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&wait, 1, milliseconds);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

bool socket_set_blocking(SocketHandle connection, bool blocking) {
  const int flags = ::fcntl(fd_of(connection), F_GETFL);
  if (flags < 0) return false;
  const int wanted = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
  return wanted == flags || ::fcntl(fd_of(connection), F_SETFL, wanted) == 0;
}

int socket_poll(SocketWait* waits, size_t count, int milliseconds) {
  // One per thread: the remote console's thread polls beside the match thread.
  thread_local std::vector<pollfd> fds;
  fds.resize(count);
  for (size_t i = 0; i < count; ++i) {
    fds[i] =
        pollfd{fd_of(waits[i].socket), static_cast<short>(waits[i].write ? POLLOUT : POLLIN), 0};
  }
  int ready;
  do {
    ready = ::poll(fds.data(), static_cast<nfds_t>(count), milliseconds);
  } while (ready < 0 && errno == EINTR);
  for (size_t i = 0; i < count; ++i) waits[i].ready = ready > 0 && fds[i].revents != 0;
  return ready;
}

size_t socket_recv(SocketHandle connection, char* buffer, size_t capacity, bool* timed_out) {
  for (;;) {
    const ssize_t got = ::recv(fd_of(connection), buffer, capacity, 0);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno == EINTR) continue;
    if (timed_out != nullptr) *timed_out = errno == EAGAIN || errno == EWOULDBLOCK;
    return 0;
  }
}

SocketHandle socket_connect(const char* host, uint16_t port, std::string* err, const char* source,
                            bool* reset) {
  sockaddr_in address{};
  if (!lookup_first_ipv4(host, &address, err)) return INVALID_SOCKET_HANDLE;
  address.sin_port = htons(port);
  sockaddr_in local{};
  const bool has_source = source != nullptr && source[0] != '\0';
  if (has_source && !lookup_first_ipv4(source, &local, err)) return INVALID_SOCKET_HANDLE;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    *err = std::string("cannot create a socket: ") + std::strerror(errno);
    return INVALID_SOCKET_HANDLE;
  }
  local.sin_port = 0;  // any free port of that address
  if (has_source && ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    *err = std::string("cannot use the source address ") + source + ": " + std::strerror(errno);
    ::close(fd);
    return INVALID_SOCKET_HANDLE;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (reset != nullptr) *reset = errno == ECONNRESET;
    *err = std::string("cannot connect to ") + host + ":" + std::to_string(port) + ": " +
           std::strerror(errno);
    ::close(fd);
    return INVALID_SOCKET_HANDLE;
  }
  return fd;
}

size_t socket_pending(SocketHandle connection) {
  int count = 0;
  if (::ioctl(fd_of(connection), FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<size_t>(count);
}

void socket_close(SocketHandle s, bool abort) {
  if (s == INVALID_SOCKET_HANDLE) return;
  if (abort) {
    const linger reset{1, 0};
    setsockopt(fd_of(s), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }
  ::close(fd_of(s));
}

SocketHandle socket_bind_datagram(const char* address_text, uint16_t port, bool broadcast,
                                  std::string* err) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    *err = std::string("cannot create a UDP socket: ") + std::strerror(errno);
    return INVALID_SOCKET_HANDLE;
  }
  const int on = 1;
  if (broadcast) setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  return bind_to(fd, address_text, port, "UDP", err);
}

long socket_receive_from(SocketHandle s, uint8_t* buffer, size_t capacity, DatagramPeer* from) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  ssize_t got = -1;
  do {
    // MSG_TRUNC: the datagram's whole size, so that a longer one is known.
    got = ::recvfrom(fd_of(s), buffer, capacity, MSG_TRUNC, reinterpret_cast<sockaddr*>(&peer),
                     &length);
  } while (got < 0 && errno == EINTR);
  if (got < 0 || static_cast<size_t>(got) > capacity || peer.sin_family != AF_INET) return -1;
  from->address = ntohl(peer.sin_addr.s_addr);
  from->port = ntohs(peer.sin_port);
  return static_cast<long>(got);
}

bool socket_send_to(SocketHandle s, const uint8_t* data, size_t length, const DatagramPeer& to) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(to.port);
  address.sin_addr.s_addr = htonl(to.address);
  ssize_t sent = -1;
  do {
    sent = ::sendto(fd_of(s), data, length, MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(length);
}

std::vector<uint32_t> socket_broadcast_addresses() {
  std::vector<uint32_t> addresses;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) == 0) {
    for (const ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
      if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
      if ((i->ifa_flags & IFF_BROADCAST) == 0 || i->ifa_netmask == nullptr) continue;
      // From the address and its mask: an interface set up without a
      // broadcast address of its own still has this one.
      const uint32_t address =
          ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
      const uint32_t mask =
          ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
      if (mask != 0xFFFFFFFFu) addresses.push_back(address | ~mask);
    }
    freeifaddrs(interfaces);
  }
  addresses.push_back(0xFFFFFFFFu);
  return addresses;
}

std::string socket_host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}
