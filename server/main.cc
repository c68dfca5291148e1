// zolt-server [host-name] [options]: hosts one ZOLT match; --help says how.
#include "server/match_driver.h"
#include "server/options.h"

int main(int argc, char** argv) {
  Options options;
  const int code = parse_options(argc, argv, options);
  if (code >= 0) return code;
  return run_server(options);
}
