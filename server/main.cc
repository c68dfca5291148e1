// zolt-server [host-name]: hosts one ZOLT match on TCP port 2000.
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "net/protocol.h"
#include "server/match_driver.h"

namespace {

void print_usage() {
  std::printf(
      "Usage: zolt-server [host-name]\n"
      "\n"
      "Hosts one ZOLT %s match. Shows the first IPv4 address of host-name (of this\n"
      "machine's own name when none is given) as the server's address, asks at the\n"
      "console for the number of human players, the number of CPU players and the\n"
      "map, waits for every human player's client on TCP port %u, then plays turns\n"
      "until a client breaks the protocol.\n"
      "\n"
      "Files read, from the working directory unless the path says otherwise:\n"
      "  %-14s the bots' routes: per bot, 9 x then 9 y waypoint coordinates\n"
      "  %-14s start positions of map N: the human players' x values, then\n"
      "  %-14s their y values\n"
      "\n"
      "Exit codes: 0 match over, 1 a client broke the protocol, 2 the console\n"
      "input ended before the three answers.\n"
      "\n"
      "  -h, --help     show this help\n"
      "  --version      show the version\n",
      ZOLT_VERSION, unsigned{SERVER_PORT}, BOT_ROUTE_PATH, "dept<N>.txt", "");
}

}  // namespace

int main(int argc, char** argv) {
  const char* first = argc > 1 ? argv[1] : nullptr;
  if (first != nullptr && (std::strcmp(first, "-h") == 0 || std::strcmp(first, "--help") == 0)) {
    print_usage();
    return 0;
  }
  if (first != nullptr && std::strcmp(first, "--version") == 0) {
    std::printf("zolt-server %s\n", ZOLT_VERSION);
    return 0;
  }
  // Anything else is the host name, as it always was.
  return run_server(first);
}
