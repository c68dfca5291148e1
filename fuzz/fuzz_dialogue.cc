// The console dialogue on any typed input. The POSIX console reads file
// descriptor 0, so each input is written into a pipe that is put on fd 0,
// with the write end closed: the input then ends where the bytes end, as a
// closed console would. Answers that are taken must lie in the accepted
// ranges; the console text goes to /dev/null.
//
// Input: the operator's keystrokes, any bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "console/console.h"
#include "fuzz/fuzz_support.h"
#include "server/dialogue.h"

namespace {

// What one pipe holds without a reader; longer inputs are cut there.
constexpr size_t PIPE_ROOM = 60000;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int ends[2];
  if (pipe(ends) != 0) std::abort();
  size_t written = 0;
  const size_t length = size < PIPE_ROOM ? size : PIPE_ROOM;
  while (written < length) {
    const ssize_t n = write(ends[1], data + written, length - written);
    if (n <= 0) std::abort();
    written += static_cast<size_t>(n);
  }
  close(ends[1]);
  dup2(ends[0], STDIN_FILENO);
  close(ends[0]);

  Match match;
  const bool answered = run_dialogue(match, Options{});
  if (answered) {
    FUZZ_REQUIRE(match.human_count >= 0 && match.human_count <= MAX_PLAYERS, "human_count %" PRId32,
                 match.human_count);
    FUZZ_REQUIRE(match.bot_count >= 0 && match.bot_count <= MAX_PLAYERS - match.human_count,
                 "bot_count %" PRId32 " with %" PRId32 " humans", match.bot_count,
                 match.human_count);
  }
  // Read the console to its end, so that no byte of this input is left in
  // the console's buffer for the next one.
  while (console_read_byte() != EOF) {
  }
  return 0;
}
