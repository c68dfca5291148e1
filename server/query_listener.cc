#include "server/query_listener.h"

#include <algorithm>
#include <random>
#include <thread>

#include "console/console.h"
#include "console/texts.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t seconds_of(Clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::seconds>(at.time_since_epoch()).count();
}

uint8_t byte_count(int64_t n) {
  return static_cast<uint8_t>(std::clamp<int64_t>(n, 0, 255));
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// The three answers, from a fresh copy of the snapshot.
void refresh(QueryState& state) {
  Frame& frame = state.frame;
  const Snapshot& snapshot = *state.snapshot;
  const bool started = snapshot.created();
  if (started) {
    snapshot.read(frame, steady_ns());
  } else {
    // The humans are joining: the match has no tables yet.
    snapshot.read_lobby(frame);
    frame.seats.clear();
    frame.names.clear();
  }
  const bool free = state.can_join->load(std::memory_order_relaxed);
  int32_t connected = frame.joined;
  if (started) {
    connected = 0;
    for (const uint8_t seat : frame.seats) {
      connected += seat != static_cast<uint8_t>(SeatShown::Dropped);
    }
  }
  const char* named_map = map_name(frame.map);
  const std::string map = *named_map != '\0' ? named_map : "map " + std::to_string(frame.map);

  QueryInfo info;
  info.name = state.settings.name;
  info.map = map;
  info.folder = "zolt";
  info.game = "ZOLT";
  info.version = ZOLT_VERSION;
  info.players = byte_count(connected);
  info.max_players = byte_count(frame.humans);
  info.bots = byte_count(frame.bots);
#ifdef _WIN32
  info.environment = 'w';
#else
  info.environment = 'l';
#endif
  info.game_port = state.settings.game_port;
  info.keywords = free ? "free" : "full";
  state.info = query_write_info(info);

  // Every player in the match, the humans whose client was dropped aside;
  // before the start, nobody has a place yet.
  std::vector<QueryPlayer> players;
  if (started) {
    const auto humans = static_cast<size_t>(frame.humans);
    for (size_t p = 0; p < frame.names.size(); ++p) {
      if (p < humans && frame.seats[p] == static_cast<uint8_t>(SeatShown::Dropped)) continue;
      QueryPlayer player;
      player.name = frame.names[p].empty() ? std::to_string(p) : frame.names[p];
      player.score = static_cast<int32_t>(
          std::clamp<int64_t>(frame.scores[p].damage_dealt, INT32_MIN, INT32_MAX));
      player.seconds = static_cast<float>(frame.playing_seconds[p]);
      players.push_back(std::move(player));
    }
  }
  state.players = query_write_players(players);

  const double pace = frame.elapsed_seconds > 0
                          ? static_cast<double>(frame.turns_total) / frame.elapsed_seconds
                          : 0;
  const auto yes_no = [](bool b) { return std::string(b ? "1" : "0"); };
  state.rules = query_write_rules({
      {"humans", std::to_string(frame.humans)},
      {"bots", std::to_string(frame.bots)},
      {"map", std::to_string(frame.map)},
      {"map_name", map},
      {"turn", std::to_string(started ? frame.turn : 0)},
      {"turns_per_second", number(started ? pace : 0)},
      {"joined", std::to_string(connected)},
      {"concurrent", yes_no(state.settings.concurrent)},
      {"rejoin", yes_no(state.settings.rejoin)},
      {"paused", yes_no(started && frame.paused)},
      {"seat_free", yes_no(free)},
      {"ended", yes_no(started && frame.ended)},
  });
}

// Whether `from` may have one more answer this second; counts it.
bool within_source_limit(QueryState& state, uint32_t address, int64_t second) {
  // Places by a keyed hash, so that nobody can choose addresses that share one.
  const uint32_t hash = query_challenge(state.key, address, 0);
  QueryState::Source& source = state.sources[hash % state.sources.size()];
  if (source.address != address || source.second != second) source = {address, second, 0};
  return ++source.count <= QUERY_PER_SOURCE;
}

// How long the thread waits for a datagram before it looks whether it is
// to end.
constexpr int STOP_LOOK_MS = 200;

void serve(QueryService* service) {
  SocketWait wait{service->socket, false};
  while (!service->stopping.load(std::memory_order_relaxed)) {
    wait.ready = false;
    const int ready = socket_poll(&wait, 1, STOP_LOOK_MS);
    if (ready == 0) continue;
    DatagramPeer from;
    const long size = ready < 0 ? -1
                                : socket_receive_from(service->socket, service->buffer,
                                                      sizeof service->buffer, &from);
    if (size < 0) {
      // An error of the system's (a port unreachable reported late): a
      // pause, so that one that persists cannot spin the thread.
      service->state.snapshot->query_counted(QueryOutcome::Ignored);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    const std::vector<uint8_t>* answer = query_answer(
        service->state, service->buffer, static_cast<size_t>(size), from, Clock::now());
    if (answer != nullptr) socket_send_to(service->socket, answer->data(), answer->size(), from);
  }
}

}  // namespace

void query_state_init(QueryState& state, Snapshot& snapshot, const std::atomic<bool>& can_join,
                      QuerySettings settings, const uint64_t (&key)[2]) {
  state.snapshot = &snapshot;
  state.can_join = &can_join;
  state.settings = std::move(settings);
  state.key[0] = key[0];
  state.key[1] = key[1];
  state.sources.assign(QUERY_SOURCES, {});
}

const std::vector<uint8_t>* query_answer(QueryState& state, const uint8_t* data, size_t size,
                                         const DatagramPeer& from, Clock::time_point now) {
  Snapshot& snapshot = *state.snapshot;
  QueryRequest request;
  if (!query_read_request(data, size, &request)) {
    snapshot.query_counted(QueryOutcome::Ignored);
    return nullptr;
  }
  const int64_t second = seconds_of(now);
  if (second != state.second) {
    state.second = second;
    state.challenges = 0;
    state.answers = 0;
  }
  if (!within_source_limit(state, from.address, second)) {
    snapshot.query_counted(QueryOutcome::Limited);
    return nullptr;
  }
  const auto epoch = static_cast<uint64_t>(second / QUERY_CHALLENGE_EPOCH.count());
  const uint32_t current = query_challenge(state.key, from.address, epoch);
  if (request.challenge == QUERY_NO_CHALLENGE) {
    if (++state.challenges > QUERY_CHALLENGES_PER_SECOND) {
      snapshot.query_counted(QueryOutcome::Limited);
      return nullptr;
    }
    snapshot.query_counted(QueryOutcome::Challenged);
    state.challenge = query_write_challenge(current);
    return &state.challenge;
  }
  // The last epoch's challenge holds too, so that one handed out just
  // before the change is not refused.
  if (request.challenge != current &&
      (epoch == 0 || request.challenge != query_challenge(state.key, from.address, epoch - 1))) {
    snapshot.query_counted(QueryOutcome::Ignored);
    return nullptr;
  }
  if (++state.answers > QUERY_ANSWERS_PER_SECOND) {
    snapshot.query_counted(QueryOutcome::Limited);
    return nullptr;
  }
  if (!state.fresh ||
      now - state.refreshed >= std::chrono::seconds(1) / QUERY_REFRESHES_PER_SECOND) {
    refresh(state);
    state.refreshed = now;
    state.fresh = true;
  }
  snapshot.query_counted(QueryOutcome::Answered);
  switch (request.kind) {
    case QueryKind::Info:
      return &state.info;
    case QueryKind::Players:
      return &state.players;
    case QueryKind::Rules:
      return &state.rules;
  }
  return nullptr;
}

SocketHandle query_bind(const std::string& address, uint16_t port, std::string* err) {
  return socket_bind_datagram(address.c_str(), port, false, err);
}

QueryService::~QueryService() {
  stopping.store(true, std::memory_order_relaxed);
  if (thread.joinable()) thread.join();
  if (socket != INVALID_SOCKET_HANDLE) socket_close(socket);
}

std::unique_ptr<QueryService> query_start(SocketHandle socket, Snapshot& snapshot,
                                          const std::atomic<bool>& can_join,
                                          QuerySettings settings) {
  // The key of the challenges, drawn from the system's source of randomness.
  std::random_device random;
  uint64_t key[2];
  for (uint64_t& word : key) word = (uint64_t{random()} << 32) ^ random();
  auto service = std::make_unique<QueryService>();
  service->socket = socket;
  query_state_init(service->state, snapshot, can_join, std::move(settings), key);
  snapshot.query_open();
  // The thread leaves the stop signals to the match thread.
  console_block_stops(true);
  service->thread = std::thread(serve, service.get());
  console_block_stops(false);
  return service;
}
