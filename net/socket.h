// The platform's stream sockets and name service, behind one short list of
// calls with a POSIX implementation (socket_posix.cc) and a Windows Sockets
// one (socket_win32.cc). Callers never see errno or WSAGetLastError: a
// failure comes back as a plain value and, where it helps the operator, a
// text in `*err`.
//
// Sockets block unless socket_set_blocking says otherwise; a blocking one
// may be given time-outs for its receives and sends. A write to a
// connection the peer has closed fails quietly; it never ends the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A socket descriptor on POSIX, a SOCKET on Windows; both fit here and both
// use -1 (all bits set) for "no socket".
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle INVALID_SOCKET_HANDLE = -1;

// Whether a listener may ask for address reuse: on POSIX it lets a server
// started right after another take its port while old connections wait out
// TIME_WAIT; on Windows it would let another program take the port.
extern const bool LISTENER_REUSES_ADDRESS;

// Dotted IPv4 text, "255.255.255.255" and its terminator fit.
inline constexpr size_t DOTTED_SIZE = 16;

// Starts the sockets library (Windows) and makes writes to closed
// connections harmless (POSIX). Returns false and fills *err on failure.
bool socket_startup(std::string* err);

// Resolves name (or, when name is null, this machine's own host name) and
// writes its first IPv4 address as dotted text into out. Returns false,
// writes "0.0.0.0" and fills *err when there is none.
bool resolve_first_ipv4(const char* name, char (&out)[DOTTED_SIZE], std::string* err);

// A TCP/IPv4 socket bound to port on address (dotted IPv4; null or empty:
// every local address). On POSIX the port may be bound again while old
// connections linger in TIME_WAIT. Returns INVALID_SOCKET_HANDLE and fills
// *err, naming the port and the system's reason, when no socket could be
// created or bound.
SocketHandle socket_bind(const char* address, uint16_t port, std::string* err);

// Puts the socket into the listening state. Returns false and fills *err on
// failure.
bool socket_listen(SocketHandle listener, int backlog, std::string* err);

// Waits for one connection; INVALID_SOCKET_HANDLE when the accept fails,
// with the system's reason in *err when given ("Too many open files"). With
// `interrupted` given, a signal that interrupts the wait (POSIX) ends it too,
// with *interrupted set; otherwise the wait goes on.
SocketHandle socket_accept(SocketHandle listener, std::string* err = nullptr,
                           bool* interrupted = nullptr);

// The peer's IPv4 address as dotted text, and its port when port is given;
// "0.0.0.0" and 0 when they cannot be had.
void socket_peer_address(SocketHandle connection, char (&out)[DOTTED_SIZE],
                         uint16_t* port = nullptr);

// Every IPv4 address of this machine's network interfaces but loopback, as
// dotted text; none when they cannot be had.
std::vector<std::string> socket_local_addresses();

// Makes every receive on connection give up after milliseconds without a
// byte (0: wait for ever). Returns false when the system refuses.
bool socket_set_receive_timeout(SocketHandle connection, int milliseconds);

// Makes a connection's sends and receives return at once instead of waiting
// (blocking false), or wait again. Returns false when the system refuses.
bool socket_set_blocking(SocketHandle connection, bool blocking);

// One connection to watch for a message, or with `write` for room to send:
// `ready` is set when a receive (a send) on it will not wait (a message, a
// close or an error).
struct SocketWait {
  SocketHandle socket = INVALID_SOCKET_HANDLE;
  bool ready = false;
  bool write = false;
};

// Waits until at least one of the connections is ready, or milliseconds have
// passed (-1: for ever). Returns how many are ready, 0 when the time ran
// out, -1 when the system refuses. Storage, one per thread, grows only with
// the largest count.
int socket_poll(SocketWait* waits, size_t count, int milliseconds);

// Ends both directions of a connection without closing the socket: every
// later receive gives 0 at once, on this side too.
void socket_shutdown(SocketHandle connection);

// One send call; returns the bytes taken or -1, with *would_block (when
// given) set when the connection's buffer was full until its send time-out
// ran out, or at once on a socket that does not block. The caller may
// ignore it.
long socket_send(SocketHandle connection, const char* data, size_t length,
                 bool* would_block = nullptr);

// Makes every send on connection give up after milliseconds while the
// connection's buffer stays full (0: wait for ever).
bool socket_set_send_timeout(SocketHandle connection, int milliseconds);

// Waits until a send on connection would take bytes, or milliseconds have
// passed. Returns whether it would.
bool socket_wait_writable(SocketHandle connection, int milliseconds);

// One receive of at most capacity bytes; waits for at least one. Returns the
// byte count, 0 once the peer has closed; an error also gives 0, since every
// caller treats it like a closed connection. When the receive timeout ran
// out, also 0, with *timed_out set (when given).
size_t socket_recv(SocketHandle connection, char* buffer, size_t capacity,
                   bool* timed_out = nullptr);

// Bytes that have arrived on connection and wait for a receive, without
// waiting or taking them; 0 when there are none or they cannot be counted.
size_t socket_pending(SocketHandle connection);

// Client side, for tools and tests: connects to host:port (IPv4), from the
// local address `source` when one is given (an IPv4 address or a name; null
// or empty: the system picks it); returns INVALID_SOCKET_HANDLE and fills
// *err on failure. *reset (when given) is set when the failure was a reset:
// the server took the connection and closed it before the connect returned.
SocketHandle socket_connect(const char* host, uint16_t port, std::string* err,
                            const char* source = nullptr, bool* reset = nullptr);

// This side's IPv4 address of a connection as dotted text; "0.0.0.0" when it
// cannot be had.
void socket_local_address(SocketHandle connection, char (&out)[DOTTED_SIZE]);

// Closes a socket. The server closes a client's connection only when it
// drops that client (--drop-broken-clients); its other sockets live until the
// process ends. With abort set the close resets the connection, so that
// neither side is left in TIME_WAIT.
void socket_close(SocketHandle s, bool abort = false);

// Datagrams (UDP/IPv4), for the server query and its finder. An address is
// an IPv4 address and a port, both in host order.
struct DatagramPeer {
  uint32_t address = 0;
  uint16_t port = 0;
};

// A UDP socket bound to port on address (dotted IPv4; null or empty: every
// local address, where broadcasts to the port arrive too; port 0: any free
// one). With broadcast, it may also send to broadcast addresses.
// INVALID_SOCKET_HANDLE and *err, naming the port and the system's reason,
// when it cannot be had.
SocketHandle socket_bind_datagram(const char* address, uint16_t port, bool broadcast,
                                  std::string* err);

// One datagram into buffer, its sender in *from. Returns its size, or -1
// when none came (a time-out, a socket that does not block, an error, a
// datagram longer than capacity: each is only one datagram lost).
long socket_receive_from(SocketHandle s, uint8_t* buffer, size_t capacity, DatagramPeer* from);

// One datagram to `to`; false when the system refused it.
bool socket_send_to(SocketHandle s, const uint8_t* data, size_t length, const DatagramPeer& to);

// The IPv4 broadcast addresses of this machine's network interfaces (host
// order), then the limited broadcast 255.255.255.255.
std::vector<uint32_t> socket_broadcast_addresses();

// This machine's own host name; empty when it cannot be had.
std::string socket_host_name();
