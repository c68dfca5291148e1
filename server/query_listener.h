// The server query (--query): a UDP socket on its own thread that answers
// server browsers, LAN browsers and status tools (net/query.h) from the
// snapshot the match publishes for the live view. The match thread never
// waits for it: the snapshot is read as the view reads it, at most
// QUERY_REFRESHES_PER_SECOND times a second.
//
// Nothing but a challenge goes to an address before it has echoed one; the
// challenge is a keyed hash of the address and the time, under a key drawn
// at start-up, and holds for one to two QUERY_CHALLENGE_EPOCHs. A request
// with a wrong challenge, and any datagram that is no request, gets nothing.
// Each source address is answered at most QUERY_PER_SOURCE times a second,
// and all of them together at most QUERY_CHALLENGES_PER_SECOND challenges
// and QUERY_ANSWERS_PER_SECOND answers: a flood from forged addresses costs
// a bounded amount of work and sends a bounded number of small packets.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include <vector>

#include "net/query.h"
#include "net/socket.h"
#include "view/snapshot.h"

inline constexpr int QUERY_PER_SOURCE = 30;
inline constexpr int QUERY_CHALLENGES_PER_SECOND = 1000;
inline constexpr int QUERY_ANSWERS_PER_SECOND = 1000;
inline constexpr int QUERY_REFRESHES_PER_SECOND = 10;
inline constexpr std::chrono::seconds QUERY_CHALLENGE_EPOCH{30};
// Source addresses whose rate is kept; more share places (and budgets).
inline constexpr size_t QUERY_SOURCES = 4096;

// What the query tells beside the snapshot: fixed for the server's life.
struct QuerySettings {
  std::string name;        // --name, or "ZOLT 1.5 on HOST"
  uint16_t game_port = 0;  // where clients connect (TCP)
  bool concurrent = false, rejoin = false;
};

// Binds the query's UDP socket on address:port (empty: every address,
// broadcasts included). INVALID_SOCKET_HANDLE, with the reason in *err,
// when it cannot.
SocketHandle query_bind(const std::string& address, uint16_t port, std::string* err);

// What the thread keeps between datagrams.
struct QueryState {
  Snapshot* snapshot = nullptr;
  const std::atomic<bool>* can_join = nullptr;
  QuerySettings settings;
  uint64_t key[2] = {};  // the challenges' secret
  struct Source {
    uint32_t address = 0;
    int64_t second = -1;  // the second counted
    int count = 0;
  };
  std::vector<Source> sources;  // QUERY_SOURCES places
  int64_t second = -1;          // the second the budgets below count
  int challenges = 0, answers = 0;
  // The answers, made again from a fresh read of the snapshot at most
  // QUERY_REFRESHES_PER_SECOND times a second.
  std::chrono::steady_clock::time_point refreshed{};
  bool fresh = false;
  Frame frame;
  std::vector<uint8_t> info, players, rules, challenge;
};

// A state for snapshot and can_join, with the challenges' key.
void query_state_init(QueryState& state, Snapshot& snapshot, const std::atomic<bool>& can_join,
                      QuerySettings settings, const uint64_t (&key)[2]);

// The answer of one datagram from `from` at `now` (empty: none), counted:
// all the thread does with it but receive and send.
const std::vector<uint8_t>* query_answer(QueryState& state, const uint8_t* data, size_t size,
                                         const DatagramPeer& from,
                                         std::chrono::steady_clock::time_point now);

// The query's thread and what it keeps. Started by query_start; the
// destructor ends and joins the thread and closes the socket.
struct QueryService {
  SocketHandle socket = INVALID_SOCKET_HANDLE;
  QueryState state;
  std::atomic<bool> stopping{false};
  // Room for any datagram a sender may make up: one longer than a request
  // is read whole and ignored, so that a failure is one of the system's.
  uint8_t buffer[65536];
  std::thread thread;
  ~QueryService();
};

// Starts the thread that answers on socket (which it takes) from snapshot
// (and can_join, which the match thread keeps), counting into snapshot's
// query counters. REQUIRES: both outlive the service.
std::unique_ptr<QueryService> query_start(SocketHandle socket, Snapshot& snapshot,
                                          const std::atomic<bool>& can_join,
                                          QuerySettings settings);
