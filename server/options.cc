// CLI11 reads the command line and the INI file; every value is taken as
// text and checked here, by the rules the console dialogue applies to the same
// answers. CLI11's own number conversion would take "010" as 8 and "0x10" as
// 16, where an operator at the console gets 10 and an error.
//
// CLI11 reports through exceptions, so this file alone is compiled with them
// (see CMakeLists.txt), and none leaves parse_options: the rest of the server
// is built without them.
#include "server/options.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "match/match.h"
#include "net/decimal.h"

namespace {

constexpr char PROGRAM[] = "zolt-server";
constexpr char PROGRAM_VERSION[] = "zolt-server " ZOLT_VERSION "\n";

// A whole decimal integer in the 32-bit range, written as the operator types
// it at the console: an optional sign and digits, nothing before or after.
bool to_int32(const std::string& text, int32_t& value) {
  if (text.empty() || is_space(static_cast<unsigned char>(text[0]))) return false;
  // A NUL inside would end the reader early and let the rest pass unseen.
  if (std::strlen(text.c_str()) != text.size()) return false;
  const DecimalRead read = read_decimal_text(text.c_str());
  if (!read.has_digits || read.next >= 0 || read.out_of_range) return false;
  value = read.value;
  return true;
}

// Four decimal numbers 0..255 joined by dots, and nothing else. A leading zero
// is refused: some address readers take "010" as octal 8.
bool is_dotted_ipv4(const std::string& text) {
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    const size_t start = at;
    int value = 0;
    while (at < text.size() && at - start < 3 && is_digit(text[at])) {
      value = value * 10 + (text[at] - '0');
      ++at;
    }
    const size_t digits = at - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
  }
  return at == text.size();
}

// Appends `text` to `out`, broken into lines that end before column 80, each
// after the first starting at column `indent`.
void append_wrapped(std::string& out, const std::string& text, size_t indent) {
  constexpr size_t width = 79;
  size_t column = indent;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const size_t length = end - at;
    if (column > indent && column + 1 + length > width) {
      out += '\n';
      out.append(indent, ' ');
      column = indent;
    } else if (column > indent) {
      out += ' ';
      ++column;
    }
    out.append(text, at, length);
    column += length;
    at = end + 1;
  }
  out += '\n';
}

// The help: the usage line first, then what the server does, the arguments
// and options with their defaults (from the declarations, so that the list
// cannot drift from what is parsed), the files read and the exit codes.
class Help : public CLI::FormatterBase {
 public:
  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "Usage: %s [host-name] [options]\n"
                  "\n"
                  "Hosts one ZOLT %s match. Shows the first IPv4 address of host-name (of this\n"
                  "machine's own name when none is given) as the server's address, asks at the\n"
                  "console for the number of human players, the number of CPU players and the\n"
                  "map unless --humans, --bots and --map give them, waits for every human\n"
                  "player's client on TCP port %u (see --port), then plays turns.\n",
                  PROGRAM, ZOLT_VERSION, unsigned{SERVER_PORT});
    std::string help = text;
    help += "\nArguments:\n";
    for (const CLI::Option* option : app->get_options()) {
      if (!option->nonpositional()) add(help, option);
    }
    help += "\nOptions:\n";
    for (const CLI::Option* option : app->get_options()) {
      if (option->nonpositional()) add(help, option);
    }
    std::snprintf(text, sizeof text,
                  "\n"
                  "Files read:\n"
                  "  %-14s the bots' routes: per bot, 9 x then 9 y waypoint coordinates\n"
                  "  %-14s (another with --bot-file)\n"
                  "  %-14s start positions of map N: the human players' x values, then\n"
                  "  %-14s their y values; in the working directory (another with\n"
                  "  %-14s --maps-dir)\n"
                  "\n"
                  "Exit codes:\n"
                  "  0  the match is over, or the operator stopped it\n"
                  "  1  a client broke the protocol\n"
                  "  2  a bad command line or configuration file, or the console input\n"
                  "     ended before the three answers\n"
                  "  3  the port could not be bound, or the sockets library could not start\n",
                  BOT_ROUTE_PATH, "", "dept<N>.txt", "", "");
    return help + text;
  }

 private:
  static void add(std::string& help, const CLI::Option* option) {
    constexpr size_t column = 28;
    std::string names = "  ";
    if (option->nonpositional()) {
      for (const std::string& name : option->get_snames()) names += "-" + name + ", ";
      for (const std::string& name : option->get_lnames()) names += "--" + name + ", ";
      names.resize(names.size() - 2);
    } else {
      names += option->get_name();
    }
    if (option->nonpositional() && option->get_type_size() != 0) {
      names += " " + option->get_type_name();
    }
    help += names;
    if (names.size() + 2 > column) {
      help += '\n';
      names.clear();
    }
    help.append(column - names.size(), ' ');
    append_wrapped(help, option->get_description(), column);
  }
};

struct Texts {
  std::string humans, bots, map, port, client_timeout, http;
};

// Declares every option on `app`, each bound to a field of `options` or, for
// the numbers, to their text in `texts`.
void declare(CLI::App& app, Options& options, Texts& texts) {
  app.formatter(std::make_shared<Help>());
  auto ini = std::make_shared<CLI::ConfigINI>();
  // Every option takes one value, so a value is taken whole, spaces and
  // commas included (C:\Program Files\zolt), instead of being split into a
  // list: the list marks are set to a control character no value holds.
  ini->arrayBounds('\x01', '\x01');
  ini->arrayDelimiter('\x01');
  app.config_formatter(ini);
  // A mistyped name in the file is an error, as on the command line, rather
  // than a setting silently lost.
  app.allow_config_extras(CLI::config_extras_mode::error);
  app.set_help_flag("-h,--help", "show this help and end");
  app.set_version_flag("--version", PROGRAM_VERSION, "show the version and end");

  // On the command line only: a host name in a shared file would hide which
  // machine the operator meant.
  app.add_option("host-name", options.host_name,
                 "the name whose IPv4 address is shown; default: this machine's")
      ->configurable(false);
  app.add_option("--humans", texts.humans,
                 "the number of human players, 0.." + std::to_string(MAX_PLAYERS) +
                     "; default: asked at the console")
      ->type_name("N");
  app.add_option("--bots", texts.bots,
                 "the number of CPU players, at most " + std::to_string(MAX_PLAYERS) +
                     " players in all; default: asked at the console")
      ->type_name("N");
  app.add_option("--map", texts.map, "the map number; default: asked at the console")
      ->type_name("N");
  app.add_option(
         "--port", texts.port,
         "the TCP port the clients connect to, 1..65535; default: " + std::to_string(SERVER_PORT))
      ->type_name("P");
  app.add_option("--bind", options.bind_address,
                 "accept clients on this local IPv4 address only (dotted, as "
                 "192.168.1.10); default: every local IPv4 address")
      ->type_name("ADDR");
  app.add_option("--bot-file", options.bot_file,
                 std::string("the bot route file; default: ") + BOT_ROUTE_PATH)
      ->type_name("PATH");
  app.add_option("--maps-dir", options.maps_dir,
                 "the folder of the start position files; default: the working directory")
      ->type_name("DIR");
  app.add_option("--log", options.log_file,
                 "append the operator's log to FILE; default: standard error")
      ->type_name("FILE");
  app.add_flag("--quiet", options.quiet, "log warnings and errors only; default: everything");
  app.add_option("--client-timeout", texts.client_timeout,
                 "a client that sends nothing for this many seconds in the handshake or a "
                 "turn counts as broken; default: 0, wait for ever")
      ->type_name("SECONDS");
  app.add_flag("--drop-broken-clients", options.drop_broken_clients,
               "drop a client that closes, times out or breaks the protocol, and play on "
               "while a human client is left; default: a broken client ends the match "
               "with exit code 1");
  app.add_flag("--concurrent", options.concurrent,
               "serve every human client's exchange of a turn at the same time; each client "
               "is sent exactly what one at a time would send it, and a turn takes one "
               "client's exchange instead of the sum of them; default: one at a time");
  app.add_flag("--trace", options.trace,
               "log every message of the match, one INFO line each: player, turn, step, "
               "direction, value (and the bytes when they are not a plain number); default: off");
  app.add_flag("--check-clients", options.check_clients,
               "log a warning for every departure from the protocol a client makes, and a "
               "summary per client at the end; the match plays on as without it; default: off");
  app.add_option("--http", texts.http,
                 "serve the live view of the match (a page at /, /state.json, /metrics) on "
                 "this IPv4 address and port, as 127.0.0.1:8080; default: none")
      ->type_name("ADDR:PORT");
  app.add_option("--record", options.record_file,
                 "write the match to FILE, one JSON line per turn; default: none")
      ->type_name("FILE");
  app.add_option("--replay", options.replay_file,
                 "play no match: serve a recording made with --record on the --http view")
      ->type_name("FILE");
  app.set_config("--config", "",
                 "read options from this INI file, one \"name = value\" per line with the "
                 "long option names (humans = 2, quiet = true); the command line wins");
  app.get_config_ptr()->type_name("FILE");
}

// The checks CLI11 cannot make. Returns an empty text when every value holds,
// otherwise what is wrong. A value counts as given when the option is, even
// empty: "--humans ''" is an error, not a question at the console.
std::string check(const CLI::App& app, const Texts& texts, Options& options) {
  // An argument starting with '-' is an option the operator mistyped, never a
  // host name; CLI11 lets "-1" through as a positional.
  if (!options.host_name.empty() && options.host_name[0] == '-') {
    return "unknown option " + options.host_name;
  }
  const auto given = [&app](const char* name) { return app.count(name) > 0; };
  // CLI11 passes over an empty file name without a word.
  if (given("--config") && app.get_config_ptr()->results().front().empty()) {
    return "--config: the file name is empty";
  }
  int32_t value = 0;
  if (given("--humans")) {
    if (!to_int32(texts.humans, value)) return "--humans: not a whole number: " + texts.humans;
    if (value < 0 || value > MAX_PLAYERS) {
      return "--humans: " + texts.humans + " is not in 0.." + std::to_string(MAX_PLAYERS);
    }
    options.humans = value;
  }
  if (given("--bots")) {
    if (!to_int32(texts.bots, value)) return "--bots: not a whole number: " + texts.bots;
    const int32_t most = MAX_PLAYERS - options.humans.value_or(0);
    if (value < 0 || value > most) {
      return "--bots: " + texts.bots + " is not in 0.." + std::to_string(most) + " (at most " +
             std::to_string(MAX_PLAYERS) + " players in all)";
    }
    options.bots = value;
  }
  if (given("--map")) {
    if (!to_int32(texts.map, value)) return "--map: not a whole 32-bit number: " + texts.map;
    options.map = value;
  }
  if (given("--port")) {
    if (!to_int32(texts.port, value) || value < 1 || value > 65535) {
      return "--port: not a port number 1..65535: " + texts.port;
    }
    options.port = static_cast<uint16_t>(value);
  }
  if (given("--bind") && !is_dotted_ipv4(options.bind_address)) {
    return "--bind: not a dotted IPv4 address: " + options.bind_address;
  }
  if (given("--bot-file") && options.bot_file.empty()) return "--bot-file: the path is empty";
  if (given("--client-timeout")) {
    if (!to_int32(texts.client_timeout, value) || value < 0) {
      return "--client-timeout: not a number of seconds 0.." +
             std::to_string(std::numeric_limits<int32_t>::max()) + ": " + texts.client_timeout;
    }
    options.client_timeout = value;
  }
  if (given("--http")) {
    const size_t colon = texts.http.rfind(':');
    const std::string address =
        colon == std::string::npos ? texts.http : texts.http.substr(0, colon);
    const std::string port =
        colon == std::string::npos ? std::string() : texts.http.substr(colon + 1);
    if (!is_dotted_ipv4(address) || !to_int32(port, value) || value < 1 || value > 65535) {
      return "--http: not a dotted IPv4 address and a port 1..65535, as 127.0.0.1:8080: " +
             texts.http;
    }
    options.http_address = address;
    options.http_port = static_cast<uint16_t>(value);
  }
  if (given("--record") && options.record_file.empty()) return "--record: the file name is empty";
  if (given("--replay")) {
    if (options.replay_file.empty()) return "--replay: the file name is empty";
    if (!given("--http")) return "--replay needs --http ADDR:PORT to serve the recording on";
    if (given("--record")) return "--replay plays no match: --record has nothing to record";
  }
  return {};
}

int usage_error(const char* problem) {
  std::fprintf(stderr, "%s: %s\nRun '%s --help' for the options.\n", PROGRAM, problem, PROGRAM);
  return EXIT_USAGE;
}

int parse(int argc, char** argv, Options& options) {
  Options parsed = options;
  Texts texts;
  CLI::App app("", PROGRAM);
  declare(app, parsed, texts);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion&) {
    std::fputs(PROGRAM_VERSION, stdout);
    return 0;
  } catch (const CLI::FileError& error) {
    // CLI11 reads no file but the configuration file.
    return usage_error(("--config: " + std::string(error.what())).c_str());
  } catch (const CLI::ConfigError& error) {
    const std::vector<std::string>& files = app.get_config_ptr()->results();
    const std::string file = files.empty() ? std::string() : files.back();
    return usage_error(("--config " + file + ": " + error.what()).c_str());
  } catch (const CLI::ParseError& error) {
    return usage_error(error.what());
  }
  const std::string problem = check(app, texts, parsed);
  if (!problem.empty()) return usage_error(problem.c_str());
  // The two that only watch the match leave it as the historic server plays
  // it: binding, start-up failures and a match without humans go as before.
  for (const CLI::Option* option : app.get_options()) {
    const std::string& name = option->get_name();
    if (option->nonpositional() && option->count() > 0 && name != "--trace" &&
        name != "--check-clients") {
      parsed.any_option = true;
    }
  }
  options = parsed;
  return -1;
}

}  // namespace

int parse_options(int argc, char** argv, Options& options) noexcept {
  try {
    return parse(argc, argv, options);
  } catch (const std::exception& error) {
    return usage_error(error.what());
  } catch (...) {
    return usage_error("the command line could not be read");
  }
}
