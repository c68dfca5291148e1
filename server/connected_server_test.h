// The fixture of the server's unit tests that need connected clients
// (seat_test.cc, client_checks_test.cc, walker_test.cc, match_driver_test.cc).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "net/client.h"
#include "server/server.h"

// How often part occurs in text.
inline size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A server state with its humans connected over loopback, the log's pace
// quickened so that minutes pass in milliseconds.
class ConnectedServer : public ::testing::Test {
 protected:
  // Binds the listener and sets up the seats, none connected.
  void listen(int32_t humans, int32_t bots) {
    std::string err;
    listener_ = socket_bind("127.0.0.1", 0, &err);
    ASSERT_NE(listener_, INVALID_SOCKET_HANDLE) << err;
    ASSERT_TRUE(socket_listen(listener_, 8, &err)) << err;
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(static_cast<int>(listener_), reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.sin_port);
    Match& match = server_->match;
    match.human_count = humans;
    match.bot_count = bots;
    create_route_tables(match);
    create_client_table(match);
    set_up_seats(*server_);
    server_->lobby.listener = listener_;
    server_->rules.wait_slice = std::chrono::milliseconds(50);
    server_->rules.stall_warning = std::chrono::milliseconds(200);
    clients_.resize(static_cast<size_t>(humans));
  }
  // Connects human q's client; its seat takes the connection, one at a time.
  void connect_one(int32_t q) {
    std::string err;
    ClientLink& client = clients_[static_cast<size_t>(q)];
    ASSERT_TRUE(client_connect(client, "127.0.0.1", port_, &err)) << err;
    // A client thread whose server side has stopped fails the case instead
    // of holding its join for ever.
    socket_set_receive_timeout(client.socket, 30000);
    client.on_silence = [](const char* step) {
      ADD_FAILURE() << "the client had nothing from the server for 30 s at '" << step << "'";
      return false;
    };
    seat_open(seat(q), socket_accept(listener_), server_->rules);
  }
  void connect(int32_t humans, int32_t bots) {
    listen(humans, bots);
    for (int32_t q = 0; q < humans; ++q) connect_one(q);
  }
  Seat& seat(int32_t q) { return server_->seats.seat[static_cast<size_t>(q)]; }
  void TearDown() override {
    for (ClientLink& link : clients_) socket_close(link.socket, true);
    for (Seat& s : server_->seats.seat) socket_close(s.socket, true);
    socket_close(listener_);
  }

  std::unique_ptr<Server> server_ = std::make_unique<Server>();
  SocketHandle listener_ = INVALID_SOCKET_HANDLE;
  uint16_t port_ = 0;
  std::vector<ClientLink> clients_;
};
