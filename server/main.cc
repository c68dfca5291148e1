// zolt-server [host-name]: hosts one ZOLT 1.5 match on TCP port 2000.
#include "server/match_driver.h"

int main(int argc, char** argv) { return run_server(argc > 1 ? argv[1] : nullptr); }
