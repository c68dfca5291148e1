#include "data/data_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <numeric>
#include <string>

#include "console/console.h"

namespace {

// A temporary working directory, so the readers find their files by their
// fixed names there.
class DataFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    old_dir_ = std::filesystem::current_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "zolt-data-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_dir_);
    std::filesystem::remove_all(dir_);
  }
  static void write(const std::string& name, const std::string& content) {
    std::ofstream(name, std::ios::binary) << content;
  }
  // Bot route tables for count bots, every slot marked so untouched slots show.
  static void marked_routes(int bots, std::vector<RouteRow>& xs, std::vector<RouteRow>& ys) {
    RouteRow marks;
    marks.fill(-999);
    xs.assign(static_cast<size_t>(bots), marks);
    ys.assign(static_cast<size_t>(bots), marks);
  }
  static std::string numbers(int first, int count, const char* separator) {
    std::string text;
    for (int i = 0; i < count; ++i) text += std::to_string(first + i) + separator;
    return text;
  }

  std::filesystem::path old_dir_, dir_;
};

TEST_F(DataFiles, BotRoutesFillNineXThenNineYPerBotWhateverTheLayout) {
  for (const char* separator : {"\n", " ", "\t \r\n"}) {
    write(BOT_ROUTE_PATH, numbers(1, 36, separator) + "777 888");
    std::vector<RouteRow> xs, ys;
    marked_routes(2, xs, ys);
    ASSERT_EQ(load_bot_routes(xs, ys, 2, BOT_ROUTE_PATH), 1);
    for (size_t i = 0; i < 9; ++i) {
      EXPECT_EQ(xs[0][i], static_cast<int32_t>(1 + i));
      EXPECT_EQ(ys[0][i], static_cast<int32_t>(10 + i));
      EXPECT_EQ(xs[1][i], static_cast<int32_t>(19 + i));
      EXPECT_EQ(ys[1][i], static_cast<int32_t>(28 + i));
    }
    // Slot 9 is never written, and the surplus numbers are not read.
    EXPECT_EQ(xs[0][9], -999);
    EXPECT_EQ(ys[1][9], -999);
  }
}

TEST_F(DataFiles, AMissingBotRouteFileIsReportedEvenWithNoBots) {
  std::vector<RouteRow> xs, ys;
  EXPECT_EQ(load_bot_routes(xs, ys, 0, BOT_ROUTE_PATH), 0);
  write(BOT_ROUTE_PATH, "");
  EXPECT_EQ(load_bot_routes(xs, ys, 0, BOT_ROUTE_PATH), 1);
}

// A FIFO would hold the match until a writer came, a directory reads as
// nothing: both are refused at once, with the path named on standard error.
TEST_F(DataFiles, APathThatIsNotARegularFileIsRefusedAtOnce) {
  const struct {
    const char* what;
    int (*make)(const char* path);
  } kinds[] = {
      {"fifo", [](const char* path) { return mkfifo(path, 0600); }},
      {"directory", [](const char* path) { return mkdir(path, 0700); }},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.what);
    ASSERT_EQ(kind.make(BOT_ROUTE_PATH), 0);
    ASSERT_EQ(kind.make("dept1.txt"), 0);
    std::vector<RouteRow> xs, ys;
    marked_routes(1, xs, ys);
    std::vector<int32_t> pos_x(1, 7), pos_y(1, 8);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(load_bot_routes(xs, ys, 1, BOT_ROUTE_PATH), 0);
    load_start_positions(pos_x, pos_y, 1, 1, "", "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n dept1.txt");
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find(std::string("'") + BOT_ROUTE_PATH + "': not a regular file"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("'dept1.txt': not a regular file"), std::string::npos) << errors;
    EXPECT_EQ(xs[0][0], -999);
    EXPECT_EQ(pos_x[0], 7);
    std::filesystem::remove(BOT_ROUTE_PATH);
    std::filesystem::remove("dept1.txt");
  }
}

// A file that opens but cannot be read (here memory at address 0, through a
// link to /proc/self/mem) is a failed load, not a file of no numbers.
TEST_F(DataFiles, AReadErrorIsAFailedLoad) {
  std::filesystem::create_symlink("/proc/self/mem", BOT_ROUTE_PATH);
  std::vector<RouteRow> xs, ys;
  marked_routes(1, xs, ys);
  testing::internal::CaptureStderr();
  EXPECT_EQ(load_bot_routes(xs, ys, 1, BOT_ROUTE_PATH), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("error reading bot route file"),
            std::string::npos);
}

TEST_F(DataFiles, ReadingStopsForGoodAtTheFirstNumberThatIsNotThere) {
  const struct {
    const char* content;
    int x_filled;  // slots of bot 0's x row read from the file
  } cases[] = {
      {"1 2 3", 3},
      {"1 2 x 4 5 6 7 8 9 10", 2},
      {"1 2 - 3", 2},
      {"", 0},
  };
  for (const auto& c : cases) {
    write(BOT_ROUTE_PATH, c.content);
    std::vector<RouteRow> xs, ys;
    marked_routes(1, xs, ys);
    ASSERT_EQ(load_bot_routes(xs, ys, 1, BOT_ROUTE_PATH), 1);
    for (int i = 0; i < 9; ++i) {
      EXPECT_EQ(xs[0][static_cast<size_t>(i)], i < c.x_filled ? i + 1 : -999)
          << c.content << " slot " << i;
      EXPECT_EQ(ys[0][static_cast<size_t>(i)], -999) << c.content;
    }
  }
}

TEST_F(DataFiles, NumbersBeyondTheIntegerRangeAreHeldAtItsEnds) {
  write(BOT_ROUTE_PATH, "99999999999 -99999999999 +12 2147483647 -2147483648");
  std::vector<RouteRow> xs, ys;
  marked_routes(1, xs, ys);
  load_bot_routes(xs, ys, 1, BOT_ROUTE_PATH);
  EXPECT_EQ(xs[0][0], std::numeric_limits<int32_t>::max());
  EXPECT_EQ(xs[0][1], std::numeric_limits<int32_t>::min());
  EXPECT_EQ(xs[0][2], 12);
  EXPECT_EQ(xs[0][3], std::numeric_limits<int32_t>::max());
  EXPECT_EQ(xs[0][4], std::numeric_limits<int32_t>::min());
}

TEST_F(DataFiles, StartPositionsAreXValuesThenYValues) {
  write("dept3.txt", "10 20\n30 40\n");
  std::vector<int32_t> xs(2, -5), ys(2, -5);
  testing::internal::CaptureStdout();
  load_start_positions(xs, ys, 2, 3, "", "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n dept3.txt");
  EXPECT_EQ(xs, (std::vector<int32_t>{10, 20}));
  EXPECT_EQ(ys, (std::vector<int32_t>{30, 40}));
}

TEST_F(DataFiles, AStartPositionFileThatIsMissingOrShortLeavesPositionsAlone) {
  std::vector<int32_t> xs(2, 7), ys(2, 8);
  testing::internal::CaptureStdout();
  load_start_positions(xs, ys, 2, -1, "", "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n dept-1.txt");
  EXPECT_EQ(xs, (std::vector<int32_t>{7, 7}));
  EXPECT_EQ(ys, (std::vector<int32_t>{8, 8}));

  write("dept0.txt", "1 2 3");
  testing::internal::CaptureStdout();
  load_start_positions(xs, ys, 2, 0, "", "");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(xs, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(ys, (std::vector<int32_t>{3, 8}));
}

TEST_F(DataFiles, StartPositionFileNames) {
  const struct {
    int32_t map;
    const char* name;
  } cases[] = {{0, "dept0.txt"},
               {2, "dept2.txt"},
               {12, "dept12.txt"},
               {-1, "dept-1.txt"},
               {std::numeric_limits<int32_t>::min(), "dept-2147483648.txt"}};
  for (const auto& c : cases) {
    char name[START_FILE_NAME_SIZE];
    start_position_file_name(c.map, name);
    EXPECT_STREQ(name, c.name);
  }
}

}  // namespace
