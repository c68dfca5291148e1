// Starting a program as a child process, for the end-to-end harness, the
// soak and the exchange benchmark (POSIX only).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct SpawnSettings {
  std::string workdir;              // empty: this process's
  int in = -1, out = -1, err = -1;  // the child's standard descriptors; -1: /dev/null
  // setrlimit(resource, value as both limits) in the child. Under a file size
  // limit a write past it fails (EFBIG) instead of ending the child: the
  // child ignores SIGXFSZ.
  std::vector<std::pair<int, rlim_t>> limits;
};

// Starts args[0] (a path, or a name looked up in PATH) with args. The child
// holds its three standard descriptors and no other of this process. Returns
// its pid, or -1 when it could not be forked; a child that cannot change to
// workdir ends with code 126, one that cannot be executed with 127.
pid_t spawn_process(const std::vector<std::string>& args, const SpawnSettings& settings);
