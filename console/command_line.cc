#include "console/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <sstream>

#include "console/files.h"
#include "console/log.h"
#include "net/decimal.h"

namespace {

// Appends `text` to `out`, broken into lines that end before column 80, each
// after the first starting at column `indent`.
void append_wrapped(std::string& out, const std::string& text, size_t indent) {
  constexpr size_t width = 79;
  size_t column = indent;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const size_t length = end - at;
    if (column > indent && column + 1 + length > width) {
      out += '\n';
      out.append(indent, ' ');
      column = indent;
    } else if (column > indent) {
      out += ' ';
      ++column;
    }
    out.append(text, at, length);
    column += length;
    at = end + 1;
  }
  out += '\n';
}

// One option of the help: its names and value, and its text beside them.
void append_option(std::string& help, const std::string& names, const std::string& text) {
  constexpr size_t column = 28;
  const std::string shown = "  " + names;
  help += shown;
  if (shown.size() + 2 > column) {
    help += '\n';
    help.append(column, ' ');
  } else {
    help.append(column - shown.size(), ' ');
  }
  append_wrapped(help, text, column);
}

bool is_positional(const OptionRow& row) {
  return row.name.rfind("-", 0) != 0;
}

std::string without_dashes(const std::string& name) {
  return name.substr(std::min(name.find_first_not_of('-'), name.size()));
}

// How many letters to insert, delete, replace or swap with their neighbour
// to turn a into b, case aside: the optimal string alignment distance, the
// Levenshtein distance with adjacent transpositions, over three rows.
size_t spelling_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> before(b.size() + 1), last(b.size() + 1), row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) last[j] = j;
  const auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
  for (size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + cost});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
          lower(a[i - 2]) == lower(b[j - 1])) {
        row[j] = std::min(row[j], before[j - 2] + 1);
      }
    }
    before.swap(last);
    last.swap(row);
  }
  return last[b.size()];
}

// The option name that `word` was most likely meant to be, as the place it
// was found spells names ("--humans" on the command line, "humans" in a
// config file); empty when none is near enough. Near enough: a letter or
// two away (three in a long name), or a part of one name only ("timeout").
std::string nearest_option(const CommandLine& line, const std::string& word, bool in_config) {
  std::vector<std::string> names;
  for (const OptionRow& row : line.rows) {
    if (is_positional(row) || (in_config && !row.configurable)) continue;
    names.push_back(row.name);
  }
  if (!in_config) {
    names.insert(names.end(), {"--help", "--version"});
    if (!line.config_help.empty()) names.push_back("--config");
  }
  const std::string typed = without_dashes(word);
  if (typed.empty()) return {};
  const size_t most = typed.size() <= 4 ? 1 : typed.size() <= 8 ? 2 : 3;
  std::string nearest;
  size_t nearest_distance = most + 1;
  std::string holder;  // the one name holding `typed`
  size_t holders = 0;
  for (const std::string& name : names) {
    const std::string plain = without_dashes(name);
    const size_t distance = spelling_distance(typed, plain);
    if (distance < nearest_distance) nearest = name, nearest_distance = distance;
    if (typed.size() >= 4 && plain.find(typed) != std::string::npos) holder = name, ++holders;
  }
  if (nearest.empty() && holders == 1) nearest = holder;
  return in_config ? without_dashes(nearest) : nearest;
}

// "unknown option 'X'", and the name meant when one is near.
std::string unknown_name(const CommandLine& line, const std::string& word, bool in_config) {
  const std::string meant = nearest_option(line, word, in_config);
  return "unknown option '" + word + "'" +
         (meant.empty() ? std::string() : "; did you mean '" + meant + "'?");
}

// CLI11's INI reader, with what the messages need besides: the line on which
// each name is first given. A byte-order mark at the start, which Windows
// editors write, is no part of the first name.
class IniWithLines : public CLI::ConfigINI {
 public:
  std::vector<CLI::ConfigItem> from_config(std::istream& input) const override {
    std::string text{std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    note_lines(text);
    std::istringstream rest(text);
    return CLI::ConfigINI::from_config(rest);
  }

  // The line (from 1) where the file gives `name` (as CLI11's full name,
  // "section.name" in a section), 0 when it does not.
  size_t line_of(const std::string& name) const {
    for (const auto& [given, line] : lines_) {
      if (given == name) return line;
    }
    return 0;
  }

 private:
  // The names as CLI11 reads them: trimmed, up to '=' (or the whole line, a
  // flag), quotes and comments aside.
  void note_lines(const std::string& text) const {
    lines_.clear();
    std::istringstream input(text);
    std::string section;
    size_t number = 0;
    for (std::string line; std::getline(input, line);) {
      ++number;
      CLI::detail::trim(line);
      if (line.size() < 3 || line.front() == ';' || line.front() == '#') continue;
      if (line.front() == '[' && line.back() == ']') {
        section = line.substr(1, line.size() - 2);
        if (CLI::detail::to_lower(section) == "default") section.clear();
        if (!section.empty()) lines_.emplace_back(section + ".++", number);  // as CLI11 names it
        continue;
      }
      std::string name = line.substr(0, line.find('='));
      if (name.size() == line.size()) name = name.substr(0, name.find(';'));
      CLI::detail::trim(name);
      CLI::detail::remove_quotes(name);
      lines_.emplace_back(section.empty() ? name : section + "." + name, number);
    }
  }

  mutable std::vector<std::pair<std::string, size_t>> lines_;
};

std::string help_text(const CommandLine& line) {
  std::string help = "Usage: " + line.program + " " + line.usage + "\n\n" + line.about;
  bool any_positional = false;
  for (const OptionRow& row : line.rows) any_positional = any_positional || is_positional(row);
  if (any_positional) {
    help += "\nArguments:\n";
    for (const OptionRow& row : line.rows) {
      if (is_positional(row)) append_option(help, row.name, row.help);
    }
  }
  help += "\nOptions:\n";
  append_option(help, "-h, --help", "show this help and end");
  append_option(help, "--version", "show the version and end");
  for (const OptionRow& row : line.rows) {
    if (is_positional(row)) continue;
    append_option(help, row.value_name.empty() ? row.name : row.name + " " + row.value_name,
                  row.help);
  }
  if (!line.config_help.empty()) append_option(help, "--config FILE", line.config_help);
  return help + line.epilogue;
}

// The values as CLI11 leaves them, one per row, before the rows take them.
// A flag's is its text too ("true" when given alone), so that the command
// line and the config file read it by the same words.
struct Values {
  std::vector<std::string> texts;
  std::shared_ptr<IniWithLines> ini;  // with a --config option
};

// A flag's value, in any case. CLI11 alone would take "y", "enable", "+" or
// "12abc" as well, and refuse others without naming the file and line.
bool read_switch(const std::string& text, bool* on) {
  static const char* const on_words[] = {"true", "yes", "on", "1"};
  static const char* const off_words[] = {"false", "no", "off", "0"};
  const std::string word = CLI::detail::to_lower(text);
  const auto is = [&word](const char* candidate) { return word == candidate; };
  if (std::any_of(std::begin(on_words), std::end(on_words), is)) {
    *on = true;
  } else if (std::any_of(std::begin(off_words), std::end(off_words), is)) {
    *on = false;
  } else {
    return false;
  }
  return true;
}

void declare(CLI::App& app, const CommandLine& line, Values& values) {
  values.texts.resize(line.rows.size());
  app.set_help_flag("-h,--help");
  app.set_version_flag("--version", line.program + " " + ZOLT_VERSION);
  for (size_t i = 0; i < line.rows.size(); ++i) {
    const OptionRow& row = line.rows[i];
    CLI::Option* option = nullptr;
    if (row.flag != nullptr) {
      option = app.add_flag(row.name, values.texts[i]);
    } else {
      option = app.add_option(row.name, values.texts[i]);
    }
    option->configurable(row.configurable && !is_positional(row));
  }
  if (line.config_help.empty()) return;
  auto ini = std::make_shared<IniWithLines>();
  values.ini = ini;
  // Every option takes one value, so a value is taken whole, spaces and
  // commas included (C:\Program Files\zolt), instead of being split into a
  // list: the list marks are set to a control character no value holds.
  ini->arrayBounds('\x01', '\x01');
  ini->arrayDelimiter('\x01');
  app.config_formatter(ini);
  // A mistyped name in the file is an error, as on the command line, rather
  // than a setting silently lost.
  app.allow_config_extras(CLI::config_extras_mode::error);
  // Checked as soon as it is met, before CLI11 opens it: a FIFO would hold
  // the program in that open, and /dev/zero would be read without end.
  app.set_config("--config")
      ->check(
          [](const std::string& path) {
            const std::string problem = file_problem(path, CONFIG_FILE_LIMIT);
            return problem.empty() ? problem : "cannot read '" + path + "': " + problem;
          },
          "FILE")
      ->trigger_on_parse();
}

// Whether argv gives the option `name` itself, rather than the config file.
bool on_command_line(const std::string& name, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") break;
    if (word == name || word.rfind(name + "=", 0) == 0) return true;
  }
  return false;
}

// "FILE:LINE: " before a problem of the config file's, where the file gives
// `name` (in either spelling); empty when it does not.
std::string config_place(const CLI::App& app, const Values& values, const std::string& name) {
  if (!values.ini || app.get_config_ptr() == nullptr) return {};
  const std::vector<std::string>& files = app.get_config_ptr()->results();
  if (files.empty()) return {};
  size_t line = values.ini->line_of(name);
  if (line == 0) line = values.ini->line_of(without_dashes(name));
  return line == 0 ? std::string() : files.back() + ":" + std::to_string(line) + ": ";
}

// What the rows make of the values CLI11 found; empty when all hold. A
// problem with a value from the config file names the file and the line.
std::string take(const CommandLine& line, const CLI::App& app, const Values& values, int argc,
                 char** argv, CommandLineResult& result) {
  result.given.assign(line.rows.size(), false);
  result.places.assign(line.rows.size(), std::string());
  if (!line.config_help.empty() && app.count("--config") > 0) {
    // CLI11 passes over an empty file name without a word.
    if (app.get_config_ptr()->results().front().empty()) return "--config: the file name is empty";
    result.run_changed = true;
  }
  for (size_t i = 0; i < line.rows.size(); ++i) {
    const OptionRow& row = line.rows[i];
    // A value counts as given when the option is, even empty: "--humans ''"
    // is an error, not a question at the console.
    if (app.count(row.name) == 0) continue;
    if (row.config_only && on_command_line(row.name, argc, argv)) {
      return row.name +
             ": only in a config file, never on the command line, where other users "
             "of the machine see it";
    }
    result.given[i] = true;
    result.run_changed = result.run_changed || row.changes_run;
    if (!on_command_line(row.name, argc, argv)) {
      const std::string place = config_place(app, values, row.name);
      if (!place.empty()) result.places[i] = place.substr(0, place.size() - 2);  // no ": "
    }
    const std::string& text = values.texts[i];
    // An argument starting with '-' is an option mistyped, never a value of
    // the positional argument; CLI11 lets "-1" through as one.
    if (is_positional(row) && text.rfind("-", 0) == 0) return unknown_name(line, text, false);
    std::string problem;
    if (row.flag == nullptr) {
      problem = row.take(text);
    } else if (!read_switch(text, row.flag)) {
      problem = row.name + ": not " + SWITCH_WORDS + ": " + text;
    }
    if (!problem.empty()) {
      if (on_command_line(row.name, argc, argv)) return problem;
      return config_place(app, values, row.name) + problem;
    }
  }
  return {};
}

// An argument CLI11 could not place: an unknown option, or one positional
// argument too many.
std::string unknown_option(const CommandLine& line, const CLI::App& app, const std::string& what) {
  const std::vector<std::string> extras = app.remaining();
  if (extras.empty()) return what;
  const std::string& word = extras.front();
  if (word.rfind("-", 0) == 0) return unknown_name(line, word.substr(0, word.find('=')), false);
  // An option written without its dashes ("humans 2").
  const std::string meant = nearest_option(line, word, false);
  return "unexpected argument '" + word + "'" +
         (meant.empty() ? std::string() : "; did you mean '" + meant + "'?");
}

// An option name mistyped with one dash ("-humans"), which CLI11 would read
// as short options and, for its "-h", as a call for help; empty when none.
// Every long option has two dashes, and no short option but -h exists.
std::string single_dash_word(const CommandLine& line, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") break;
    if (word.size() > 2 && word[0] == '-' && std::isalpha(static_cast<unsigned char>(word[1]))) {
      return unknown_name(line, word.substr(0, word.find('=')), false);
    }
  }
  return {};
}

// A problem of the config file's as CLI11 words it, with the place the file
// gives the name it is about.
std::string config_problem(const CommandLine& line, const CLI::App& app, const Values& values,
                           const std::string& what) {
  const std::vector<std::string>& files = app.get_config_ptr()->results();
  const std::string file = files.empty() ? std::string() : files.back();
  static const std::string extras = "INI was not able to parse ";
  static const std::string not_allowed = ": This option is not allowed in a configuration file";
  static const std::string section_open = ".++";  // how CLI11 names a section's start
  std::string name;
  std::string problem = what;
  if (what.rfind(extras, 0) == 0) {
    name = what.substr(extras.size());
    const size_t section = name.size() - std::min(name.size(), section_open.size());
    problem = name.compare(section, std::string::npos, section_open) == 0
                  ? "a section, [" + name.substr(0, section) +
                        "]: the file has none, only \"name = value\" lines"
                  : unknown_name(line, name, true);
  } else if (what.size() > not_allowed.size() &&
             what.compare(what.size() - not_allowed.size(), not_allowed.size(), not_allowed) == 0) {
    name = what.substr(0, what.size() - not_allowed.size());
    problem = name + ": only on the command line, not in a config file";
  }
  const std::string place = name.empty() ? std::string() : config_place(app, values, name);
  return place.empty() ? "--config " + file + ": " + problem : place + problem;
}

CommandLineResult read(const CommandLine& line, int argc, char** argv) {
  CommandLineResult result;
  const std::string mistyped = single_dash_word(line, argc, argv);
  if (!mistyped.empty()) {
    result.code = command_line_error(line, mistyped);
    return result;
  }
  Values values;
  CLI::App app("", line.program);
  declare(app, line, values);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(help_text(line).c_str(), stdout);
    result.code = 0;
    return result;
  } catch (const CLI::CallForVersion&) {
    std::printf("%s %s\n", line.program.c_str(), ZOLT_VERSION);
    result.code = 0;
    return result;
  } catch (const CLI::FileError& error) {
    // CLI11 reads no file but the configuration file.
    result.code = command_line_error(line, "--config: " + std::string(error.what()));
    return result;
  } catch (const CLI::ConfigError& error) {
    result.code = command_line_error(line, config_problem(line, app, values, error.what()));
    return result;
  } catch (const CLI::ExtrasError& error) {
    result.code = command_line_error(line, unknown_option(line, app, error.what()));
    return result;
  } catch (const CLI::ArgumentMismatch& error) {
    // "--turns: 1 required P missing": an option given last without its value.
    // "--humans: At Most 1 required but received 2": given twice, in the
    // config file too ("humans = 1" and "humans = 2" in a row).
    const std::string what = error.what();
    const size_t colon = what.find(':');
    const std::string name = colon == std::string::npos ? std::string() : what.substr(0, colon);
    std::string problem = what;
    if (!name.empty() && what.find(" missing") != std::string::npos) {
      problem = name + " needs a value";
    } else if (!name.empty() && what.find("At Most 1 required") != std::string::npos) {
      problem = name + ": given more than once";
      if (!on_command_line(name, argc, argv)) problem = config_place(app, values, name) + problem;
    }
    result.code = command_line_error(line, problem);
    return result;
  } catch (const CLI::ParseError& error) {
    result.code = command_line_error(line, error.what());
    return result;
  }
  const std::string problem = take(line, app, values, argc, argv, result);
  if (!problem.empty()) result.code = command_line_error(line, problem);
  return result;
}

}  // namespace

int command_line_error(const CommandLine& line, const std::string& problem) {
  // The problem may quote what was given, from a config file too: control
  // bytes are shown, not sent to the operator's terminal.
  std::string shown(4 * problem.size() + 3, '\0');
  shown.resize(escape_bytes(problem.data(), problem.size(), false, shown.data()));
  std::fprintf(stderr, "%s: %s%s\n", line.program.c_str(), shown.c_str(), line.error_hint.c_str());
  return line.usage_exit_code;
}

CommandLineResult read_command_line(const CommandLine& line, int argc, char** argv) noexcept {
  CommandLineResult failed;
  try {
    return read(line, argc, argv);
  } catch (const std::exception& error) {
    failed.code = command_line_error(line, error.what());
  } catch (...) {
    failed.code = command_line_error(line, "the command line could not be read");
  }
  return failed;
}

bool whole_int32(const std::string& text, int32_t* value) {
  if (text.empty() || is_space(static_cast<unsigned char>(text[0]))) return false;
  // A NUL inside would end the reader early and let the rest pass unseen.
  if (std::strlen(text.c_str()) != text.size()) return false;
  const DecimalRead read = read_decimal_text(text.c_str());
  if (!read.has_digits || read.next >= 0 || read.out_of_range) return false;
  *value = read.value;
  return true;
}
