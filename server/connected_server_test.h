// The fixture of the server's unit tests that need connected clients
// (client_link_test.cc, match_driver_test.cc).
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
#include "server/client_link.h"
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
  void connect(int32_t humans, int32_t bots) {
    std::string err;
    listener_ = socket_bind("127.0.0.1", 0, &err);
    ASSERT_NE(listener_, INVALID_SOCKET_HANDLE) << err;
    ASSERT_TRUE(socket_listen(listener_, 8, &err)) << err;
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(static_cast<int>(listener_), reinterpret_cast<sockaddr*>(&bound), &length);
    Match& match = server_->match;
    match.human_count = humans;
    match.bot_count = bots;
    create_route_tables(match);
    create_client_table(match);
    server_->client_state.assign(static_cast<size_t>(humans), ClientState{});
    server_->clients_left = humans;
    server_->wait_slice = std::chrono::milliseconds(50);
    server_->stall_warning = std::chrono::milliseconds(200);
    clients_.resize(static_cast<size_t>(humans));
    for (int32_t q = 0; q < humans; ++q) {
      ClientLink& client = clients_[static_cast<size_t>(q)];
      ASSERT_TRUE(client_connect(client, "127.0.0.1", ntohs(bound.sin_port), &err));
      // A client thread whose server side has stopped fails the case instead
      // of holding its join for ever.
      socket_set_receive_timeout(client.socket, 30000);
      client.on_silence = [](const char* step) {
        ADD_FAILURE() << "the client had nothing from the server for 30 s at '" << step << "'";
        return false;
      };
      match.client_socket[static_cast<size_t>(q)] = socket_accept(listener_);
      watch_client(*server_, q);
    }
  }
  void TearDown() override {
    for (ClientLink& link : clients_) socket_close(link.socket, true);
    for (SocketHandle s : server_->match.client_socket) socket_close(s, true);
    socket_close(listener_);
  }

  std::unique_ptr<Server> server_ = std::make_unique<Server>();
  SocketHandle listener_ = INVALID_SOCKET_HANDLE;
  std::vector<ClientLink> clients_;
};
