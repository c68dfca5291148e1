// The server query on any datagram a sender may send, as the listener feeds
// it: the request reader, the answer the listener gives (from a match whose
// humans are joining), and the finder's readers of the answers. A request
// read must be one the writer makes again byte for byte; an answer before
// the challenge is proved is never longer than the request.
//
// Input: one datagram, any length.
#include <atomic>

#include "fuzz/fuzz_support.h"
#include "net/query.h"
#include "server/query_listener.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QueryRequest request;
  if (query_read_request(data, size, &request)) {
    std::vector<uint8_t> again = query_write_request(request.kind, request.challenge);
    // INFO asking with -1 is read as INFO without a challenge, which the
    // writer leaves out.
    if (again.size() + 4 == size) again.insert(again.end(), 4, 0xFF);
    FUZZ_REQUIRE(again.size() == size && std::equal(again.begin(), again.end(), data),
                 "a request of %zu bytes does not write back", size);
  }

  static Snapshot snapshot;
  static const std::atomic<bool> can_join{true};
  static QueryState* const state = [] {
    static QueryState s;
    snapshot.open_lobby(2, 3, 1, {"127.0.0.1:2000"});
    const uint64_t key[2] = {1, 2};
    query_state_init(s, snapshot, can_join, {"fuzz", 2000, false, false}, key);
    return &s;
  }();
  static int64_t tick = 0;
  // Each input in a second of its own, so that the limits never hide an answer.
  const auto now = std::chrono::steady_clock::time_point(std::chrono::seconds(++tick));
  const DatagramPeer from{0x7F000001u, 5000};
  const std::vector<uint8_t>* answer = query_answer(*state, data, size, from, now);
  // The challenge of this epoch or of the last (which holds too).
  const auto epoch = static_cast<uint64_t>(tick) / 30;
  const uint32_t proved = query_challenge(state->key, from.address, epoch);
  const uint32_t proved_before = query_challenge(state->key, from.address, epoch - 1);
  uint32_t last = 0;  // the datagram's last four bytes, where a challenge is echoed
  for (size_t i = size >= 4 ? size - 4 : size; i < size; ++i) {
    last = last >> 8 | static_cast<uint32_t>(data[i]) << 24;
  }
  const bool echoed = size >= 9 && (last == proved || (epoch > 0 && last == proved_before));
  if (answer != nullptr && !echoed) {
    FUZZ_REQUIRE(answer->size() <= size, "%zu bytes answer %zu unproved ones", answer->size(),
                 size);
  }
  if (answer != nullptr) FUZZ_REQUIRE(answer->size() <= QUERY_PACKET_SIZE, "an answer too long");

  uint32_t challenge = 0;
  query_read_challenge(data, size, &challenge);
  QueryInfo info;
  if (query_read_info(data, size, &info)) {
    FUZZ_REQUIRE(info.name.size() < size && info.map.size() < size, "texts past the datagram");
  }
  return 0;
}
