// zolt_replay_bench: how many windows of a long recording the replay's view
// serves, to one reader and to 20 side by side, and how long /healthz takes
// to answer meanwhile.
//
// A recording of 200,000 turns (--turns N) is made in a temporary directory
// and served by the view in this process on 127.0.0.1:18089 (--port P). Each
// reader asks windows of 25 turns at random places, one after another, on a
// connection of its own; a probe asks /healthz every 10 ms throughout. The
// baseline is the one reader: the line "20 readers" gives their windows per
// second and its ratio to it (at most the readers' threads, and the cores
// this machine has). Figures only: nothing here is timed against a limit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "record/replay.h"
#include "view/http_view.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One connection that asks GETs and reads each answer whole.
struct Connection {
  int fd = -1;
  explicit Connection(uint16_t port) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      std::perror("connect");
      std::exit(1);
    }
  }
  ~Connection() { ::close(fd); }
  // The answer's status, 0 when the connection failed.
  int get(const std::string& target) {
    const std::string ask = "GET " + target + " HTTP/1.1\r\nHost: bench\r\n\r\n";
    if (::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ask.size())) {
      return 0;
    }
    std::string got;
    char buffer[65536];
    size_t body_at = std::string::npos, length = 0;
    for (;;) {
      if (body_at == std::string::npos && (body_at = got.find("\r\n\r\n")) != std::string::npos) {
        body_at += 4;
        const size_t field = got.find("Content-Length: ");
        length = field < body_at ? std::strtoull(got.c_str() + field + 16, nullptr, 10) : 0;
      }
      if (body_at != std::string::npos && got.size() >= body_at + length) break;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return 0;
      got.append(buffer, static_cast<size_t>(n));
    }
    return std::atoi(got.c_str() + 9);
  }
};

struct Run {
  double windows_per_second = 0, worst_healthz_ms = 0, worst_window_ms = 0;
  int failed = 0;
};

// `readers` readers of `windows` windows each, at random places.
Run run(uint16_t port, int readers, int windows, uint64_t turns) {
  std::atomic<bool> done{false};
  std::atomic<int> failed{0};
  double worst_healthz = 0;
  std::thread probe([&] {
    Connection probe_connection(port);
    while (!done.load()) {
      const auto start = Clock::now();
      if (probe_connection.get("/healthz") != 200) ++failed;
      worst_healthz = std::max(worst_healthz, seconds_since(start));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  std::vector<double> worst(static_cast<size_t>(readers), 0);
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int r = 0; r < readers; ++r) {
    threads.emplace_back([&, r] {
      Connection reader(port);
      std::mt19937_64 random(static_cast<uint64_t>(r) + 1);
      for (int w = 0; w < windows; ++w) {
        const uint64_t from = random() % turns;
        const auto asked = Clock::now();
        if (reader.get("/turns.jsonl?from=" + std::to_string(from) + "&count=25") != 200) {
          ++failed;
        }
        worst[static_cast<size_t>(r)] =
            std::max(worst[static_cast<size_t>(r)], seconds_since(asked));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  Run result;
  result.windows_per_second = readers * windows / seconds_since(start);
  done = true;
  probe.join();
  result.worst_healthz_ms = worst_healthz * 1000;
  result.worst_window_ms = *std::max_element(worst.begin(), worst.end()) * 1000;
  result.failed = failed.load();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t turns = 200000;
  uint16_t port = 18089;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--turns") == 0) turns = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--port") == 0) port = static_cast<uint16_t>(std::atoi(argv[i + 1]));
  }
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("zolt_replay_bench_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "long.jsonl").string();
  {
    std::ofstream out(path, std::ios::binary);
    for (uint64_t k = 0; k < turns; ++k) {
      out << "{\"turn\": " << k + 1
          << ", \"map\": 1, \"relay_a\": -1, \"relay_b\": -1, \"players\": [{\"index\": 0, "
             "\"human\": true, \"x\": 300, \"y\": 200, \"health\": 100, \"heading\": 0}, "
             "{\"index\": 1, \"human\": false, \"x\": 310, \"y\": 210, \"health\": "
          << 100 - static_cast<int64_t>(k % 100) << ", \"heading\": 90}], \"hits\": ["
          << (k % 3 == 0 ? "{\"from\": 0, \"damage\": 7, \"target\": 2}" : "") << "]}\n";
    }
  }
  std::printf("recording: %llu turns, %.1f MB\n", static_cast<unsigned long long>(turns),
              static_cast<double>(std::filesystem::file_size(path)) / 1e6);
  Replay replay;
  std::string err;
  const auto loading = Clock::now();
  if (!replay_load(path, replay, &err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  std::printf("indexed in %.0f ms: a scoreboard every %llu turns\n", seconds_since(loading) * 1000,
              static_cast<unsigned long long>(replay.score_every));
  std::unique_ptr<HttpView> view =
      HttpView::start_replay("127.0.0.1", port, std::move(replay), &err);
  if (view == nullptr) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  {
    Connection first(port);
    const auto start = Clock::now();
    first.get("/turns.jsonl?from=" + std::to_string(turns - 1) + "&count=25");
    std::printf("first window at the last turn: %.1f ms\n", seconds_since(start) * 1000);
  }
  const Run one = run(port, 1, 500, turns);
  const Run twenty = run(port, 20, 25, turns);
  std::printf("%-11s %12s %8s %16s %18s %7s\n", "readers", "windows/s", "ratio", "worst window ms",
              "worst /healthz ms", "failed");
  for (const auto& [name, r] : {std::pair<const char*, const Run&>{"1 reader", one},
                                std::pair<const char*, const Run&>{"20 readers", twenty}}) {
    std::printf("%-11s %12.0f %8.2f %16.1f %18.1f %7d\n", name, r.windows_per_second,
                r.windows_per_second / one.windows_per_second, r.worst_window_ms,
                r.worst_healthz_ms, r.failed);
  }
  view.reset();
  std::filesystem::remove_all(dir);
  return one.failed + twenty.failed == 0 ? 0 : 1;
}
