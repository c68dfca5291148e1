#include "tests/spawn.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

pid_t spawn_process(const std::vector<std::string>& args, const SpawnSettings& settings) {
  // Everything the child needs is made before the fork: a child of a
  // process with threads may not allocate.
  std::vector<std::string> words = args;
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;

  const int null = open("/dev/null", O_RDWR);
  const int wanted[3] = {settings.in, settings.out, settings.err};
  for (int fd = 0; fd < 3; ++fd) dup2(wanted[fd] >= 0 ? wanted[fd] : null, fd);
  // The program's descriptors are then its own: the harness counts them,
  // and a pipe end left open here would keep another child's input open.
  if (close_range(3, ~0u, 0) != 0) {
    for (int fd = 3; fd < 4096; ++fd) close(fd);
  }
  for (const auto& [resource, value] : settings.limits) {
    const rlimit limit{value, value};
    if (setrlimit(resource, &limit) != 0) _exit(126);
    if (resource == RLIMIT_FSIZE) std::signal(SIGXFSZ, SIG_IGN);
  }
  if (!settings.workdir.empty() && chdir(settings.workdir.c_str()) != 0) _exit(126);
  execvp(argv[0], argv.data());
  _exit(127);
}
