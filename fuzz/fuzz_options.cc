// The command line and the configuration file on any bytes. Whatever they
// hold, the parser gives run (-1), 0 (help, version) or a usage error (2),
// and options it lets through lie within the server's limits.
//
// Input: byte 0 - the number of words (low 3 bits) and whether the rest after
// them is a configuration file given with --config (bit 7); then the words,
// each ended by a NUL byte; then the file's content.
#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "match/match.h"
#include "server/options.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The help is not what is checked. The usage errors stay on standard
  // error, where libFuzzer reports too.
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const uint8_t head = input.take_byte();
  std::vector<std::string> words = {"zolt-server"};
  for (int w = 0; w < (head & 7) && !input.empty(); ++w) {
    std::string word;
    for (char c = static_cast<char>(input.take_byte()); c != '\0' && !input.empty();
         c = static_cast<char>(input.take_byte())) {
      word += c;
    }
    words.push_back(word);
  }
  const std::string config =
      (std::filesystem::temp_directory_path() / "zolt-fuzz-options.ini").string();
  if ((head & 0x80) != 0) {
    std::string content(input.remaining(), '\0');
    input.take_bytes(content.data(), content.size());
    std::ofstream(config, std::ios::binary) << content;
    words.push_back("--config");
    words.push_back(config);
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  Options options;
  const int code = parse_options(static_cast<int>(words.size()), argv.data(), options);
  FUZZ_REQUIRE(code == -1 || code == 0 || code == EXIT_USAGE, "exit code %d", code);
  if (code != -1) return 0;
  const int32_t humans = options.humans.value_or(0), bots = options.bots.value_or(0);
  FUZZ_REQUIRE(humans >= 0 && bots >= 0 && humans <= MAX_PLAYERS - bots,
               "%" PRId32 " humans and %" PRId32 " bots", humans, bots);
  FUZZ_REQUIRE(options.port != 0, "port 0");
  FUZZ_REQUIRE(options.client_timeout >= 0, "client timeout %" PRId32, options.client_timeout);
  FUZZ_REQUIRE(options.host_name.empty() || options.host_name[0] != '-', "host name '%s'",
               options.host_name.c_str());
  FUZZ_REQUIRE(!options.bot_file.empty(), "an empty bot route file");
  return 0;
}
