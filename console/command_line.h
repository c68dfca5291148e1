// A program's command line, read with CLI11 from one table: each row names an
// option once, with the help it shows and what takes its value. The parser
// and the --help text are both made from the table, so neither can drift
// from the other.
//
// Every value is taken as text and handed to its row, which checks it and
// stores it: CLI11's own number reading would take "010" as 8 and "0x10" as
// 16, where the console takes 10 and refuses the other. With a --config
// option, the same rows take the values of an INI file ("name = value" with
// the long names), and the command line wins over the file.
//
// CLI11 reports through exceptions: command_line.cc alone is compiled with
// them (see CMakeLists.txt), and none leaves it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A config file longer than this is refused: a few dozen lines is all it
// ever needs.
inline constexpr uintmax_t CONFIG_FILE_LIMIT = 1024 * 1024;

// What a flag's value may be, in any case, as a config file gives it
// ("quiet = yes") or the command line ("--quiet=off"); a flag given alone,
// or with nothing after '=', is on. Named in the message that refuses another.
inline constexpr const char* SWITCH_WORDS = "true, yes, on, 1 or false, no, off, 0";

struct OptionRow {
  std::string name;        // "--port"; without dashes: the positional argument
  std::string value_name;  // "P" in the help; empty for a flag and the positional argument
  std::string help;
  // Values: checks the text as given (empty included) and stores it. Returns
  // what is wrong, or an empty text when the value holds.
  std::function<std::string(const std::string& text)> take;
  bool* flag = nullptr;      // flags: set when given ("= false" in a config file clears it)
  bool configurable = true;  // may be given in the config file
  bool changes_run = true;   // false: it only adds to what is shown (a trace, checks)
  bool config_only = false;  // refused on the command line, where other users see it
};

struct CommandLine {
  std::string program;     // "zolt-server": the version line, the messages, the help
  std::string usage;       // what follows "Usage: " and the program's name
  std::string about;       // the help's paragraph before the options
  std::string epilogue;    // the help's text after the options
  std::string error_hint;  // ends every usage error message, after the problem
  int usage_exit_code = 2;
  std::string config_help;      // the --config FILE option's help; empty: no such option
  std::vector<OptionRow> rows;  // taken in this order: a row may read what an earlier one stored
};

// What read_command_line found.
struct CommandLineResult {
  int code = -1;             // -1: go on; 0 after --help or --version; else a usage error
  bool run_changed = false;  // a row with changes_run, or a config file, was given
  std::vector<bool> given;   // per row
  // Per row, "FILE:LINE" when the config file gave its value; empty otherwise.
  std::vector<std::string> places;
};

// Reads argv by the table, taking each given row's value in row order. Prints
// --help and --version on standard output; a usage error is one message on
// standard error that names the problem.
CommandLineResult read_command_line(const CommandLine& line, int argc, char** argv) noexcept;

// Prints a usage error of line's program (as read_command_line does) and
// returns its exit code: for the checks that span several options.
int command_line_error(const CommandLine& line, const std::string& problem);

// A whole decimal number in the 32-bit range: an optional sign and digits,
// nothing before or after.
bool whole_int32(const std::string& text, int32_t* value);
