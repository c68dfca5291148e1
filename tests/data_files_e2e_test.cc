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

const char* const kBotAt300 =
    "300 300 300 300 300 300 300 300 300 400 400 400 400 400 400 400 400 400";
const char* const kBotAt500 =
    "500 500 500 500 500 500 500 500 500 600 600 600 600 600 600 600 600 600";

// Writes name=content pairs into folder, making the folders they need.
void write_files(const fs::path& folder, const std::vector<std::vector<std::string>>& files) {
  for (const auto& file : files) {
    fs::create_directories((folder / file[0]).parent_path());
    std::ofstream(folder / file[0], std::ios::binary) << file[1];
  }
}

TEST(InstalledServer, DataFilesComeFromTheWorkingDirectoryElseTheDataFolderAndAreNamed) {
  if (server_is_windows() || fs::path(DATA_FOLDER_SETTING).is_absolute()) {
    GTEST_SKIP() << "the copy is of the POSIX build with a data folder beside the program";
  }
  // A copy of the server laid out as an install lays it out: <root>/bin and
  // the data folder relative to it.
  TempDir root;
  const fs::path bin = fs::canonical(root.path()) / "bin";
  fs::create_directories(bin);
  fs::copy_file(ZOLT_SERVER_BINARY, bin / "zolt-server");
  const std::string data = (bin / DATA_FOLDER_SETTING).lexically_normal().string();
  const std::string work = (bin.parent_path() / "work").string();
  const struct {
    const char* name;
    std::vector<std::vector<std::string>> work, data;
    std::vector<std::string> args, logged;  // logged: W is the working directory, D the data folder
    int32_t x, bot_x;  // where the first turn shows the human and the bot (0: not looked at)
  } cases[] = {
      {"the data folder's, when the working directory lacks them",
       {},
       {{"bot.txt", kBotAt300}, {"dept0.txt", "111 222"}},
       {},
       {"INFO bot route file 'D/bot.txt'", "INFO start position file of map 0 'D/dept0.txt'"},
       111,
       300},
      {"the working directory's own first",
       {{"bot.txt", kBotAt500}, {"dept0.txt", "5 6"}},
       {{"bot.txt", kBotAt300}, {"dept0.txt", "111 222"}},
       {},
       {"INFO bot route file 'W/bot.txt'", "INFO start position file of map 0 'W/dept0.txt'"},
       5,
       500},
      {"in neither place",
       {},
       {},
       {},
       {"WARN cannot read the bot route file 'W/bot.txt', nor 'D/bot.txt' in the data folder: "
        "No such file",
        "WARN cannot read the start position file of map 0 'W/dept0.txt', nor 'D/dept0.txt' in "
        "the data folder: No such file"},
       1,
       0},
      {"a folder the operator named is the only place",
       {{"m/dept1.txt", "7 8"}, {"bot.txt", kBotAt500}},
       {{"dept0.txt", "111 222"}},
       {"--maps-dir", "m"},
       {"WARN cannot read the start position file of map 0 'W/m/dept0.txt': No such file"},
       1,
       500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(work);
    fs::remove_all(data);
    fs::create_directories(work);
    write_files(work, c.work);
    write_files(data, c.data);
    ServerProcess server;
    server.program = (bin / "zolt-server").string();
    std::vector<std::string> args = {"localhost", "--humans", "1", "--bots", "1", "--map", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    server.start(work, args, "", true);
    ASSERT_TRUE(server.wait_until_listening()) << server.output() << server.errors();
    for (std::string line : c.logged) {  // before anyone joins
      for (const auto& [mark, path] : {std::pair{"'W/", work}, std::pair{"'D/", data}}) {
        for (size_t at; (at = line.find(mark)) != std::string::npos;) {
          line.replace(at, 3, "'" + path + "/");
        }
      }
      EXPECT_NE(server.errors().find(line), std::string::npos) << line << "\n" << server.errors();
    }
    TestClient client;
    ASSERT_EQ(client_join(client.link), 2);
    int32_t index = -1, map = -1;
    client_learn(client.link, &index, &map);
    TurnReport report;
    report.x = report.y = 1;
    TurnView view;
    ASSERT_TRUE(client_turn(client.link, report, 2, view));
    EXPECT_EQ(view.players[0].x, c.x);
    if (c.bot_x != 0) {
      EXPECT_EQ(view.players[1].x, c.bot_x);
    }
    client.close();
    EXPECT_EQ(server.wait_exit(), 1);
    // The console's historic text when the bot route file is in neither place.
    EXPECT_EQ(server.output().find(ROUTE_ERROR) != std::string::npos, c.bot_x == 0);
  }
}

}  // namespace
