#include "server/options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Result {
  int code;
  Options options;
  std::string out, err;
};

Result parse(const std::vector<std::string>& args) {
  std::vector<std::string> words = {"zolt-server"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  Result result;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  result.code = parse_options(static_cast<int>(words.size()), argv.data(), result.options);
  result.out = testing::internal::GetCapturedStdout();
  result.err = testing::internal::GetCapturedStderr();
  return result;
}

std::string names_of(const Options& o) {
  std::string text;
  for (const std::string& name : o.names) text += "[" + name + "]";
  for (const Options::AddressName& named : o.address_names) {
    text += "{" + std::to_string(named.address) + "=" + named.name + "}";
  }
  return text;
}

// Every field in one line, so that a failure shows which one differs.
std::string describe(const Options& o) {
  const auto number = [](const std::optional<int32_t>& n) {
    return n ? std::to_string(*n) : std::string("-");
  };
  return "host=" + o.host_name + " humans=" + number(o.humans) + " bots=" + number(o.bots) +
         " map=" + number(o.map) + " port=" + std::to_string(o.port) + " bind=" + o.bind_address +
         " bot-file=" + o.bot_file + " maps-dir=" + o.maps_dir + " log=" + o.log_file +
         " quiet=" + std::to_string(o.quiet) + " timeout=" + std::to_string(o.client_timeout) +
         " drop=" + std::to_string(o.drop_broken_clients) + " trace=" + std::to_string(o.trace) +
         " check=" + std::to_string(o.check_clients) + " http=" + o.http_address + ":" +
         std::to_string(o.http_port) + " record=" + o.record_file + " replay=" + o.replay_file +
         " historic=" + std::to_string(o.historic_start_up) +
         " linger=" + std::to_string(o.view_linger) + " names=" + names_of(o) +
         " query=" + std::to_string(o.query) + ":" + std::to_string(o.query_port) + ":" +
         o.server_name;
}

Options with(void (*change)(Options&)) {
  Options options;
  change(options);
  return options;
}

TEST(Options, ValidLinesGiveTheirValuesAndPrintNothing) {
  const struct {
    std::vector<std::string> args;
    Options want;
  } cases[] = {
      {{}, Options{}},
      {{"arena"}, with([](Options& o) { o.host_name = "arena"; })},
      {{"--map", "-1", "arena"},
       with([](Options& o) { o.map = -1, o.host_name = "arena", o.historic_start_up = false; })},
      {{"--map", "-2147483648"},
       with([](Options& o) { o.map = INT32_MIN, o.historic_start_up = false; })},
      // Decimal as at the console, where CLI11 alone would read octal 8.
      {{"--humans", "010", "--bots", "+3"},
       with([](Options& o) { o.humans = 10, o.bots = 3, o.historic_start_up = false; })},
      {{"--humans", "999999", "--bots", "1"},
       with([](Options& o) { o.humans = 999999, o.bots = 1, o.historic_start_up = false; })},
      {{"--port", "3000"}, with([](Options& o) { o.port = 3000, o.historic_start_up = false; })},
      // They only watch the match: the historic server's ways stay.
      {{"--trace", "--check-clients"},
       with([](Options& o) { o.trace = true, o.check_clients = true; })},
      {{"--check-clients", "--map", "1"},
       with([](Options& o) { o.check_clients = true, o.map = 1, o.historic_start_up = false; })},
      {{"h", "--humans", "0", "--port", "65535", "--bind", "192.168.0.255", "--bot-file", "b.txt",
        "--maps-dir", ".", "--log", "server.log", "--client-timeout", "30",
        "--drop-broken-clients"},
       with([](Options& o) {
         o.host_name = "h", o.humans = 0, o.port = 65535, o.bind_address = "192.168.0.255",
         o.bot_file = "b.txt", o.maps_dir = ".", o.log_file = "server.log", o.client_timeout = 30,
         o.drop_broken_clients = true, o.historic_start_up = false;
       })},
      {{"--http", "127.0.0.1:8080", "--record", "m.jsonl"}, with([](Options& o) {
         o.http_address = "127.0.0.1", o.http_port = 8080, o.record_file = "m.jsonl",
         o.historic_start_up = false;
       })},
      // Names and the view's stay change nothing of the match.
      {{"--names", "Ann,,Bob Two", "--view-linger", "0"}, with([](Options& o) {
         o.names = {"Ann", "", "Bob Two"}, o.view_linger = 0;
       })},
      {{"--address-names", "10.0.0.5=Eve,192.168.1.2=Flo"}, with([](Options& o) {
         o.address_names = {{0x0A000005, "Eve"}, {0xC0A80102, "Flo"}};
       })},
      {{"--replay", "m.jsonl", "--http", "0.0.0.0:1"}, with([](Options& o) {
         o.replay_file = "m.jsonl", o.http_address = "0.0.0.0", o.http_port = 1,
         o.historic_start_up = false;
       })},
      {{"--query", "--query-port", "27015", "--name", "LAN party \xc3\xa9t\xc3\xa9"},
       with([](Options& o) {
         o.query = true, o.query_port = 27015, o.server_name = "LAN party \xc3\xa9t\xc3\xa9",
         o.historic_start_up = false;
       })},
  };
  for (const auto& c : cases) {
    const Result r = parse(c.args);
    SCOPED_TRACE(testing::PrintToString(c.args));
    EXPECT_EQ(r.code, -1) << r.err;
    EXPECT_EQ(describe(r.options), describe(c.want));
    EXPECT_EQ(r.out + r.err, "");
  }
}

TEST(Options, UsageErrorsNameTheProblemAndChangeNothing) {
  const struct {
    std::vector<std::string> args;
    const char* named;
  } cases[] = {
      {{"--players", "2"}, "--players"},
      {{"-1"}, "-1"},
      {{"--map", "3", "-7"}, "-7"},
      {{"arena", "other"}, "other"},
      {{"--humans", "1", "--humans", "2"}, "--humans"},
      {{"--humans", "3.5"}, "3.5"},
      {{"--humans", "0x10"}, "0x10"},
      {{"--humans", ""}, "--humans"},
      {{"--humans", "-1"}, "--humans"},
      {{"--humans", "1000001"}, "1000001"},
      {{"--humans", "2", "--bots", "999999"}, "999999"},
      {{"--map", "2147483648"}, "2147483648"},
      {{"--port", "0"}, "--port"},
      {{"--port", "65536"}, "65536"},
      {{"--bind", "256.0.0.1"}, "256.0.0.1"},
      {{"--bind", "01.2.3.4"}, "01.2.3.4"},
      {{"--client-timeout", "-1"}, "-1"},
      {{"--bot-file", ""}, "--bot-file"},
      {{"--maps-dir", "/nonexistent/maps"}, "--maps-dir: '/nonexistent/maps': no such folder"},
      {{"--maps-dir", "/dev/null"}, "--maps-dir: '/dev/null': not a folder"},
      {{"--config", ""}, "--config"},
      {{"--config", "/nonexistent/zolt.ini"}, "/nonexistent/zolt.ini"},
      {{"--http", "8080"}, "8080"},
      {{"--http", "127.0.0.1:"}, "127.0.0.1:"},
      {{"--http", "127.0.0.1:65536"}, "65536"},
      {{"--http", "localhost:80"}, "localhost:80"},
      {{"--http", ":80"}, "--http"},
      {{"--record", ""}, "--record"},
      {{"--view-linger", "-1"}, "--view-linger"},
      {{"--view-linger", "3601"}, "--view-linger"},
      {{"--names", "Ann,Bob\"; alert(1)"}, "--names"},
      {{"--names", "Ann,<b>Bob</b>\\"}, "--names"},
      {{"--names", "A,\x01"}, "--names"},
      {{"--names", "Zo\xc3\xab"}, "--names"},
      {{"--names", std::string(25, 'a')}, "a name has 1..24"},
      {{"--address-names", "Eve"}, "--address-names"},
      {{"--address-names", "10.0.0.5="}, "--address-names"},
      {{"--address-names", "host=Eve"}, "host=Eve"},
      {{"--address-names", "10.0.0.5=a=b"}, "--address-names"},
      {{"--replay", "m.jsonl"}, "--replay needs --http"},
      {{"--replay", "m.jsonl", "--http", "127.0.0.1:80", "--record", "n"}, "--record"},
      {{"--replay", "m.jsonl", "--http", "127.0.0.1:80", "--query"}, "--query has nothing"},
      {{"--query-port", "2001"}, "give --query"},
      {{"--name", "x"}, "give --query"},
      {{"--query", "--query-port", "0"}, "--query-port"},
      {{"--query", "--query-port", "65536"}, "--query-port"},
      {{"--query", "--name", ""}, "--name"},
      {{"--query", "--name", std::string(64, 'n')}, "1 to 63 bytes"},
      {{"--query", "--name", "a\x1b[2Jb"}, "control character"},
  };
  for (const auto& c : cases) {
    const Result r = parse(c.args);
    SCOPED_TRACE(testing::PrintToString(c.args));
    EXPECT_EQ(r.code, EXIT_USAGE);
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(describe(r.options), describe(Options{}));
  }
}

TEST(Options, AMistypedNameIsAnsweredWithTheNearestOne) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--human", "3"}, "unknown option '--human'; did you mean '--humans'?"},
      {{"--prot=2001"}, "unknown option '--prot'; did you mean '--port'?"},
      {{"--Bots", "1"}, "unknown option '--Bots'; did you mean '--bots'?"},
      {{"--timeout", "9"}, "unknown option '--timeout'; did you mean '--client-timeout'?"},
      // One dash would be read as -h: help, and exit code 0.
      {{"-humans", "3"}, "unknown option '-humans'; did you mean '--humans'?"},
      {{"arena", "concurent"}, "unexpected argument 'concurent'; did you mean '--concurrent'?"},
      {{"--players", "2"}, "unknown option '--players'\n"},
  };
  for (const auto& c : cases) {
    const Result r = parse(c.args);
    SCOPED_TRACE(testing::PrintToString(c.args));
    EXPECT_EQ(r.code, EXIT_USAGE);
    EXPECT_EQ(r.err.rfind(std::string("zolt-server: ") + c.says, 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(Options, ConfigFileGivesOptionsAndTheCommandLineWins) {
  std::string pattern = (std::filesystem::temp_directory_path() / "zolt-options-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path dir = pattern;
  const std::string file = (dir / "zolt.ini").string();
  const auto write = [&file](const std::string& content) { std::ofstream(file) << content; };
  // The maps folder must be there.
  const std::string maps = (dir / "Program Files").string();
  std::filesystem::create_directory(maps);

  write(
      "; the club's server\n"
      "humans = 2\nbots=3\nmap = -4\nport = 3000\nbind = 10.0.0.7\n"
      "maps-dir = " +
      maps +
      " ; spaces kept\nlog = \"a, b.log\"\n"
      "quiet = true\nclient-timeout = 30\ndrop-broken-clients = true\n");
  Options want;
  want.humans = 2, want.bots = 3, want.map = -4, want.port = 3000, want.bind_address = "10.0.0.7";
  want.maps_dir = maps, want.log_file = "a, b.log", want.quiet = true;
  want.client_timeout = 30, want.drop_broken_clients = true, want.historic_start_up = false;
  Result r = parse({"--config", file});
  EXPECT_EQ(r.code, -1) << r.err;
  EXPECT_EQ(describe(r.options), describe(want));

  r = parse({"arena", "--humans", "1", "--config", file, "--port", "4000"});
  want.host_name = "arena", want.humans = 1, want.port = 4000;
  EXPECT_EQ(r.code, -1) << r.err;
  EXPECT_EQ(describe(r.options), describe(want));

  // A byte-order mark, as Windows editors write, is no part of the first name.
  write("\xEF\xBB\xBFhumans = 2\n");
  r = parse({"--config", file});
  EXPECT_EQ(r.code, -1) << r.err;
  EXPECT_EQ(r.options.humans, 2);

  // Values from the file are checked as on the command line, and together
  // with it; what is wrong in the file is said with its file and line.
  const struct {
    const char* content;
    std::vector<std::string> more;
    const char* named;
  } errors[] = {
      {"bots = 1\nhumans = abc\n", {}, "zolt.ini:2: --humans: not a whole number: abc\n"},
      {"; club\n\nhumnas = 2\n", {}, "zolt.ini:3: unknown option 'humnas'; did you mean 'humans'?"},
      {"humans = 1\nhumans = 2\n", {}, "zolt.ini:1: --humans: given more than once"},
      {"[match]\nhumans = 2\n", {}, "zolt.ini:1: a section, [match]"},
      {"host-name = arena\n", {}, "zolt.ini:1: host-name: only on the command line"},
      {"humans = 2\n", {"--bots", "999999"}, ": --bots: 999999"},
      // Bytes from the file are shown escaped, never sent to the terminal.
      {"humans = 2\x1b[2J\n", {}, "--humans: not a whole number: 2\\x1b[2J"},
      {"b\xc3\xa9 = 1\n", {}, "b\\xc3\\xa9"},
  };
  for (const auto& e : errors) {
    write(e.content);
    std::vector<std::string> args = {"--config", file};
    args.insert(args.end(), e.more.begin(), e.more.end());
    r = parse(args);
    EXPECT_EQ(r.code, EXIT_USAGE) << e.content;
    EXPECT_NE(r.err.find(e.named), std::string::npos) << r.err;
    for (const char c : r.err) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << r.err;
  }
  r = parse({"--config", dir.string()});
  EXPECT_EQ(r.code, EXIT_USAGE);
  EXPECT_NE(r.err.find(dir.string()), std::string::npos) << r.err;
  std::filesystem::remove_all(dir);
}

// A flag is read by the same words wherever it is given, and a word it does
// not know is refused with the place it came from, like any other value.
TEST(Options, FlagsTakeTheSameWordsInTheConfigFileAndOnTheCommandLine) {
  std::string pattern = (std::filesystem::temp_directory_path() / "zolt-options-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path dir = pattern;
  const std::string file = (dir / "zolt.ini").string();
  const struct {
    const char* word;
    int want;  // 1 on, 0 off, -1 refused
  } cases[] = {
      {"true", 1}, {"TRUE", 1}, {"Yes", 1},    {"on", 1},      {"1", 1},      {"false", 0},
      {"No", 0},   {"OFF", 0},  {"0", 0},      {"banana", -1}, {"y", -1},     {"enable", -1},
      {"+", -1},   {"2", -1},   {"12abc", -1}, {"-1", -1},     {"true!", -1}, {"o n", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    std::ofstream(file) << "map = 1\nconcurrent = " << c.word << "\n";
    const Result from_file = parse({"--config", file});
    const Result from_line = parse({"--map", "1", std::string("--concurrent=") + c.word});
    for (const Result* r : {&from_file, &from_line}) {
      if (c.want < 0) {
        EXPECT_EQ(r->code, EXIT_USAGE);
        EXPECT_FALSE(r->options.concurrent);
        EXPECT_NE(r->err.find(std::string("--concurrent: not true, yes, on, 1 or false, no, off, "
                                          "0: ") +
                              c.word + "\n"),
                  std::string::npos)
            << r->err;
      } else {
        EXPECT_EQ(r->code, -1) << r->err;
        EXPECT_EQ(r->options.concurrent, c.want == 1);
        EXPECT_EQ(r->err, "");
      }
    }
    if (c.want < 0) {
      EXPECT_EQ(from_file.err.rfind("zolt-server: " + file + ":2: --concurrent", 0), 0u)
          << from_file.err;
    }
  }
  // A name alone (or with nothing after '=') is on, as the flag alone is on
  // the command line; the command line still wins over the file.
  const struct {
    const char* content;
    std::vector<std::string> more;
    bool quiet;
  } given[] = {
      {"quiet\n", {}, true},
      {"quiet =\n", {}, true},
      {"quiet = yes\n", {"--quiet=no"}, false},
      {"quiet = off\n", {"--quiet"}, true},
  };
  for (const auto& g : given) {
    SCOPED_TRACE(g.content);
    std::ofstream(file) << g.content;
    std::vector<std::string> args = {"--config", file};
    args.insert(args.end(), g.more.begin(), g.more.end());
    const Result r = parse(args);
    EXPECT_EQ(r.code, -1) << r.err;
    EXPECT_EQ(r.options.quiet, g.quiet);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace

// The remote console's password: from a file, the environment or the config
// file, never the command line; refused when missing, short or the
// published placeholder.
TEST(Options, TheRemoteConsolePasswordComesFromAFileTheEnvironmentOrTheConfigOnly) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "zolt_rcon_options";
  std::filesystem::create_directories(dir);
  const auto write = [&dir](const char* name, const std::string& text) {
    std::ofstream((dir / name).string()) << text;
    return (dir / name).string();
  };
  const std::string good_file = write("pw", "a-long-secret-1\nsecond line\n");
  const std::string short_file = write("short", "elevenchars\n");
  const std::string marked_file = write("marked",
                                        "\xEF\xBB\xBF"
                                        "a-long;secret #3\r\n");
  const std::string zero_file = write("zero", std::string("a-long-se\0cret-4\n", 17));
  const std::string long_file = write("long", std::string(1025, 'x') + "\n");
  const std::string cut_ini =
      write("cut.ini", "rcon = 127.0.0.1:2010\nrcon-password = \"a-long-secret;with-more\"\n");
  const std::string bare_cut_ini = write(
      "bare-cut.ini", "rcon = 127.0.0.1:2010\nrcon-password = correct-horse;battery-staple\n");
  const std::string semicolon_ini =
      write("semicolon.ini", "rcon = 127.0.0.1:2010\nrcon-password = \"a-long # secret\"\n");
  const std::string ini =
      write("zolt.ini", "rcon = 127.0.0.1:2010\nrcon-password = from-the-config\n");
  const std::string placeholder_ini =
      write("placeholder.ini", "rcon = 127.0.0.1:2010\nrcon-password = CHANGE-ME-to-a-secret\n");
  struct Case {
    std::vector<std::string> args;
    const char* env;       // ZOLT_RCON_PASSWORD, null: unset
    const char* password;  // taken; null: a usage error naming `problem`
    const char* problem;
  };
  const Case cases[] = {
      {{"--rcon", "127.0.0.1:2010", "--rcon-password-file", good_file},
       nullptr,
       "a-long-secret-1",
       ""},
      {{"--rcon", "127.0.0.1:2010", "--rcon-password-file", good_file},
       "from-the-environment",
       "a-long-secret-1",
       ""},
      {{"--rcon", "127.0.0.1:2010"}, "from-the-environment", "from-the-environment", ""},
      {{"--config", ini}, nullptr, "from-the-config", ""},
      {{"--config", ini}, "from-the-environment", "from-the-environment", ""},
      {{"--rcon", "127.0.0.1:2010"}, nullptr, nullptr, "needs a password"},
      {{"--rcon", "127.0.0.1:2010", "--rcon-password-file", short_file},
       nullptr,
       nullptr,
       "needs 12 or more"},
      {{"--rcon", "127.0.0.1:2010"}, "short", nullptr, "needs 12 or more"},
      {{"--rcon", "127.0.0.1:2010", "--rcon-password-file", marked_file},
       nullptr,
       "a-long;secret #3",
       ""},
      {{"--rcon", "127.0.0.1:2010", "--rcon-password-file", zero_file},
       nullptr,
       nullptr,
       "zero byte"},
      {{"--rcon", "127.0.0.1:2010", "--rcon-password-file", long_file},
       nullptr,
       nullptr,
       "longer than 1024 bytes"},
      {{"--rcon", "127.0.0.1:2010", "--rcon-password-file", short_file},
       nullptr,
       nullptr,
       "from --rcon-password-file has 11 bytes"},
      {{"--config", semicolon_ini}, nullptr, "a-long # secret", ""},
      {{"--config", cut_ini},
       nullptr,
       nullptr,
       "cut.ini:2: the config file's rcon-password holds a ';'"},
      {{"--config", bare_cut_ini},
       nullptr,
       nullptr,
       "bare-cut.ini:2: the config file's rcon-password holds a ';'"},
      {{"--config", placeholder_ini}, nullptr, nullptr, "placeholder"},
      {{"--rcon", "127.0.0.1:2010", "--rcon-password", "a-long-secret-2"},
       nullptr,
       nullptr,
       "only in a config file"},
      {{"--rcon", "localhost:2010"}, "from-the-environment", nullptr, "--rcon: not a dotted"},
      {{"--rcon-password-file", good_file}, nullptr, nullptr, "without --rcon"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& arg : c.args) line += arg + " ";
    if (c.env != nullptr) {
      setenv("ZOLT_RCON_PASSWORD", c.env, 1);
    } else {
      unsetenv("ZOLT_RCON_PASSWORD");
    }
    const Result r = parse(c.args);
    if (c.password != nullptr) {
      EXPECT_EQ(r.code, -1) << line << r.err;
      EXPECT_EQ(r.options.rcon_password, c.password) << line;
      EXPECT_EQ(r.options.rcon_address, "127.0.0.1") << line;
      EXPECT_EQ(r.options.rcon_port, 2010) << line;
    } else {
      EXPECT_EQ(r.code, EXIT_USAGE) << line;
      EXPECT_NE(r.err.find(c.problem), std::string::npos) << line << r.err;
    }
  }
  unsetenv("ZOLT_RCON_PASSWORD");
  std::filesystem::remove_all(dir);
}
