// The data files of an installed server: read from the working directory,
// or, when it lacks them and no option places them, from the data folder the
// build set beside the program; each named with its full path in the log
// before anyone joins.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "console/files.h"
#include "console/texts.h"
#include "tests/server_process.h"

namespace {

namespace fs = std::filesystem;

using Files = std::vector<std::pair<std::string, std::string>>;

void write_files(const fs::path& folder, const Files& files) {
  fs::create_directories(folder);
  for (const auto& [name, content] : files) {
    fs::create_directories((folder / name).parent_path());
    std::ofstream(folder / name, std::ios::binary) << content;
  }
}

std::string still_bot(int x, int y) {
  std::string route;
  for (int i = 0; i < 9; ++i) route += std::to_string(x) + " ";
  for (int i = 0; i < 9; ++i) route += std::to_string(y) + " ";
  return route;
}

// A copy of the server laid out as an install lays it out: <root>/bin and,
// with the build's relative data folder, the maps beside it.
class InstalledServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (server_is_windows() || fs::path(DATA_FOLDER_SETTING).is_absolute()) {
      GTEST_SKIP() << "the copy is of the POSIX build with a data folder beside the program";
    }
    fs::create_directories(root_.path() + "/bin");
    program_ = root_.path() + "/bin/zolt-server";
    fs::copy_file(ZOLT_SERVER_BINARY, program_);
    fs::permissions(program_, fs::perms::owner_all);
    data_ = fs::canonical(root_.path() + "/bin") / DATA_FOLDER_SETTING;
    data_ = data_.lexically_normal();
    work_ = fs::canonical(root_.path()) / "work";
  }

  // {W} in text stands for the working directory, {D} for the data folder.
  std::string expand(std::string text) const {
    for (const auto& [mark, path] : {std::pair{"{W}", work_}, std::pair{"{D}", data_}}) {
      for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, 3, path);
    }
    return text;
  }

  TempDir root_;
  std::string program_;
  fs::path data_, work_;
};

TEST_F(InstalledServer, DataFilesComeFromTheWorkingDirectoryElseTheDataFolderAndAreNamed) {
  const struct {
    const char* name;
    Files work, data;
    std::vector<std::string> args;
    std::vector<std::string> logged;
    bool route_error;      // the console's historic text of a missing bot route file
    PlayerRow human, bot;  // where the first turn shows them (the bot: when it has a route)
  } cases[] = {
      {"the data folder's, when the working directory lacks them",
       {},
       {{"bot.txt", still_bot(300, 400)}, {"dept0.txt", "111\n222\n"}},
       {},
       {"INFO bot route file '{D}/bot.txt'", "INFO start position file of map 0 '{D}/dept0.txt'"},
       false,
       {111, 222, 0, 0},
       {300, 400, 0, 0}},
      {"the working directory's own first",
       {{"bot.txt", still_bot(500, 600)}, {"dept0.txt", "5 6"}},
       {{"bot.txt", still_bot(300, 400)}, {"dept0.txt", "111\n222\n"}},
       {},
       {"INFO bot route file '{W}/bot.txt'", "INFO start position file of map 0 '{W}/dept0.txt'"},
       false,
       {5, 6, 0, 0},
       {500, 600, 0, 0}},
      {"in neither place",
       {},
       {},
       {},
       {"WARN cannot read the bot route file '{W}/bot.txt', nor '{D}/bot.txt' in the data "
        "folder: No such file or directory",
        "WARN cannot read the start position file of map 0 '{W}/dept0.txt', nor "
        "'{D}/dept0.txt' in the data folder: No such file or directory"},
       true,
       {1, 1, 0, 0},
       {}},
      {"a folder the operator named is the only place",
       {{"m/dept1.txt", "7 8"}},
       {{"dept0.txt", "111\n222\n"}},
       {"--maps-dir", "m"},
       {"WARN cannot read the start position file of map 0 '{W}/m/dept0.txt': No such file"},
       true,
       {1, 1, 0, 0},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(work_);
    fs::remove_all(data_);
    write_files(work_, c.work);
    write_files(data_, c.data);
    ServerProcess server;
    server.program = program_;
    std::vector<std::string> args = {"localhost", "--humans", "1", "--bots", "1", "--map", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    server.start(work_.string(), args, "", true);
    ASSERT_TRUE(server.wait_until_listening()) << server.output() << server.errors();
    // Named before anyone joins.
    for (const std::string& line : c.logged) {
      EXPECT_NE(server.errors().find(expand(line)), std::string::npos) << expand(line) << "\n"
                                                                       << server.errors();
    }
    TestClient client;
    ASSERT_EQ(client_join(client.link), 2);
    int32_t index = -1, map = -1;
    client_learn(client.link, &index, &map);
    TurnReport report;
    report.x = report.y = 1;
    TurnView view;
    ASSERT_TRUE(client_turn(client.link, report, 2, view));
    EXPECT_EQ(view.players[0].x, c.human.x);
    EXPECT_EQ(view.players[0].y, c.human.y);
    if (!c.route_error) {
      EXPECT_EQ(view.players[1].x, c.bot.x);
      EXPECT_EQ(view.players[1].y, c.bot.y);
    }
    client.close();
    EXPECT_EQ(server.wait_exit(), 1);
    EXPECT_EQ(server.output().find(ROUTE_ERROR) != std::string::npos, c.route_error)
        << server.output();
  }
}

TEST(MapsFolder, OneThatIsNotThereIsAUsageError) {
  TempDir dir;
  dir.write("file", "");
  const struct {
    const char* folder;
    const char* problem;
  } cases[] = {{"nowhere", "no such folder"}, {"file", "not a folder"}};
  for (const auto& c : cases) {
    ServerProcess server;
    server.start(dir.path(), {"--humans", "1", "--bots", "0", "--map", "0", "--maps-dir", c.folder},
                 "", true);
    EXPECT_EQ(server.wait_exit(), 2);
    EXPECT_NE(server.errors().find(std::string("--maps-dir: '") + c.folder + "': " + c.problem),
              std::string::npos)
        << server.errors();
    EXPECT_EQ(server.output(), "");
  }
}

}  // namespace
