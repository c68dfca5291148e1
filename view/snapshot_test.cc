#include "view/snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "view/render.h"

namespace {

// A reader never sees a state half written: the writer keeps every value of
// a publish equal, and the reader checks each copy while the writer runs.
TEST(Snapshot, ReadersSeeWholePublishesOnly) {
  Snapshot snapshot;
  snapshot.create(3, 2, 4);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    int32_t xs[ROUTE_VALUES], ys[ROUTE_VALUES];
    for (int32_t k = 1; k <= 200000; ++k) {
      for (int32_t& v : xs) v = k;
      for (int32_t& v : ys) v = -k;
      snapshot.begin_write();
      snapshot.put_header(static_cast<uint64_t>(k), k, k, static_cast<uint64_t>(k),
                          static_cast<uint64_t>(k));
      for (size_t p = 0; p < 5; ++p) snapshot.put_player(p, k, k, k, k);
      for (size_t b = 0; b < 2; ++b) snapshot.put_route(b, xs, ys);
      snapshot.end_write();
    }
    done = true;
  });
  // Every value of one publish, as the writer put them.
  const auto whole = [](const Frame& copy) {
    const auto k = static_cast<int32_t>(copy.turn);
    bool same = copy.relay_a == k && copy.messages_total == copy.turn;
    for (const PlayerFrame& row : copy.players) same = same && row.x == k && row.heading == k;
    for (const auto& route : copy.routes) {
      same = same && route[0] == k && route[2 * ROUTE_VALUES - 1] == -k;
    }
    return same;
  };
  Frame frame;
  int reads = 0;
  uint64_t torn = 0;  // the turn of the first copy that mixed two publishes
  while ((!done || reads == 0) && torn == 0) {
    snapshot.read(frame, 0);
    ++reads;
    // Turn 0: nothing published yet.
    if (frame.turn != 0 && !whole(frame)) torn = frame.turn;
  }
  // Joined before any assertion: a failure must not end the test program.
  writer.join();
  EXPECT_EQ(torn, 0u) << "a copy read while turn " << torn << " was written";
  snapshot.read(frame, 0);
  EXPECT_EQ(frame.turn, 200000u);
}

// The feed keeps the newest hits, newest first, whatever the count so far.
TEST(Snapshot, TheHitFeedKeepsTheNewest) {
  Frame frame;
  for (const uint64_t total : {0u, 3u, 8u, 21u}) {
    SCOPED_TRACE(total);
    Snapshot fresh;
    fresh.create(1, 0, 0);
    for (uint64_t h = 1; h <= total; ++h) fresh.put_hit({h, 0, static_cast<int32_t>(h), 1});
    fresh.read(frame, 0);
    ASSERT_EQ(frame.hits.size(), std::min<uint64_t>(total, VIEW_HIT_FEED));
    for (size_t i = 0; i < frame.hits.size(); ++i) EXPECT_EQ(frame.hits[i].turn, total - i);
  }
}

TEST(Render, MetricsAndViewOfAFrame) {
  Frame frame;
  frame.turn = 7;
  frame.humans = 2;
  frame.bots = 1;
  frame.turns_total = 6;
  frame.messages_total = 1234;
  frame.players = {{1, 2, 100, 900}, {3, 4, -5, 0}, {5, 6, 100, 2700}};
  frame.routes = {{}};
  frame.round_trip = {0.000015, -1};
  frame.waiting_player = 1;
  frame.waiting_seconds = 3.25;
  // Player 0's client was dropped once and another took its slot; player 1's is gone.
  Snapshot seats;
  seats.create(2, 1, 0);
  seats.seat_changed(0, SeatShown::Dropped);
  seats.seat_changed(0, SeatShown::Rejoined);
  seats.seat_changed(1, SeatShown::Dropped);
  Frame read;
  seats.read(read, 0);
  frame.seats = read.seats;
  frame.rejoins = read.rejoins;
  const std::string metrics = metrics_text(frame);
  for (const char* line : {"\nzolt_turns_total 6\n", "\nzolt_messages_total 1234\n",
                           "\nzolt_rejoins_total 1\n", "\nzolt_dropped_players 1\n",
                           "\nzolt_players{kind=\"human\"} 2\nzolt_players{kind=\"bot\"} 1\n",
                           "\nzolt_client_round_trip_seconds{player=\"0\"} 0.000015000\n",
                           "\nzolt_waiting_seconds 3.250\n"}) {
    EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
  }
  // A client without an exchange yet has no round trip to report.
  EXPECT_EQ(metrics.find("player=\"1\""), std::string::npos) << metrics;
  const std::string view = view_json(frame);
  for (const char* part :
       {"{\"index\": 1, \"human\": true, \"x\": 3, \"y\": 4, \"health\": -5, \"heading\": 0}",
        "{\"index\": 2, \"human\": false,", "\"round_trip\": [0.000015000, null]",
        "\"waiting\": {\"player\": 1, \"seconds\": 3.250}",
        "\"clients\": [\"rejoined\", \"dropped\"], \"scoreboard\": []}",
        "\"routes\": [[0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]]}"}) {
    EXPECT_NE(view.find(part), std::string::npos) << part << "\n" << view;
  }
}

}  // namespace

namespace {

// A stop's handler may interrupt the match thread inside a write: the end
// it publishes must still be readable, and the view must not wait for ever.
TEST(Snapshot, TheEndIsReadEvenWhenAWriteWasCutShort) {
  Snapshot snapshot;
  snapshot.set_name_table({"Ann"});
  snapshot.create(1, 1, 0);
  snapshot.name_changed(1, 0);
  snapshot.begin_write();
  snapshot.put_player(0, 5, 6, -20, 0);
  snapshot.put_score(0, PlayerScore{2, 0, 120, 0});
  snapshot.exchange_started(0, snapshot.started_ns() + 1000000000);
  // No end_write: the handler runs here.
  snapshot.end_match(EndReason::Stopped, "stopped by SIGTERM", 9,
                     snapshot.started_ns() + 2500000000);
  Frame frame;
  // Read a minute after the end: the wait under way stopped with the match.
  snapshot.read(frame, snapshot.started_ns() + 62500000000);
  ASSERT_TRUE(frame.ended);
  EXPECT_DOUBLE_EQ(frame.waiting_seconds, 1.5);
  EXPECT_EQ(frame.players[0].health, -20);
  EXPECT_EQ(frame.scores[0].damage_dealt, 120);
  EXPECT_EQ(frame.names, (std::vector<std::string>{"", "Ann"}));
  EXPECT_EQ(frame.end_why, "stopped by SIGTERM");
  EXPECT_EQ(frame.end.turns, 9u);
  EXPECT_EQ(frame.end.tenths, 25);
  EXPECT_DOUBLE_EQ(frame.elapsed_seconds, 2.5);
  const std::string state = state_json(frame);
  EXPECT_NE(state.find("\"names\": [null, \"Ann\"], \"end\": {\"reason\": \"stopped\", \"why\": "
                       "\"stopped by SIGTERM\", \"turns\": 9, \"seconds\": 2.5, \"standings\": "
                       "[{\"index\": 1, \"name\": \"Ann\", \"health\": 0, "),
            std::string::npos)
      << state;
}

}  // namespace
