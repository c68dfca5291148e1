// The server's options, one row each (console/command_line.h): the name, the
// help, and what takes the value, checked by the rules the console dialogue
// applies to the same answers.
#include "server/options.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "console/command_line.h"
#include "console/files.h"
#include "match/match.h"
#include "net/address.h"
#include "net/decimal.h"
#include "server/exit_codes.h"

namespace {

// A player's name: 1..MAX_NAME_SIZE printable ASCII characters, none of the
// lists' separators and no quote or backslash, so that it goes into the
// log, the page and JSON as it is.
constexpr size_t MAX_NAME_SIZE = 24;
std::string name_problem(const std::string& name) {
  if (name.empty() || name.size() > MAX_NAME_SIZE) {
    return "'" + name + "': a name has 1.." + std::to_string(MAX_NAME_SIZE) + " characters";
  }
  for (const char c : name) {
    if (c < ' ' || c > '~' || c == ',' || c == '=' || c == '"' || c == '\\') {
      return "'" + name + "': a name is printable ASCII without , = \" or \\";
    }
  }
  return "";
}

// "a,b,c" as its pieces, an empty text as none.
std::vector<std::string> split_list(const std::string& text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= text.size() && !text.empty()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    pieces.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return pieces;
}

bool is_dotted_ipv4(const std::string& text) {
  uint32_t address = 0;
  return parse_dotted_ipv4(text, &address);
}

// "127.0.0.1:2010": a dotted IPv4 address and a port 1..65535.
bool address_and_port(const std::string& text, std::string* address, uint16_t* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  int32_t value = 0;
  if (!is_dotted_ipv4(text.substr(0, colon)) || !whole_int32(text.substr(colon + 1), &value) ||
      value < 1 || value > 65535) {
    return false;
  }
  *address = text.substr(0, colon);
  *port = static_cast<uint16_t>(value);
  return true;
}

// The placeholder the packaged config and the container's Secret show: a
// server given it refuses to start, so that nobody runs with a published
// password.
constexpr const char* RCON_PLACEHOLDER = "CHANGE-ME";

// Whether the value at place ("FILE:LINE" of a config file) holds a ';': the
// config file's reader takes one as a comment's start, even inside quotes,
// and passes the value on cut short without a word.
bool config_value_has_semicolon(const std::string& place) {
  const size_t colon = place.rfind(':');
  if (colon == std::string::npos) return false;
  std::ifstream file(place.substr(0, colon), std::ios::binary);
  const long number = std::strtol(place.c_str() + colon + 1, nullptr, 10);
  std::string line;
  long n = 0;
  while (n < number && std::getline(file, line)) ++n;
  if (n != number) return false;
  const size_t equals = line.find('=');
  return equals != std::string::npos && line.find(';', equals) != std::string::npos;
}

// The remote console's password from where the operator put it: the file,
// the environment, the config file. Returns what is wrong, or empty.
std::string take_rcon_password(Options& o) {
  const char* source = "the config file's rcon-password";
  if (!o.rcon_password_file.empty()) {
    source = "--rcon-password-file";
    std::FILE* file = std::fopen(o.rcon_password_file.c_str(), "rb");
    if (file == nullptr) {
      return "--rcon-password-file: cannot open '" + o.rcon_password_file + "'";
    }
    // Its first line, taken whole or refused: never cut without a word.
    char bytes[1024];
    std::string text;
    size_t got = 0;
    while ((got = std::fread(bytes, 1, sizeof bytes, file)) > 0 && text.size() <= 1024 + 3) {
      text.append(bytes, got);
    }
    std::fclose(file);
    // A byte-order mark, which Windows editors write, and the line's end
    // are no part of the password.
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    text = text.substr(0, text.find_first_of("\r\n"));
    if (text.size() > 1024) {
      return "--rcon-password-file: the first line of '" + o.rcon_password_file +
             "' is longer than 1024 bytes";
    }
    o.rcon_password = text;
  } else if (const char* env = std::getenv("ZOLT_RCON_PASSWORD"); env != nullptr && *env != '\0') {
    source = "ZOLT_RCON_PASSWORD";
    o.rcon_password = env;
  }
  if (o.rcon_password.empty()) {
    return "--rcon needs a password: --rcon-password-file FILE, the environment variable "
           "ZOLT_RCON_PASSWORD or rcon-password in the config file";
  }
  // A quote that opens and never closes: the config file's ';' began a
  // comment inside it, and the rest is lost.
  if (std::strcmp(source, "the config file's rcon-password") == 0 &&
      config_value_has_semicolon(o.rcon_password_place)) {
    return o.rcon_password_place +
           ": the config file's rcon-password holds a ';', which begins a comment there, quoted "
           "or not, and would cut the password: put it in --rcon-password-file or "
           "ZOLT_RCON_PASSWORD";
  }
  if (o.rcon_password.find('\0') != std::string::npos) {
    return std::string("the remote console's password from ") + source +
           " holds a zero byte, which no client can send";
  }
  if (o.rcon_password.rfind(RCON_PLACEHOLDER, 0) == 0) {
    return "the remote console's password is still the placeholder " +
           std::string(RCON_PLACEHOLDER) + "...: put a secret of your own in its place";
  }
  if (o.rcon_password.size() < 12) {
    return std::string("the remote console's password from ") + source + " has " +
           std::to_string(o.rcon_password.size()) + " bytes; it needs 12 or more";
  }
  o.rcon_password_source = source;
  return {};
}

// A row whose value is a path, stored as given; `what` names it when empty.
// With regular_only, a path to anything but a regular file (a FIFO, a
// device, a folder) is refused at once (console/files.h).
OptionRow path_row(const char* name, const char* value_name, std::string help, std::string& path,
                   const char* what, bool regular_only = false) {
  return {name, value_name, std::move(help),
          [&path, name, what, regular_only](const std::string& text) {
            path = text;
            if (text.empty()) return std::string(name) + ": the " + what + " is empty";
            const std::string problem = regular_only ? file_problem(text) : std::string();
            return problem.empty() ? problem : std::string(name) + ": '" + text + "': " + problem;
          }};
}

// What the server does, the files it reads and its exit codes: the help
// around the table.
CommandLine command_line(Options& o) {
  CommandLine line;
  line.program = "zolt-server";
  line.usage = "[host-name] [options]";
  char prose[2048];
  std::snprintf(prose, sizeof prose,
                "Hosts one ZOLT %s match. Shows the first IPv4 address of host-name (of this\n"
                "machine's own name when none is given) as the server's address, asks at the\n"
                "console for the number of human players, the number of CPU players and the\n"
                "map unless --humans, --bots and --map give them, waits for every human\n"
                "player's client on TCP port %u (see --port), then plays turns.\n",
                ZOLT_VERSION, unsigned{SERVER_PORT});
  line.about = prose;
  // As the build set it: the help and the man page made from it say the
  // same wherever the program lies.
  const std::string data_folder_text =
      std::filesystem::path(DATA_FOLDER_SETTING).is_absolute()
          ? std::string(DATA_FOLDER_SETTING)
          : std::string("<the program's folder>/") + DATA_FOLDER_SETTING;
  std::snprintf(prose, sizeof prose,
                "\n"
                "Files read:\n"
                "  %-14s the bots' routes: per bot, 9 x then 9 y waypoint coordinates\n"
                "  %-14s (another with --bot-file)\n"
                "  %-14s start positions of map N: the human players' x values, then\n"
                "  %-14s their y values; in the working directory (another with\n"
                "  %-14s --maps-dir)\n"
                "  A file that the working directory lacks, and whose place no option\n"
                "  gives, is read from the data folder:\n"
                "  %s\n"
                "\n"
                "Exit codes:\n"
                "  %d  the match is over, or the operator stopped it\n"
                "  %d  a client left, timed out or broke the protocol: how a match ends\n"
                "     once its players have gone\n"
                "  %d  a bad command line or configuration file, or the console input\n"
                "     ended before the three answers\n"
                "  %d  the port could not be bound, or the sockets library could not start\n",
                BOT_ROUTE_PATH, "", "dept<N>.txt", "", "", data_folder_text.c_str(),
                EXIT_MATCH_OVER, EXIT_PROTOCOL_BREAK, EXIT_USAGE, EXIT_CANNOT_LISTEN);
  line.epilogue = prose;
  line.error_hint = "\nRun 'zolt-server --help' for the options.";
  line.usage_exit_code = EXIT_USAGE;
  line.config_help =
      "read options from this INI file, one \"name = value\" per line with the long option "
      "names (humans = 2, quiet = true); the command line wins";

  const std::string players = std::to_string(MAX_PLAYERS);
  line.rows = {
      // On the command line only: a host name in a shared file would hide
      // which machine the operator meant. It changes nothing of how the
      // server runs.
      {"host-name", "", "the name whose IPv4 address is shown; default: this machine's",
       [&o](const std::string& text) {
         o.host_name = text;
         return std::string();
       },
       nullptr, false, false},
      {"--humans", "N",
       "the number of human players, 0.." + players + "; default: asked at the console",
       [&o, players](const std::string& text) {
         int32_t value = 0;
         if (!whole_int32(text, &value)) return "--humans: not a whole number: " + text;
         if (value < 0 || value > MAX_PLAYERS)
           return "--humans: " + text + " is not in 0.." + players;
         o.humans = value;
         return std::string();
       }},
      {"--bots", "N",
       "the number of CPU players, at most " + players +
           " players in all; default: asked at the "
           "console",
       [&o, players](const std::string& text) {
         int32_t value = 0;
         if (!whole_int32(text, &value)) return "--bots: not a whole number: " + text;
         const int32_t most = MAX_PLAYERS - o.humans.value_or(0);
         if (value < 0 || value > most) {
           return "--bots: " + text + " is not in 0.." + std::to_string(most) + " (at most " +
                  players + " players in all)";
         }
         o.bots = value;
         return std::string();
       }},
      {"--map", "N", "the map number; default: asked at the console",
       [&o](const std::string& text) {
         int32_t value = 0;
         if (!whole_int32(text, &value)) return "--map: not a whole 32-bit number: " + text;
         o.map = value;
         return std::string();
       }},
      {"--port", "P",
       "the TCP port the clients connect to, 1..65535; default: " + std::to_string(SERVER_PORT),
       [&o](const std::string& text) {
         int32_t value = 0;
         if (!whole_int32(text, &value) || value < 1 || value > 65535) {
           return "--port: not a port number 1..65535: " + text;
         }
         o.port = static_cast<uint16_t>(value);
         return std::string();
       }},
      {"--bind", "ADDR",
       "accept clients on this local IPv4 address only (dotted, as 192.168.1.10); default: every "
       "local IPv4 address",
       [&o](const std::string& text) {
         if (!is_dotted_ipv4(text)) return "--bind: not a dotted IPv4 address: " + text;
         o.bind_address = text;
         return std::string();
       }},
      path_row("--bot-file", "PATH", std::string("the bot route file; default: ") + BOT_ROUTE_PATH,
               o.bot_file, "path"),
      {"--maps-dir", "DIR",
       "the folder of the start position files; default: the working directory, then the data "
       "folder",
       [&o](const std::string& text) {
         o.maps_dir = text;
         const std::string problem = folder_problem(text);
         return problem.empty() ? problem : "--maps-dir: '" + text + "': " + problem;
       }},
      {"--log", "FILE", "append the operator's log to FILE; default: standard error",
       [&o](const std::string& text) {
         o.log_file = text;
         return std::string();
       }},
      {"--quiet", "", "log warnings and errors only; default: everything", nullptr, &o.quiet},
      {"--client-timeout", "SECONDS",
       "a client that keeps the server waiting this many seconds in all of a turn (or of the "
       "handshake) counts as broken; default: 0, wait for ever",
       [&o](const std::string& text) {
         int32_t value = 0;
         if (!whole_int32(text, &value) || value < 0) {
           return "--client-timeout: not a number of seconds 0.." +
                  std::to_string(std::numeric_limits<int32_t>::max()) + ": " + text;
         }
         o.client_timeout = value;
         return std::string();
       }},
      {"--drop-broken-clients", "",
       "drop a client that closes, times out or breaks the protocol, and play on while a human "
       "client is left; default: a broken client ends the match with exit code 1",
       nullptr, &o.drop_broken_clients},
      {"--rejoin", "",
       "while the match runs, a client that connects takes the slot of a dropped player "
       "(the lowest free one, one last held from its own address first) and plays from the "
       "next turn; implies --drop-broken-clients; default: off",
       nullptr, &o.rejoin},
      {"--join-time", "SECONDS",
       "with --rejoin, a client that connects during the match and has not finished its "
       "handshake after this many seconds (or --client-timeout, when shorter) is closed and "
       "its slot free again; default: 10",
       [&o](const std::string& text) {
         int32_t value = 0;
         if (!whole_int32(text, &value) || value < 1) {
           return "--join-time: not a number of seconds 1.." +
                  std::to_string(std::numeric_limits<int32_t>::max()) + ": " + text;
         }
         o.join_timeout = value;
         return std::string();
       }},
      {"--allow", "CIDR[,CIDR...]",
       "only clients from these IPv4 networks (as 192.168.1.0/24; an address alone is /32) "
       "may join, at the start or to rejoin; any other connection is closed at once; "
       "default: everyone",
       [&o](const std::string& text) {
         const std::string problem = parse_ipv4_networks(text, &o.allow);
         return problem.empty() ? problem : "--allow: " + problem;
       }},
      {"--concurrent", "",
       "serve every human client's exchange of a turn at the same time; each client is sent "
       "exactly what one at a time would send it, and a turn takes one client's exchange "
       "instead of the sum of them; default: one at a time",
       nullptr, &o.concurrent},
      // The two that only watch the match leave it as the historic server
      // plays it: binding, start-up failures and a match without humans go
      // as before.
      {"--trace", "",
       "log every message of the match, one INFO line each: player, turn, step, direction, value "
       "(and the bytes when they are not a plain number); default: off",
       nullptr, &o.trace, true, false},
      {"--check-clients", "",
       "log a warning for every departure from the protocol a client makes, and a summary per "
       "client at the end; the match plays on as without it; default: off",
       nullptr, &o.check_clients, true, false},
      {"--http", "ADDR:PORT",
       "serve the live view of the match (a page at /, /state.json, /metrics) on this IPv4 "
       "address and port, as 127.0.0.1:8080; default: none",
       [&o](const std::string& text) {
         const size_t colon = text.rfind(':');
         const std::string address = colon == std::string::npos ? text : text.substr(0, colon);
         const std::string port =
             colon == std::string::npos ? std::string() : text.substr(colon + 1);
         int32_t value = 0;
         if (!is_dotted_ipv4(address) || !whole_int32(port, &value) || value < 1 || value > 65535) {
           return "--http: not a dotted IPv4 address and a port 1..65535, as 127.0.0.1:8080: " +
                  text;
         }
         o.http_address = address;
         o.http_port = static_cast<uint16_t>(value);
         return std::string();
       }},
      path_row("--record", "FILE",
               "write the match to FILE, one JSON line per turn; %Y%m%d-%H%M%S in FILE "
               "are the UTC time, an existing file is kept and a number added; default: none",
               o.record_file, "file name", true),
      {"--record-sync", "WHEN",
       "with --record, how far each turn's line is taken: 'system' hands it to the operating "
       "system (it survives any end of the server), 'second' also syncs it to the disk at "
       "most every second, 'turn' every turn (a power cut then loses at most that); default: "
       "system",
       [&o](const std::string& text) {
         static const std::pair<const char*, RecordSync> whens[] = {{"system", RecordSync::System},
                                                                    {"second", RecordSync::Second},
                                                                    {"turn", RecordSync::Turn}};
         for (const auto& [name, when] : whens) {
           if (text == name) {
             o.record_sync = when;
             return std::string();
           }
         }
         return "--record-sync: not system, second or turn: " + text;
       },
       nullptr, true, true},
      {"--resume", "",
       "with --record FILE, go on with the match FILE holds if it did not end (after a crash, "
       "a kill or a restart): its settings, its tables and its turns, from its last whole "
       "line, the clients joining again as at the start; otherwise start a new match; "
       "default: off",
       nullptr, &o.resume},
      {"--resume-wait", "N",
       "with --resume and --rejoin, a resumed match goes on once N of its human players' "
       "clients are back; the others take their slots as they come back; default: all of them",
       [&o, players](const std::string& text) {
         int32_t value = 0;
         if (!whole_int32(text, &value) || value < 1 || value > MAX_PLAYERS) {
           return "--resume-wait: not a number of players 1.." + players + ": " + text;
         }
         o.resume_wait = value;
         return std::string();
       },
       nullptr, true, true},
      {"--view-linger", "SECONDS",
       "with --http, keep the live view up this many seconds after the match has ended, so "
       "that open pages show its end; the exit code and the console's end come after; 0: none; "
       "default: 5",
       [&o](const std::string& text) {
         int32_t value = 0;
         if (!whole_int32(text, &value) || value < 0 || value > 3600) {
           return "--view-linger: not a number of seconds 0..3600: " + text;
         }
         o.view_linger = value;
         return std::string();
       },
       nullptr, true, false},
      {"--names", "NAME[,NAME...]",
       "the players' names by index (player 0 first; an empty place leaves that player "
       "unnamed), shown beside their numbers on the live view, in the recording and in the "
       "log; default: none",
       [&o](const std::string& text) {
         o.names = split_list(text);
         for (const std::string& name : o.names) {
           if (name.empty()) continue;
           if (std::string problem = name_problem(name); !problem.empty()) {
             return "--names: " + problem;
           }
         }
         return std::string();
       },
       nullptr, true, false},
      {"--address-names", "ADDR=NAME[,...]",
       "name the player whose client connects from this IPv4 address (as 192.168.1.10=Ann); "
       "before --names; default: none",
       [&o](const std::string& text) {
         o.address_names.clear();
         for (const std::string& pair : split_list(text)) {
           const size_t equals = pair.find('=');
           Options::AddressName named;
           if (equals == std::string::npos ||
               !parse_dotted_ipv4(pair.substr(0, equals), &named.address)) {
             return "--address-names: not a dotted IPv4 address, '=' and a name: " + pair;
           }
           named.name = pair.substr(equals + 1);
           if (std::string problem = name_problem(named.name); !problem.empty()) {
             return "--address-names: " + problem;
           }
           o.address_names.push_back(named);
         }
         return std::string();
       },
       nullptr, true, false},
      {"--rcon", "ADDR:PORT",
       "open the remote console (RCON) on this IPv4 address and port, as 127.0.0.1:2010; it "
       "needs a password of 12 bytes or more (--rcon-password-file, ZOLT_RCON_PASSWORD or "
       "the config file's rcon-password); default: none",
       [&o](const std::string& text) {
         std::string address;
         if (!address_and_port(text, &address, &o.rcon_port)) {
           return "--rcon: not a dotted IPv4 address and a port 1..65535, as 127.0.0.1:2010: " +
                  text;
         }
         o.rcon_address = address;
         return std::string();
       }},
      path_row("--rcon-password-file", "FILE",
               "read the remote console's password from the first line of FILE; default: "
               "ZOLT_RCON_PASSWORD, then the config file's rcon-password",
               o.rcon_password_file, "file name", true),
      {"--rcon-password", "TEXT",
       "the remote console's password; in the config file only (rcon-password = ...)",
       [&o](const std::string& text) {
         o.rcon_password = text;
         return std::string();
       },
       nullptr, true, true, true},
      {"--query", "",
       "answer the server query (server browsers, LAN browsers, status tools) on UDP at the "
       "game's port (see --query-port), on the address the clients connect to, broadcasts "
       "included when that is every address; default: off",
       nullptr, &o.query},
      {"--query-port", "P",
       "with --query, the UDP port of the query, 1..65535; default: the game's port (--port)",
       [&o](const std::string& text) {
         int32_t value = 0;
         if (!whole_int32(text, &value) || value < 1 || value > 65535) {
           return "--query-port: not a port number 1..65535: " + text;
         }
         o.query_port = static_cast<uint16_t>(value);
         return std::string();
       }},
      {"--name", "TEXT",
       "with --query, the server's name in the query's answers, at most 63 bytes; default: "
       "\"ZOLT " ZOLT_VERSION " on HOST\"",
       [&o](const std::string& text) {
         if (text.empty() || text.size() > 63) {
           return "--name: give a name of 1 to 63 bytes: '" + text + "'";
         }
         if (std::any_of(text.begin(), text.end(),
                         [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
           return "--name: a control character in '" + text + "'";
         }
         o.server_name = text;
         return std::string();
       }},
      {"--console-commands", "",
       "read operator commands (status, kick, pause, end...) from the console during a match "
       "with human players even when it is not a terminal; default: only from a terminal",
       nullptr, &o.console_commands},
      path_row("--replay", "FILE",
               "play no match: serve a recording made with --record on the --http view",
               o.replay_file, "file name", true),
  };
  return line;
}

}  // namespace

int parse_options(int argc, char** argv, Options& options) noexcept {
  Options parsed = options;
  // Building the table allocates: out of memory here ends the program, as
  // it would anywhere else at start-up.
  const CommandLine line = command_line(parsed);
  const CommandLineResult result = read_command_line(line, argc, argv);
  if (result.code >= 0) return result.code;
  const auto given = [&line, &result](const char* name) {
    for (size_t i = 0; i < line.rows.size(); ++i) {
      if (line.rows[i].name == name) return static_cast<bool>(result.given[i]);
    }
    return false;
  };
  for (size_t i = 0; i < line.rows.size(); ++i) {
    if (line.rows[i].name == "--port") parsed.port_place = result.places[i];
    if (line.rows[i].name == "--rcon-password") parsed.rcon_password_place = result.places[i];
  }
  if (given("--replay")) {
    if (!given("--http")) {
      return command_line_error(line, "--replay needs --http ADDR:PORT to serve the recording on");
    }
    if (given("--record")) {
      return command_line_error(line, "--replay plays no match: --record has nothing to record");
    }
    if (parsed.query) {
      return command_line_error(line, "--replay plays no match: --query has nothing to tell");
    }
  }
  if (given("--rcon")) {
    if (std::string problem = take_rcon_password(parsed); !problem.empty()) {
      return command_line_error(line, problem);
    }
  } else if (given("--rcon-password-file") || given("--rcon-password")) {
    return command_line_error(line, "a remote console password without --rcon ADDR:PORT");
  }
  if ((given("--query-port") || given("--name")) && !parsed.query) {
    return command_line_error(line, "--query-port and --name belong to the query: give --query");
  }
  if (given("--resume-wait") && !(parsed.resume && parsed.rejoin)) {
    return command_line_error(line,
                              "--resume-wait needs --resume and --rejoin: the clients not waited "
                              "for take their slots while the match goes on");
  }
  if (parsed.resume) {
    if (parsed.record_file.empty()) {
      return command_line_error(line, "--resume needs --record FILE: the match goes on from it");
    }
    if (parsed.record_file.find('%') != std::string::npos) {
      return command_line_error(line,
                                "--resume needs a --record name without time placeholders: a "
                                "restarted server must find the same file");
    }
  }
  parsed.historic_start_up = !result.run_changed;
  // A player that comes back needs its slot freed: the broken client dropped.
  if (parsed.rejoin) parsed.drop_broken_clients = true;
  options = parsed;
  return -1;
}
