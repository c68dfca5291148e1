// The server's exit codes, for the match, its options and the replay alike.
// --help lists them (server/options.cc), and so do the operating notes.
#pragma once

inline constexpr int EXIT_MATCH_OVER = 0;      // after the end banner, also when stopped
inline constexpr int EXIT_PROTOCOL_BREAK = 1;  // a client broke the protocol (no client left)
inline constexpr int EXIT_NO_OPERATOR = 2;     // the console input ended during the dialogue
inline constexpr int EXIT_USAGE = 2;           // a bad command line, config file or named file
inline constexpr int EXIT_CANNOT_LISTEN = 3;   // with options: a port could not be bound
