// zolt-client's options, one row each (console/command_line.h). Numbers are
// whole decimal numbers, read as the server reads its own ("+3" is 3).
#include "client/options.h"

#include <functional>

#include "console/command_line.h"

namespace {

bool to_int32(const std::string& text, int32_t low, int32_t high, int32_t* value) {
  int32_t read = 0;
  if (!whole_int32(text, &read)) return false;
  if (read < low || read > high) return false;
  *value = read;
  return true;
}

// "A<separator>B", both 32-bit integers.
bool to_pair(const std::string& text, char separator, int32_t* a, int32_t* b) {
  const size_t at = text.find(separator);
  return at != std::string::npos && to_int32(text.substr(0, at), INT32_MIN, INT32_MAX, a) &&
         to_int32(text.substr(at + 1), INT32_MIN, INT32_MAX, b);
}

std::string bad_value(const std::string& text, const char* name, const std::string& needed) {
  return "bad value '" + text + "' for " + name + ": " + needed;
}

// A row taking one number within [low, high], handed to store.
OptionRow number_row(const char* name, const char* value_name, std::string help, int32_t low,
                     int32_t high, std::function<void(int32_t)> store, std::string needed) {
  return {name, value_name, std::move(help), [=](const std::string& text) {
            int32_t value = 0;
            if (!to_int32(text, low, high, &value)) return bad_value(text, name, needed);
            store(value);
            return std::string();
          }};
}

// A row for --x or --y: a 32-bit number but 0, which the server would store
// as -1 (no value).
OptionRow position_row(const char* name, const char* value_name, std::string help, int32_t* value,
                       bool* given) {
  return {name, value_name, std::move(help), [=](const std::string& text) {
            int32_t read = 0;
            if (!to_int32(text, INT32_MIN, INT32_MAX, &read)) {
              return bad_value(text, name, "a 32-bit integer is needed");
            }
            if (read == 0) {
              return bad_value(text, name,
                               "a 0 cannot be sent, the server reads it as no value and stores "
                               "-1; give 1 or -1");
            }
            *value = read;
            *given = true;
            return std::string();
          }};
}

CommandLine command_line(ClientOptions& o) {
  CommandLine line;
  line.program = "zolt-client";
  line.usage = "[options]";
  line.about =
      "Plays a match against a running zolt-server the way client programs do:\n"
      "connects K clients one after the other (they are numbered in that order),\n"
      "goes through the handshake with each, plays N turns with each client on a\n"
      "thread of its own, then prints which player each client played, the last\n"
      "player table (player, x, y, health, heading) and a summary line.\n";
  line.epilogue =
      "\n"
      "The server ends its match (exit code 1) once the clients have gone.\n"
      "When a client has waited 5 s for the server, at any step, zolt-client says\n"
      "so on standard error, with the step and why the server may be silent\n"
      "there, and waits on. A client beyond the match's human players is never\n"
      "served: zolt-client then ends, naming the count to give to --clients.\n"
      "A client whose connection the server closes (a kick) says so and ends,\n"
      "or with --reconnect connects again; the other clients play on.\n"
      "\n"
      "Exit codes:\n"
      "  0  the turns were played\n"
      "  2  bad arguments (--clients too many included)\n"
      "  3  the server could not be reached\n"
      "  4  the server closed a connection (of any client) or sent what no match\n"
      "     can hold\n";
  line.error_hint = " (see --help)";
  line.usage_exit_code = EXIT_BAD_ARGUMENTS;
  const std::string walks =
      "; default: each client walks one unit a turn toward +y from where the server last "
      "showed it";
  line.rows = {
      {"--host", "H", "the server's address; default: 127.0.0.1",
       [&o](const std::string& text) {
         o.host = text;
         return text.empty() ? bad_value(text, "--host", "an address is needed") : "";
       }},
      number_row(
          "--port", "P", "the server's port; default: " + std::to_string(SERVER_PORT), 1, 65535,
          [&o](int32_t v) { o.port = static_cast<uint16_t>(v); },
          "a port from 1 to 65535 is needed"),
      number_row(
          "--clients", "K",
          "clients to connect, 1 to " + std::to_string(MAX_CLIENTS) +
              "; the server numbers them only once all the human players it asked for "
              "have joined: give its human player count; default: 1",
          1, MAX_CLIENTS, [&o](int32_t v) { o.clients = v; },
          "a count from 1 to " + std::to_string(MAX_CLIENTS) + " is needed"),
      number_row(
          "--turns", "N", "turns to play; default: 10", 0, MAX_TURNS,
          [&o](int32_t v) { o.turns = v; },
          "a count from 0 to " + std::to_string(MAX_TURNS) + " is needed"),
      position_row(
          "--x", "X",
          "the x every client reports each turn, not 0 (the server would store -1)" + walks, &o.x,
          &o.has_x),
      position_row(
          "--y", "Y",
          "the y every client reports each turn, not 0 (the server would store -1)" + walks, &o.y,
          &o.has_y),
      number_row(
          "--heading", "A",
          "the heading every client reports, tenths of a degree; 0 (facing +x) is sent as " +
              std::to_string(FULL_TURN) + ", the same direction, since the server reads a 0 " +
              "as no value; default: " + std::to_string(WALK_HEADING) + ", facing +y",
          INT32_MIN, INT32_MAX, [&o](int32_t v) { o.heading = v == 0 ? FULL_TURN : v; },
          "a 32-bit integer is needed"),
      {"--relay", "A,B",
       "the relay values every client sends each turn; default: -1,-1, leaving both unchanged "
       "(-2 clears one)",
       [&o](const std::string& text) {
         return to_pair(text, ',', &o.relay_a, &o.relay_b)
                    ? std::string()
                    : bad_value(text, "--relay", "two integers A,B are needed");
       }},
      {"--hit", "DAMAGE:TARGET",
       "every client reports this hit each turn; TARGET is the player index + 1; default: no hit",
       [&o](const std::string& text) {
         return to_pair(text, ':', &o.damage, &o.target)
                    ? std::string()
                    : bad_value(text, "--hit", "two integers DAMAGE:TARGET are needed");
       }},
      {"--trace", "",
       "print every message: client, phase, direction, step, value (each line written out at "
       "once; the clients' lines interleave, but with --one-at-a-time)",
       nullptr, &o.trace},
      {"--one-at-a-time", "",
       "play the clients' turns from one thread, one client after the other, as a program "
       "that plays several players does; a server started with --concurrent sends no client "
       "its relay values before every client has reported, so against it this waits for ever "
       "(and says so after 5 s); default: each client on a thread of its own",
       nullptr, &o.one_at_a_time},
      {"--at-once", "", "each client on a thread of its own: the default, kept for scripts",
       nullptr, &o.at_once},
      {"--source", "ADDR",
       "the local address every client connects from, so that a server's --allow can be "
       "tried from one machine (on Linux any 127.x.y.z is this machine); default: the "
       "system's choice",
       [&o](const std::string& text) {
         o.source = text;
         return text.empty() ? bad_value(text, "--source", "an address is needed") : "";
       }},
      number_row(
          "--pace", "MS",
          "each client waits MS milliseconds before each turn's report, so that a match can "
          "be watched (300 ms: about 3 turns a second); default: 0",
          0, MAX_PACE_MS, [&o](int32_t v) { o.pace_ms = v; },
          "a count from 0 to " + std::to_string(MAX_PACE_MS) + " is needed"),
      {"--reconnect", "",
       "a client whose connection closes (the server restarted with --resume, a drop with "
       "--rejoin, a kick) connects again from the same address, with a growing pause between "
       "tries, for up to --reconnect-for seconds (its greeting answered within them too), and "
       "plays on from where the server last showed it; default: it ends",
       nullptr, &o.reconnect},
      number_row(
          "--reconnect-for", "S",
          "with --reconnect: how long a client tries to come back; default: 60", 1,
          MAX_RECONNECT_SECONDS, [&o](int32_t v) { o.reconnect_seconds = v; },
          "a count of seconds from 1 to " + std::to_string(MAX_RECONNECT_SECONDS) + " is needed"),
      {"--find", "",
       "play nothing: broadcast the server query to --port on every local network (and ask "
       "the --ask servers), wait 1 s, and print one line per server that answered: address, "
       "name, map, players/seats, free seat or not, round trip; exit code 3 when none did",
       nullptr, &o.find},
      {"--ask", "ADDR[:PORT][,...]",
       "with --find, also ask these servers (IPv4 addresses; the port: --port's)",
       [&o](const std::string& text) {
         o.ask = text;
         return text.empty() ? bad_value(text, "--ask", "an address is needed") : "";
       }},
  };
  return line;
}

}  // namespace

int parse_client_options(int argc, char** argv, ClientOptions& options) noexcept {
  ClientOptions parsed = options;
  const CommandLine line = command_line(parsed);
  const int code = read_command_line(line, argc, argv).code;
  if (code >= 0) return code;
  if (parsed.at_once && parsed.one_at_a_time) {
    return command_line_error(line, "--at-once and --one-at-a-time cannot both be given");
  }
  if (parsed.reconnect && parsed.one_at_a_time) {
    // One thread waiting for one client's slot could not bring back the others.
    return command_line_error(line,
                              "--reconnect plays each client on a thread of its own: it cannot be "
                              "given with --one-at-a-time");
  }
  if (!parsed.ask.empty() && !parsed.find) {
    return command_line_error(line, "--ask belongs to --find");
  }
  options = parsed;
  return -1;
}
