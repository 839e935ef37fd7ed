// fenwright-ctl's sentinel subcommands, run as the real binary against a
// private data home; what they write is read back with the helper's parser.

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/pip_sentinel_reader.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "x11/test_window_process.h"
#include "x11/x_server.h"

namespace fenwright::testing {
namespace {

struct CtlRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

class CtlTest : public ::testing::Test {
 protected:
  // `display`: DISPLAY for the run; none means a display that cannot exist,
  // so anything that touches X fails.
  CtlRun ctl(std::vector<std::string> arguments, std::optional<std::string> display = std::nullopt) {
    ChildProcess::Options options;
    options.argv = {FENWRIGHT_CTL};
    for (auto& argument : arguments) options.argv.push_back(std::move(argument));
    options.environment = {{"XDG_DATA_HOME", home_.path().string()},
                           {"DISPLAY", display.value_or(":65000")}};
    options.stdoutFile = output_.path() / "out";
    options.stderrFile = output_.path() / "err";
    auto child = ChildProcess::spawn(options);
    CtlRun run;
    if (!child) return run;
    run.status = child->waitFor(std::chrono::seconds(20)).value_or(-1);
    run.out = slurp(output_.path() / "out");
    run.err = slurp(output_.path() / "err");
    return run;
  }

  std::filesystem::path sentinel() const {
    return home_.path() / "Q2WXR7TZ4M.com.quenfield.app" / "pip-mode-enabled";
  }
  PiPSentinelConfig written() const { return parsePiPSentinel(slurp(sentinel())); }

  // A sentinel the failing runs must leave as it is.
  void writeExisting(const std::string& bytes) {
    std::filesystem::create_directories(sentinel().parent_path());
    std::ofstream(sentinel(), std::ios::binary) << bytes;
  }

  TempDir home_;
  TempDir output_;
};

TEST_F(CtlTest, WindowByDecimalIdWithoutAnXServer) {
  CtlRun run = ctl({"window", "31457284"});
  ASSERT_EQ(run.status, 0) << run.err;
  PiPSentinelConfig expected;
  expected.enabled = true;
  expected.source = "window";
  expected.windowID = 31457284u;
  EXPECT_EQ(written(), expected);
  // It shows what it wrote and where.
  EXPECT_NE(run.out.find(slurp(sentinel())), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(sentinel().string()), std::string::npos) << run.out;
}

TEST_F(CtlTest, WindowByHexIdCreatesTheContainer) {
  ASSERT_FALSE(std::filesystem::exists(sentinel().parent_path()));
  CtlRun run = ctl({"window", "0x1e00004"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto config = written();
  EXPECT_TRUE(config.enabled);
  EXPECT_EQ(config.source, "window");
  EXPECT_EQ(config.windowID, std::optional<std::uint32_t>(0x1e00004u));
  EXPECT_EQ(ctl({"window", "0XFFFFFFFF"}).status, 0);
  EXPECT_EQ(written().windowID, std::optional<std::uint32_t>(0xFFFFFFFFu));
}

TEST_F(CtlTest, RegionOnADisplay) {
  CtlRun run = ctl({"region", "-10", "20", "800", "600", "--display", "66"});
  ASSERT_EQ(run.status, 0) << run.err;
  PiPSentinelConfig expected;
  expected.enabled = true;
  expected.source = "region";
  expected.regionX = -10;
  expected.regionY = 20;
  expected.regionWidth = 800;
  expected.regionHeight = 600;
  expected.regionDisplayID = 66;
  EXPECT_EQ(written(), expected);

  ASSERT_EQ(ctl({"region", "0", "0", "320", "200"}).status, 0);
  expected.regionX = 0;
  expected.regionY = 0;
  expected.regionWidth = 320;
  expected.regionHeight = 200;
  expected.regionDisplayID = 0;
  EXPECT_EQ(written(), expected);
}

TEST_F(CtlTest, OffDisablesOverAnEarlierRequest) {
  ASSERT_EQ(ctl({"window", "42"}).status, 0);
  ASSERT_TRUE(written().enabled);
  CtlRun run = ctl({"off"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(written(), PiPSentinelConfig{});
  EXPECT_NE(slurp(sentinel()).find("\"enabled\":false"), std::string::npos);
}

TEST_F(CtlTest, BadArgumentsExitTwoAndLeaveTheFileAlone) {
  const std::string existing = R"({"enabled":true,"window_id":7})";
  writeExisting(existing);
  const std::vector<std::vector<std::string>> bad = {
      {"window", "abc"},
      {"window", "12abc"},
      {"window", "0x"},
      {"window", "0"},
      {"window", "-5"},
      {"window", "0x100000000"},
      {"window"},
      {"window", "5", "--title", "x"},
      {"region", "0", "0", "-800", "600"},
      {"region", "0", "0", "800", "0"},
      {"region", "0", "0", "800"},
      {"region", "a", "0", "800", "600"},
      {"region", "0", "0", "800", "600", "--display", "-1"},
      {"off", "now"},
      {},
  };
  for (const auto& arguments : bad) {
    std::string shown;
    for (const auto& a : arguments) shown += a + " ";
    CtlRun run = ctl(arguments);
    EXPECT_EQ(run.status, 2) << shown << run.err;
    EXPECT_FALSE(run.err.empty()) << shown;
    EXPECT_EQ(slurp(sentinel()), existing) << shown;
  }
}

TEST_F(CtlTest, WindowByTitlePicksTheMatchingWindow) {
  const std::string display = sharedDisplay();
  const std::string title = "ctl title test " + std::to_string(::getpid()) + " \xC3\xA9t\xC3\xA9";
  auto window = TestWindowProcess::start(display, {"--title", title, "--size", "64x48"});
  ASSERT_TRUE(window);
  CtlRun run = ctl({"window", "--title", "title test " + std::to_string(::getpid())}, display);
  ASSERT_EQ(run.status, 0) << run.err;
  auto config = written();
  EXPECT_TRUE(config.enabled);
  EXPECT_EQ(config.source, "window");
  EXPECT_EQ(config.windowID, std::optional<std::uint32_t>(window->id()));
  EXPECT_EQ(config.windowTitle, std::optional<std::string>(title));
}

TEST_F(CtlTest, WindowByTitleWithoutAMatchExitsOne) {
  const std::string display = sharedDisplay();
  const std::string existing = R"({"enabled":false})";
  writeExisting(existing);
  CtlRun run = ctl({"window", "--title", "no window is called this " + std::to_string(::getpid())},
                display);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("no capturable window"), std::string::npos) << run.err;
  EXPECT_EQ(slurp(sentinel()), existing);
  // Without a server it is an error too, not a usage error.
  EXPECT_EQ(ctl({"window", "--title", "x"}).status, 1);
  EXPECT_EQ(slurp(sentinel()), existing);
}

}  // namespace
}  // namespace fenwright::testing
