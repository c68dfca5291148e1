// Every log line the documents quote is one the server can write. A quoted
// line (one that starts, indented or not, with a UTC time and a level)
// must match the format of a log_line call in the sources, level included,
// so that an event reworded in the code cannot live on in the documents.
//
// The sources are read as text: their string literals, the formats given to
// log_line and to snprintf (which builds parts of some lines). In a format,
// %d and the like match a number; a %s between quotes or parentheses matches
// anything up to the closing one; a %s after ": " matches any text (a
// system's reason, a path); any other %s matches what the code can put
// there: string literals, snprintf formats, and values (a run of characters
// holding a digit, as addresses and counts are).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#ifndef ZOLT_SOURCE_DIR
#error "ZOLT_SOURCE_DIR must name the source tree"
#endif

namespace {

enum class Level { Any, Info, Warning, Error };

struct Format {
  Level level;
  std::string text;
};

struct Sources {
  std::vector<Format> log_formats;
  std::vector<std::string> built;      // snprintf formats: parts of lines
  std::vector<std::string> fragments;  // literals without a conversion
};

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Token {
  enum Kind { Literal, Word, Punct } kind;
  std::string text;  // a literal's value, unescaped as far as formats need
};

// The tokens of C++ text, comments dropped: string literals, identifiers
// and numbers as words, and single punctuation characters.
std::vector<Token> tokenize(const std::string& code) {
  std::vector<Token> tokens;
  size_t i = 0;
  const size_t n = code.size();
  while (i < n) {
    const char c = code[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (code.compare(i, 2, "//") == 0) {
      i = code.find('\n', i);
      if (i == std::string::npos) i = n;
    } else if (code.compare(i, 2, "/*") == 0) {
      i = code.find("*/", i + 2);
      i = i == std::string::npos ? n : i + 2;
    } else if (code.compare(i, 2, "R\"") == 0) {
      const size_t open = code.find('(', i);
      const std::string close = ")" + code.substr(i + 2, open - i - 2) + "\"";
      const size_t end = code.find(close, open);
      // A raw string is a page or a script, never a part of a log line.
      i = end == std::string::npos ? n : end + close.size();
    } else if (c == '"' || c == '\'') {
      std::string value;
      ++i;
      while (i < n && code[i] != c) {
        if (code[i] == '\\' && i + 1 < n) {
          const char e = code[i + 1];
          value += e == 'n' ? '\n' : e == 't' ? '\t' : e;
          i += 2;
        } else {
          value += code[i++];
        }
      }
      ++i;
      if (c == '"') tokens.push_back({Token::Literal, value});
    } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
      const size_t start = i;
      while (i < n && (std::isalnum(static_cast<unsigned char>(code[i])) || code[i] == '_')) ++i;
      tokens.push_back({Token::Word, code.substr(start, i - start)});
    } else {
      tokens.push_back({Token::Punct, std::string(1, c)});
      ++i;
    }
  }
  return tokens;
}

// The format that starts at tokens[at]: adjacent literals, with the
// <cinttypes> macros between them ("%" PRIu64 " turns") read as a number's
// conversion. Empty when no literal starts there.
std::string format_at(const std::vector<Token>& tokens, size_t at) {
  std::string format;
  for (; at < tokens.size(); ++at) {
    const Token& token = tokens[at];
    if (token.kind == Token::Literal) {
      format += token.text;
    } else if (token.kind == Token::Word && token.text.rfind("PRI", 0) == 0) {
      format += "d";
    } else {
      break;
    }
  }
  return format;
}

// The index of the token after the argument that starts at `at` (a ',' or ')').
size_t skip_argument(const std::vector<Token>& tokens, size_t at) {
  int depth = 0;
  for (; at < tokens.size(); ++at) {
    const std::string& t = tokens[at].text;
    if (tokens[at].kind != Token::Punct) continue;
    if (t == "(" || t == "[" || t == "{") ++depth;
    if (t == ")" || t == "]" || t == "}") {
      if (depth == 0) return at;
      --depth;
    }
    if (t == "," && depth == 0) return at;
  }
  return at;
}

Level level_of(const std::vector<Token>& tokens, size_t from, size_t to) {
  // "LogLevel :: Info": four tokens; anything else is chosen at run time.
  if (to - from != 4 || tokens[from].text != "LogLevel") return Level::Any;
  const std::string& name = tokens[from + 3].text;
  return name == "Info" ? Level::Info : name == "Warning" ? Level::Warning : Level::Error;
}

void read_source(const std::filesystem::path& path, Sources& sources) {
  const std::vector<Token> tokens = tokenize(read_text(path));
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& token = tokens[i];
    if (token.kind == Token::Literal && token.text.find('%') == std::string::npos) {
      sources.fragments.push_back(token.text);
    }
    if (token.kind != Token::Word || i + 1 >= tokens.size() || tokens[i + 1].text != "(") continue;
    if (token.text == "log_line") {
      const size_t comma = skip_argument(tokens, i + 2);
      const std::string format = format_at(tokens, comma + 1);
      if (!format.empty()) {
        sources.log_formats.push_back({level_of(tokens, i + 2, comma), format});
      }
    } else if (token.text == "paced_info" || token.text == "paced_warning") {
      // A line of a kind that comes in floods: its format is the third argument.
      const size_t first = skip_argument(tokens, i + 2);
      const size_t second = skip_argument(tokens, first + 1);
      const std::string format = format_at(tokens, second + 1);
      if (!format.empty() && tokens[i + 2].text != "LogPace") {
        sources.log_formats.push_back(
            {token.text == "paced_info" ? Level::Info : Level::Warning, format});
      }
    } else if (token.text == "snprintf") {
      const size_t first = skip_argument(tokens, i + 2);
      const size_t second = skip_argument(tokens, first + 1);
      const std::string format = format_at(tokens, second + 1);
      if (!format.empty()) sources.built.push_back(format);
    }
  }
}

Sources read_sources() {
  Sources sources;
  const std::filesystem::path root = ZOLT_SOURCE_DIR;
  for (const char* layer :
       {"console", "net", "match", "data", "bots", "record", "view", "server"}) {
    for (const auto& entry : std::filesystem::directory_iterator(root / layer)) {
      const std::string name = entry.path().filename().string();
      const bool is_code = name.ends_with(".cc") || name.ends_with(".h");
      if (is_code && !name.ends_with("_test.cc")) read_source(entry.path(), sources);
    }
  }
  return sources;
}

// A format cut at its conversions: fixed text, a number, a %s that runs up
// to a closing character, one that may be any text, and one made of the
// parts the code writes.
struct Piece {
  enum Kind { Text, Number, UpTo, Any, Parts } kind;
  std::string text;  // Text: the text; UpTo: the closing character
};

std::vector<Piece> pieces_of(const std::string& f) {
  std::vector<Piece> pieces;
  std::string text;
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != '%') {
      text += f[i];
      continue;
    }
    if (i + 1 < f.size() && f[i + 1] == '%') {
      text += f[++i];
      continue;
    }
    // Flags, width and precision, then the conversion's letter.
    size_t end = i + 1;
    while (end < f.size() && std::strchr("-+ #0123456789.lhzjt", f[end]) != nullptr) ++end;
    const char before = text.empty() ? '\0' : text.back();
    const bool after_colon = text.size() >= 2 && text.compare(text.size() - 2, 2, ": ") == 0;
    if (!text.empty()) pieces.push_back({Piece::Text, text});
    text.clear();
    const char after = end + 1 < f.size() ? f[end + 1] : '\0';
    if (end < f.size() && f[end] != 's') {
      pieces.push_back({Piece::Number, ""});
    } else if ((before == '\'' && after == '\'') || (before == '"' && after == '"') ||
               (before == '(' && after == ')')) {
      pieces.push_back({Piece::UpTo, std::string(1, after)});
    } else {
      pieces.push_back({after_colon ? Piece::Any : Piece::Parts, ""});
    }
    i = end;
  }
  if (!text.empty()) pieces.push_back({Piece::Text, text});
  return pieces;
}

// Whether a line's text can be what a format writes (see the top of the
// file). One matcher serves one line.
class Matcher {
 public:
  Matcher(const Sources& sources, std::string text) : sources_(sources), t_(std::move(text)) {
    for (const std::string& part : sources.fragments) {
      if (!part.empty()) by_first_[static_cast<unsigned char>(part[0])].push_back(&part);
    }
  }

  bool matches(const std::string& format) const {
    return ends(pieces(format), 0, 0).count(t_.size()) > 0;
  }

 private:
  const std::vector<Piece>& pieces(const std::string& format) const {
    auto known = pieces_.find(format);
    if (known == pieces_.end()) known = pieces_.emplace(format, pieces_of(format)).first;
    return known->second;
  }

  // Where in the text the pieces, written from `from` on, may end.
  std::set<size_t> ends(const std::vector<Piece>& pieces, size_t from, int depth) const {
    std::set<size_t> at = {from};
    for (const Piece& piece : pieces) {
      std::set<size_t> next;
      for (const size_t p : at) {
        for (const size_t e : piece_ends(piece, p, depth)) next.insert(e);
      }
      at.swap(next);
      if (at.empty()) break;
    }
    return at;
  }

  std::vector<size_t> piece_ends(const Piece& piece, size_t p, int depth) const {
    std::vector<size_t> out;
    switch (piece.kind) {
      case Piece::Text:
        if (t_.compare(p, piece.text.size(), piece.text) == 0) out.push_back(p + piece.text.size());
        break;
      case Piece::Number:
        for (size_t e = p; e < t_.size() && std::strchr("+-.e0123456789", t_[e]) != nullptr; ++e) {
          out.push_back(e + 1);
        }
        break;
      case Piece::UpTo:
        if (const size_t close = t_.find(piece.text[0], p); close != std::string::npos) {
          out.push_back(close);
        }
        break;
      case Piece::Any:
        for (size_t e = p; e <= t_.size(); ++e) out.push_back(e);
        break;
      case Piece::Parts:
        out = parts_ends(p, depth);
        break;
    }
    return out;
  }

  // Where a run of parts the code writes (literals, values, and at the top
  // level snprintf formats), starting at `from`, may end: `from` included.
  const std::vector<size_t>& parts_ends(size_t from, int depth) const {
    // Every format tries the same places again.
    const auto key = std::make_pair(from, depth);
    if (const auto known = parts_.find(key); known != parts_.end()) return known->second;
    std::vector<bool> reached(t_.size() + 1, false);
    reached[from] = true;
    for (size_t at = from; at < t_.size(); ++at) {
      if (!reached[at]) continue;
      for (const std::string* part : by_first_[static_cast<unsigned char>(t_[at])]) {
        if (t_.compare(at, part->size(), *part) == 0) reached[at + part->size()] = true;
      }
      // A value: a run of characters without a space, holding a digit.
      bool digit = false;
      for (size_t e = at; e < t_.size() && t_[e] != ' '; ++e) {
        digit = digit || std::isdigit(static_cast<unsigned char>(t_[e]));
        if (digit) reached[e + 1] = true;
      }
      // snprintf formats one level deep: the parts in theirs are literals
      // and values.
      if (depth > 0) continue;
      for (const std::string& built : sources_.built) {
        for (const size_t e : ends(pieces(built), at, depth + 1)) reached[e] = true;
      }
    }
    std::vector<size_t>& found = parts_[key];
    for (size_t e = from; e <= t_.size(); ++e) {
      if (reached[e]) found.push_back(e);
    }
    return found;
  }

  const Sources& sources_;
  const std::string t_;
  std::vector<const std::string*> by_first_[256];
  mutable std::map<std::string, std::vector<Piece>> pieces_;
  mutable std::map<std::pair<size_t, int>, std::vector<size_t>> parts_;
};

Level level_named(const std::string& name) {
  return name == "INFO" ? Level::Info : name == "WARN" ? Level::Warning : Level::Error;
}

bool written_by_the_code(const Sources& sources, Level level, const std::string& event) {
  const Matcher matcher(sources, event);
  return std::any_of(sources.log_formats.begin(), sources.log_formats.end(),
                     [&](const Format& format) {
                       return (format.level == Level::Any || format.level == level) &&
                              matcher.matches(format.text);
                     });
}

const std::regex& quoted_line() {
  static const std::regex line(
      "^ *[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z (INFO|WARN|ERROR) (.*)$");
  return line;
}

class LogInDocs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sources_ = new Sources(read_sources()); }
  static void TearDownTestSuite() { delete sources_; }
  static Sources* sources_;
};

Sources* LogInDocs::sources_ = nullptr;

// The check itself, on lines the server writes and on lines it does not
// (the second, a wording it once had): a check that let every line pass
// would fail here.
TEST_F(LogInDocs, TellsLinesTheServerWritesFromOthers) {
  const struct {
    const char* line;
    bool written;
  } cases[] = {
      {"WARN player 1 (192.168.1.23:50412) left in turn 812 at step 'x': its connection closed in "
       "the middle of the conversation",
       true},
      {"WARN player 1 (192.168.1.23:50412) closed the connection in turn 812 at step 'x'", false},
      {"INFO player 0 joined from 127.0.0.1:42986", true},
      {"INFO player 0 joined at 127.0.0.1:42986", false},
      {"ERROR match over after 50 turns in 0.1 s: no human client is left", false},
      {"INFO match started: 2 humans, 1 bot, map 0", true},
      {"INFO match started: 2 humans, 1 bot, map zero", false},
      {"INFO match over after 50 turns in 0.1 s: no human client is left", true},
      {"WARN player 0 (127.0.0.1:1) stayed silent for 1 s (the client timeout) in turn 1 at step "
       "'relay_a'",
       true},
      {"WARN player 0 (127.0.0.1:1) went quiet in turn 1 at step 'relay_a'", false},
      {"WARN player 0 (127.0.0.1:59152) departures from the protocol: 1 replies other than 147, "
       "3 messages not exactly one integer",
       true},
      {"WARN cannot read the start position file of map 7 '/home/op/dept7.txt': No such file",
       true},
      {"WARN cannot read the start position file of map seven '/home/op/dept7.txt': No such file",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::smatch found;
    const std::string line = "2026-12-08T00:00:00Z " + std::string(c.line);
    ASSERT_TRUE(std::regex_match(line, found, quoted_line()));
    EXPECT_EQ(written_by_the_code(*sources_, level_named(found[1]), found[2]), c.written);
  }
}

TEST_F(LogInDocs, EveryQuotedLineIsOneTheServerWrites) {
  ASSERT_GT(sources_->log_formats.size(), 20u) << "the sources' log_line calls were not found";
  const std::filesystem::path root = ZOLT_SOURCE_DIR;
  std::vector<std::filesystem::path> documents = {root / "README.md"};
  for (const auto& entry : std::filesystem::directory_iterator(root / "docs")) {
    if (entry.path().extension() == ".md") documents.push_back(entry.path());
  }
  size_t quoted = 0;
  for (const auto& document : documents) {
    std::istringstream text(read_text(document));
    size_t number = 0;
    for (std::string line; std::getline(text, line);) {
      ++number;
      std::smatch found;
      if (!std::regex_match(line, found, quoted_line())) continue;
      ++quoted;
      EXPECT_TRUE(written_by_the_code(*sources_, level_named(found[1]), found[2]))
          << document.filename().string() << ":" << number
          << ": the server writes no such line: " << line;
    }
  }
  EXPECT_GT(quoted, 0u) << "no quoted log line found in the documents";
}

}  // namespace
