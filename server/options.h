// The server's command line: zolt-server [host-name] [options], and the INI
// file that --config names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "console/console.h"
#include "net/address.h"
#include "net/protocol.h"
#include "record/recording.h"
#include "server/exit_codes.h"

struct Options {
  std::string host_name;  // empty: none given (the server then uses this machine's own name)
  std::optional<int32_t> humans, bots, map;  // the three console answers, when given
  uint16_t port = SERVER_PORT;               // --port P (1..65535)
  std::string port_place;  // "FILE:LINE" when the config file gave the port; empty otherwise
  std::string rcon_password_place;  // "FILE:LINE" of the config file's rcon-password
  std::string bind_address;  // --bind ADDR, a dotted IPv4 address; empty: every local IPv4 address
  std::string bot_file = BOT_ROUTE_PATH;  // --bot-file PATH
  std::string maps_dir;                   // --maps-dir DIR; empty: the working directory
  std::string log_file;                   // --log FILE; empty: standard error
  bool quiet = false;                     // --quiet: warnings and errors only
  int32_t client_timeout = 0;             // --client-timeout SECONDS (>= 0); 0: wait for ever
  bool drop_broken_clients = false;       // --drop-broken-clients
  bool rejoin = false;  // --rejoin: a dropped player's slot is taken by a client that connects
  int32_t join_timeout = 10;       // --join-time SECONDS: a joiner's time to finish its handshake
  std::vector<Ipv4Network> allow;  // --allow: who may join; empty: everyone
  bool concurrent = false;         // --concurrent: every client's exchange at once
  bool trace = false;              // --trace: every message in the log
  bool check_clients = false;      // --check-clients: departures from the protocol logged
  std::string http_address;        // --http ADDR:PORT, the live view; empty: no view
  uint16_t http_port = 0;
  std::string record_file;                      // --record FILE: one line per turn; empty: none
  RecordSync record_sync = RecordSync::System;  // --record-sync system|second|turn
  bool resume = false;  // --resume: go on with the unfinished match --record names
  int32_t resume_wait =
      0;  // --resume-wait N: with --rejoin, the clients a resume waits for; 0: all
  std::string replay_file;  // --replay FILE: serve a recording instead of a match (needs --http)
  int32_t view_linger = 5;  // --view-linger SECONDS: the view stays up after the end (with --http)
  std::vector<std::string> names;  // --names: the players' names by index; empty: none
  struct AddressName {
    uint32_t address = 0;  // IPv4, host order
    std::string name;
  };
  std::vector<AddressName> address_names;  // --address-names: by the client's address
  std::string rcon_address;                // --rcon ADDR:PORT, the remote console; empty: none
  uint16_t rcon_port = 0;
  // Its password: from --rcon-password-file, else ZOLT_RCON_PASSWORD, else
  // the config file's rcon-password (never the command line, where other
  // users see it).
  std::string rcon_password;
  std::string rcon_password_file;
  const char* rcon_password_source = "";  // where it came from, for the log
  bool query = false;                     // --query: the server query on UDP
  uint16_t query_port = 0;                // --query-port P; 0: the game's port
  std::string server_name;  // --name TEXT: what the query calls the server; empty: the default
  bool console_commands = false;  // --console-commands: console lines are commands, piped too
  // No option but the host name, --trace and --check-clients (which change
  // nothing of the match) was given, nor a config file: start-up failures,
  // binding and a match without humans go as the historic server's.
  bool historic_start_up = true;
};

// Parses the command line (and the --config file it names), one table of
// options in options.cc. Returns -1 when the
// server should run with `options`, otherwise the exit code to end with at once:
// 0 after --help or --version (printed on standard output), EXIT_USAGE after a
// usage error (a message on standard error naming the problem, and a hint to --help).
// Options that are not given keep the values `options` had.
int parse_options(int argc, char** argv, Options& options) noexcept;
