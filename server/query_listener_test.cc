#include "server/query_listener.h"

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Listener {
  Snapshot snapshot;
  std::atomic<bool> can_join{true};
  QueryState state;
  Listener() {
    snapshot.open_lobby(2, 1, 1, {});
    const uint64_t key[2] = {11, 22};
    query_state_init(state, snapshot, can_join, {"test", 2000, false, true}, key);
  }
  const std::vector<uint8_t>* ask(QueryKind kind, uint32_t challenge, uint32_t address,
                                  int64_t second) {
    const std::vector<uint8_t> request = query_write_request(kind, challenge);
    return query_answer(state, request.data(), request.size(), {address, 4000},
                        Clock::time_point(std::chrono::seconds(second)));
  }
  uint32_t challenge_of(uint32_t address, int64_t second) {
    const std::vector<uint8_t>* answer =
        ask(QueryKind::Players, QUERY_NO_CHALLENGE, address, second);
    uint32_t challenge = 0;
    EXPECT_TRUE(answer != nullptr &&
                query_read_challenge(answer->data(), answer->size(), &challenge));
    return challenge;
  }
  uint64_t counted(QueryOutcome outcome) {
    Frame frame;
    snapshot.read_query(frame);
    return frame.query[static_cast<size_t>(outcome)];
  }
};

TEST(QueryListener, AnswersOnlyTheAddressThatEchoedItsChallengeWhileItHolds) {
  Listener l;
  const uint32_t a = 0x0A000001u, b = 0x0A000002u;
  const uint32_t challenge = l.challenge_of(a, 100);
  QueryInfo info;
  const std::vector<uint8_t>* answer = l.ask(QueryKind::Info, challenge, a, 100);
  ASSERT_NE(answer, nullptr);
  ASSERT_TRUE(query_read_info(answer->data(), answer->size(), &info));
  EXPECT_EQ(info.name, "test");
  EXPECT_EQ(info.map, "Vevoder");
  EXPECT_EQ(info.max_players, 2);
  EXPECT_EQ(info.bots, 1);
  EXPECT_EQ(info.keywords, "free");
  EXPECT_EQ(l.ask(QueryKind::Rules, challenge, b, 100), nullptr);  // another address
  EXPECT_EQ(l.ask(QueryKind::Rules, challenge ^ 1, a, 100), nullptr);
  EXPECT_NE(l.ask(QueryKind::Rules, challenge, a, 125), nullptr);  // the next epoch
  EXPECT_EQ(l.ask(QueryKind::Rules, challenge, a, 185), nullptr);  // two epochs on
  EXPECT_EQ(l.counted(QueryOutcome::Challenged), 1u);
  EXPECT_EQ(l.counted(QueryOutcome::Answered), 2u);
  EXPECT_EQ(l.counted(QueryOutcome::Ignored), 3u);
}

TEST(QueryListener, EachSourceAndAllTogetherAreBoundedPerSecond) {
  Listener l;
  const uint32_t a = 0x0A000001u;
  const uint32_t challenge = l.challenge_of(a, 200);
  int answered = 0;
  for (int i = 0; i < 100; ++i) answered += l.ask(QueryKind::Info, challenge, a, 200) != nullptr;
  EXPECT_EQ(answered, QUERY_PER_SOURCE - 1);
  EXPECT_NE(l.ask(QueryKind::Info, challenge, a, 201), nullptr);  // a new second

  // From ever new addresses (a forged flood): a bounded number of challenges.
  int challenged = 0;
  for (uint32_t s = 0; s < 5000; ++s) {
    challenged += l.ask(QueryKind::Info, QUERY_NO_CHALLENGE, 0x0B000000u + s, 300) != nullptr;
  }
  EXPECT_EQ(challenged, QUERY_CHALLENGES_PER_SECOND);
  EXPECT_EQ(l.counted(QueryOutcome::Limited), 100u - (QUERY_PER_SOURCE - 1) + 4000u);
}

}  // namespace
