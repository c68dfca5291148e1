// zolt-soak: a long match against the real server process, to show that
// nothing the server holds grows with the number of turns.
//
//   zolt-soak [--turns N] [--humans H] [--bots B] [--server PATH]
//
// Starts the server in a temporary directory with generated bot routes and
// start positions, joins H clients (the client code of net/client.h, driven
// from one thread in player order, as the server serves them) and plays N
// turns in which the clients move, turn, set and clear the relay values and
// hit each other. The server's resident memory (VmRSS) and open descriptors
// are read from /proc after the first turn and after the last, each time
// while the server waits for client 0's first message of the next turn. The
// match then ends with a protocol break, which must give exit code 1.
//
// Prints the figures and "soak: PASS" when memory and descriptors at the end
// equal those after the first turn, every client's table showed what it had
// sent, and the server ended with exit code 1; exit code 0 then, 1 otherwise.
// Takes TCP port 2000 on 127.0.0.1 while it runs.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "net/client.h"
#include "net/protocol.h"
#include "net/socket.h"
#include "tests/spawn.h"

#ifndef ZOLT_SERVER_BINARY
#error "ZOLT_SERVER_BINARY must name the built server"
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
  long turns = 20000;
  int32_t humans = 4;
  int32_t bots = 16;
  std::string server = ZOLT_SERVER_BINARY;
};

struct Figures {
  long rss_kb = -1;       // VmRSS
  long anon_kb = -1;      // RssAnon: heap, stack and data, all the server writes
  long peak_rss_kb = -1;  // VmHWM
  long descriptors = -1;
  std::vector<std::pair<std::string, long>> mappings;  // resident kB per mapping
};

void usage() {
  std::fprintf(stderr, "usage: zolt-soak [--turns N] [--humans H] [--bots B] [--server PATH]\n");
  std::exit(2);
}

bool parse_settings(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (flag == "--turns") {
      settings.turns = std::atol(value);
    } else if (flag == "--humans") {
      settings.humans = std::atoi(value);
    } else if (flag == "--bots") {
      settings.bots = std::atoi(value);
    } else if (flag == "--server") {
      settings.server = value;
    } else {
      return false;
    }
  }
  return settings.turns >= 1 && settings.humans >= 1 && settings.bots >= 0 &&
         settings.humans + settings.bots <= 10000;
}

// Bot b walks nine waypoints around a circle of its own; the routes differ
// in size so that the bots arrive and turn at different times.
std::string bot_routes(int32_t bots) {
  std::string text;
  for (int32_t b = 0; b < bots; ++b) {
    const double radius = 60 + 10 * b;
    for (int axis = 0; axis < 2; ++axis) {
      for (int i = 0; i < 9; ++i) {
        const double angle = 2 * M_PI * i / 9;
        const double value =
            axis == 0 ? 1000 * b + radius * std::cos(angle) : 500 + radius * std::sin(angle);
        text += std::to_string(static_cast<long>(value)) + " ";
      }
      text += "\n";
    }
  }
  return text;
}

std::string start_positions(int32_t humans) {
  std::string text;
  for (int axis = 1; axis <= 2; ++axis) {
    for (int32_t q = 0; q < humans; ++q) text += std::to_string(axis * 100 + q) + " ";
    text += "\n";
  }
  return text;
}

// Starts the server in dir with the console answers on its input (kept open
// so that it never sees the input end) and its output in dir.
pid_t start_server(const Settings& settings, const std::string& dir) {
  int input[2];
  if (pipe(input) != 0) return -1;
  SpawnSettings spawn;
  spawn.workdir = dir;
  spawn.in = input[0];
  // The server's descriptors are then its own: the three standard ones,
  // the listening socket and one per client.
  spawn.out = open((dir + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  spawn.err = open((dir + "/errors.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const pid_t pid =
      spawn.out < 0 || spawn.err < 0 ? -1 : spawn_process({settings.server, "127.0.0.1"}, spawn);
  for (const int fd : {input[0], spawn.out, spawn.err}) {
    if (fd >= 0) close(fd);
  }
  const std::string answers =
      std::to_string(settings.humans) + "\n" + std::to_string(settings.bots) + "\n0\n";
  if (write(input[1], answers.data(), answers.size()) != static_cast<ssize_t>(answers.size())) {
    std::fprintf(stderr, "soak: cannot give the server its console answers\n");
  }
  // input[1] stays open until this process ends.
  return pid;
}

long status_field_kb(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}

long count_descriptors(pid_t pid) {
  std::error_code error;
  long count = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && it != end; it.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

// Waits until the server sleeps: after the last client's table transfer it
// runs the bot steps and then blocks in its receive from client 0, and
// nothing else in a turn puts it to sleep.
bool wait_until_blocked(pid_t pid) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close_paren = text.rfind(')');
    if (close_paren != std::string::npos && close_paren + 2 < text.size() &&
        text[close_paren + 2] == 'S') {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

// A mapping's first line in smaps begins with its address range.
bool is_mapping_header(const std::string& line) {
  const std::string range = line.substr(0, line.find(' '));
  if (range.find('-') == std::string::npos) return false;
  for (char c : range) {
    if (c != '-' && !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Resident kB of each mapping, from /proc/<pid>/smaps, to tell which one
// grew when the total did.
std::vector<std::pair<std::string, long>> resident_mappings(pid_t pid) {
  std::vector<std::pair<std::string, long>> mappings;
  std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
  for (std::string line; std::getline(smaps, line);) {
    if (line.rfind("Rss:", 0) == 0 && !mappings.empty()) {
      mappings.back().second = std::atol(line.c_str() + 4);
    } else if (is_mapping_header(line)) {
      mappings.emplace_back(line, 0);
    }
  }
  return mappings;
}

Figures measure(pid_t pid) {
  Figures figures;
  if (!wait_until_blocked(pid)) return figures;
  figures.rss_kb = status_field_kb(pid, "VmRSS:");
  figures.anon_kb = status_field_kb(pid, "RssAnon:");
  figures.peak_rss_kb = status_field_kb(pid, "VmHWM:");
  figures.descriptors = count_descriptors(pid);
  figures.mappings = resident_mappings(pid);
  return figures;
}

// How long a client waits for one message, and the soak for the server's
// end: far beyond a working server's answer, so that a server that stops
// answering fails the soak, naming where, instead of holding it for ever.
constexpr int REPLY_WAIT_MS = 30000;

// Waits for the server's end, at most REPLY_WAIT_MS, then kills it; whether
// it ended by itself, its status in *status.
bool wait_for_end(pid_t pid, int* status) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(REPLY_WAIT_MS);
  while (waitpid(pid, status, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// What client q reports in turn t: every field changes from turn to turn,
// the relays are set and now and then cleared, and every third turn the
// client hits a player, alternately lowering and raising its health.
TurnReport report_for(long t, int32_t q, int32_t players) {
  TurnReport report;
  report.relay_a = t % 7 == 0 ? CLEAR_VALUE : static_cast<int32_t>(1 + (t * 31 + q) % 5000);
  report.relay_b = t % 11 == 0 ? CLEAR_VALUE : NO_VALUE;
  report.x = static_cast<int32_t>(1 + (t * 3 + 17 * q) % 4000);
  report.y = static_cast<int32_t>(1 + (t * 5 + 29 * q) % 4000);
  report.heading = static_cast<int32_t>(1 + (t * 13 + q) % 3599);
  if ((t + q) % 3 == 0) {
    report.damage = (t / 3) % 2 == 0 ? 4 : -4;
    report.target = static_cast<int32_t>(1 + (t + 7 * q) % players);
  }
  return report;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!parse_settings(argc, argv, settings)) usage();
  const int32_t players = settings.humans + settings.bots;

  char pattern[] = "/tmp/zolt-soak-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("soak: mkdtemp");
    return 1;
  }
  const std::string dir = pattern;
  std::ofstream(dir + "/bot.txt") << bot_routes(settings.bots);
  std::ofstream(dir + "/dept0.txt") << start_positions(settings.humans);

  std::string err;
  socket_startup(&err);
  const pid_t pid = start_server(settings, dir);
  if (pid <= 0) {
    std::perror("soak: fork");
    return 1;
  }

  std::vector<ClientLink> links(static_cast<size_t>(settings.humans));
  long silences = 0;
  for (ClientLink& link : links) {
    link.on_silence = [&silences](const char* step) {
      std::fprintf(stderr, "soak: no message from the server for %d s at '%s'\n",
                   REPLY_WAIT_MS / 1000, step);
      ++silences;
      return false;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    do {
      link.socket = socket_connect("127.0.0.1", SERVER_PORT, &err);
      if (link.socket == INVALID_SOCKET_HANDLE) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    } while (link.socket == INVALID_SOCKET_HANDLE && Clock::now() < deadline);
    if (link.socket == INVALID_SOCKET_HANDLE) {
      std::fprintf(stderr, "soak: %s\n", err.c_str());
      kill(pid, SIGKILL);
      return 1;
    }
    socket_set_receive_timeout(link.socket, REPLY_WAIT_MS);
    if (client_join(link) != players) std::fprintf(stderr, "soak: wrong player count\n");
  }
  long mismatches = 0;
  for (int32_t q = 0; q < settings.humans; ++q) {
    int32_t index = -1, map = -1;
    client_learn(links[static_cast<size_t>(q)], &index, &map);
    if (index != q || map != 0) ++mismatches;
  }

  Figures first, last;
  TurnView view;
  const auto started = Clock::now();
  for (long t = 1; t <= settings.turns; ++t) {
    for (int32_t q = 0; q < settings.humans; ++q) {
      const TurnReport report = report_for(t, q, players);
      client_turn(links[static_cast<size_t>(q)], report, players, view);
      // From the second turn on a client's own row shows what it just sent.
      const PlayerRow& own = view.players[static_cast<size_t>(q)];
      if (t > 1 && (own.x != report.x || own.y != report.y || own.heading != report.heading)) {
        ++mismatches;
      }
    }
    if (t == 1) first = measure(pid);
    if (t % 5000 == 0 && t != settings.turns) {
      const Figures now = measure(pid);
      std::printf("soak: after turn %ld: VmRSS %ld kB (RssAnon %ld kB), %ld descriptors\n", t,
                  now.rss_kb, now.anon_kb, now.descriptors);
      std::fflush(stdout);
    }
  }
  last = measure(pid);
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

  // Still running after all those turns? Then end the match the one way it
  // ends: a reply to relay_a that is not ACK.
  int status = 0;
  const bool alive = waitpid(pid, &status, WNOHANG) == 0;
  if (alive) {
    TurnReport closing = report_for(settings.turns + 1, 0, players);
    closing.relay_a_reply = ACK - 1;
    client_turn(links[0], closing, players, view);
    if (!wait_for_end(pid, &status)) {
      std::fprintf(stderr, "soak: the server did not end at the closing protocol break\n");
    }
  }
  const bool exited_1 = WIFEXITED(status) && WEXITSTATUS(status) == 1;
  const int crashes = WIFSIGNALED(status) ? 1 : 0;

  uint64_t messages = 0;
  for (ClientLink& link : links) {
    messages += link.sent + link.received;
    socket_close(link.socket, true);
  }
  std::printf("soak: %d humans, %d bots, %ld turns in %.1f s (%.0f turns/s, %llu messages)\n",
              settings.humans, settings.bots, settings.turns, seconds,
              static_cast<double>(settings.turns) / seconds,
              static_cast<unsigned long long>(messages));
  std::printf("soak: after turn 1: VmRSS %ld kB (RssAnon %ld kB), %ld descriptors\n", first.rss_kb,
              first.anon_kb, first.descriptors);
  std::printf(
      "soak: after turn %ld: VmRSS %ld kB (RssAnon %ld kB), %ld descriptors (peak VmHWM %ld kB)\n",
      settings.turns, last.rss_kb, last.anon_kb, last.descriptors, last.peak_rss_kb);
  std::printf("soak: clients held %d, table mismatches %ld, silences %ld\n", settings.humans,
              mismatches, silences);
  std::printf("soak: server %s; crashes: %d\n",
              !alive     ? "had ended before the last turn"
              : exited_1 ? "ended with exit code 1 at the closing protocol break"
                         : "did not end with exit code 1 at the closing protocol break",
              crashes);
  // Pages of a library's code and constant tables come in from its file the
  // first time a path through it is taken (atan's tables, say, as the bots'
  // headings reach new ranges); they belong to no allocation and the kernel
  // may drop them again. Everything the server writes is anonymous memory,
  // and that must not move at all.
  bool only_read_only_files_grew = true;
  for (const auto& [mapping, kb] : last.mappings) {
    long before = 0;
    for (const auto& [old_mapping, old_kb] : first.mappings) {
      // The same mapping starts at the same address; its end moves when it
      // grows, as the heap does.
      if (old_mapping.substr(0, old_mapping.find('-')) == mapping.substr(0, mapping.find('-'))) {
        before = old_kb;
      }
    }
    if (kb == before) continue;
    const std::string permissions = mapping.substr(mapping.find(' ') + 1, 4);
    const bool read_only_file = permissions[1] != 'w' && mapping.find('/') != std::string::npos;
    if (!read_only_file) only_read_only_files_grew = false;
    std::printf("soak: %s: %ld kB -> %ld kB resident in %s\n", read_only_file ? "paged in" : "GREW",
                before, kb, mapping.c_str());
  }
  const bool steady = first.anon_kb > 0 && first.anon_kb == last.anon_kb && first.descriptors > 0 &&
                      first.descriptors == last.descriptors && only_read_only_files_grew;
  const bool passed = steady && alive && exited_1 && mismatches == 0 && silences == 0;
  std::printf("soak: %s\n", passed ? "PASS" : "FAIL");
  if (passed) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  } else {
    std::printf("soak: the server's console and errors are in %s\n", dir.c_str());
  }
  return passed ? 0 : 1;
}
