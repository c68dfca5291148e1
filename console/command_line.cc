#include "console/command_line.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

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
struct Values {
  std::vector<std::string> texts;
  std::unique_ptr<bool[]> flags;
};

void declare(CLI::App& app, const CommandLine& line, Values& values) {
  values.texts.resize(line.rows.size());
  values.flags = std::make_unique<bool[]>(line.rows.size());
  app.set_help_flag("-h,--help");
  app.set_version_flag("--version", line.program + " " + ZOLT_VERSION);
  for (size_t i = 0; i < line.rows.size(); ++i) {
    const OptionRow& row = line.rows[i];
    CLI::Option* option = nullptr;
    if (row.flag != nullptr) {
      values.flags[i] = *row.flag;
      option = app.add_flag(row.name, values.flags[i]);
    } else {
      option = app.add_option(row.name, values.texts[i]);
    }
    option->configurable(row.configurable && !is_positional(row));
  }
  if (line.config_help.empty()) return;
  auto ini = std::make_shared<CLI::ConfigINI>();
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

// What the rows make of the values CLI11 found; empty when all hold.
std::string take(const CommandLine& line, const CLI::App& app, const Values& values,
                 CommandLineResult& result) {
  result.given.assign(line.rows.size(), false);
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
    result.given[i] = true;
    result.run_changed = result.run_changed || row.changes_run;
    if (row.flag != nullptr) {
      *row.flag = values.flags[i];
      continue;
    }
    const std::string& text = values.texts[i];
    // An argument starting with '-' is an option mistyped, never a value of
    // the positional argument; CLI11 lets "-1" through as one.
    if (is_positional(row) && text.rfind("-", 0) == 0) return "unknown option '" + text + "'";
    std::string problem = row.take(text);
    if (!problem.empty()) return problem;
  }
  return {};
}

// An argument CLI11 could not place: an unknown option, or one positional
// argument too many.
std::string unknown_option(const CLI::App& app, const std::string& what) {
  const std::vector<std::string> extras = app.remaining();
  if (extras.empty()) return what;
  const std::string& word = extras.front();
  return word.rfind("-", 0) == 0 ? "unknown option '" + word + "'"
                                 : "unexpected argument '" + word + "'";
}

CommandLineResult read(const CommandLine& line, int argc, char** argv) {
  CommandLineResult result;
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
    const std::vector<std::string>& files = app.get_config_ptr()->results();
    const std::string file = files.empty() ? std::string() : files.back();
    result.code = command_line_error(line, "--config " + file + ": " + error.what());
    return result;
  } catch (const CLI::ExtrasError& error) {
    result.code = command_line_error(line, unknown_option(app, error.what()));
    return result;
  } catch (const CLI::ArgumentMismatch& error) {
    // "--turns: 1 required P missing": an option given last without its value.
    const std::string what = error.what();
    const size_t colon = what.find(':');
    result.code = command_line_error(
        line, colon != std::string::npos && what.find(" missing") != std::string::npos
                  ? what.substr(0, colon) + " needs a value"
                  : what);
    return result;
  } catch (const CLI::ParseError& error) {
    result.code = command_line_error(line, error.what());
    return result;
  }
  const std::string problem = take(line, app, values, result);
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
