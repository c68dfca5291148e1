// zolt-pong [port]: the floor of the exchange benchmark. Answers every
// message on every connection with ACK, and does nothing else: what a server
// costs beyond this is the server's own work. It receives and sends through
// the same socket and message calls as the server, one thread per
// connection, each blocking in its receive as the server does.
//
// With port 0 the system picks one. Once it listens it prints "port N".
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "net/message.h"
#include "net/protocol.h"
#include "net/socket.h"

namespace {

void answer_until_closed(SocketHandle connection) {
  char buffer[MESSAGE_LIMIT + 1];
  for (;;) {
    const size_t got = socket_recv(connection, buffer, MESSAGE_LIMIT);
    if (got == 0) break;
    buffer[got] = '\0';
    parse_int(buffer);  // the server parses every message too
    send_int(connection, ACK);
  }
  socket_close(connection);
}

}  // namespace

int main(int argc, char** argv) {
  const long port = argc > 1 ? std::strtol(argv[1], nullptr, 10) : SERVER_PORT;
  if (port < 0 || port > 65535) {
    std::fprintf(stderr, "zolt-pong: bad port '%s'\n", argv[1]);
    return 2;
  }
  std::string err;
  socket_startup(&err);
  const SocketHandle listener = socket_bind(nullptr, static_cast<uint16_t>(port), &err);
  if (listener == INVALID_SOCKET_HANDLE || !err.empty() ||
      !socket_listen(listener, LISTEN_BACKLOG, &err)) {
    std::fprintf(stderr, "zolt-pong: %s\n", err.c_str());
    return 1;
  }
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&address), &length);
  std::printf("port %u\n", unsigned{ntohs(address.sin_port)});
  std::fflush(stdout);
  // Runs until it is stopped from outside, like the server.
  for (;;) {
    const SocketHandle connection = socket_accept(listener);
    if (connection == INVALID_SOCKET_HANDLE) continue;
    std::thread(answer_until_closed, connection).detach();
  }
}
