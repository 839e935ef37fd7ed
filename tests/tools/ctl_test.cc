// fenwright-ctl's sentinel subcommands, run as the real binary against a
// private data home; what they write is read back with the helper's parser.

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/pip_sentinel_reader.h"
#include "support/capture_fixtures.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "x11/x_server.h"

namespace fenwright::testing {
namespace {

struct CtlRun {
  int status = -1;
  std::string out, err;
};

class CtlTest : public ::testing::Test {
 protected:
  // `display`: DISPLAY for the run; none means a display that cannot exist,
  // so anything that touches X fails.
  CtlRun ctl(std::vector<std::string> arguments, std::optional<std::string> display = std::nullopt) {
    ChildProcess::Options options;
    options.argv = {FENWRIGHT_CTL};
    for (auto& argument : arguments) options.argv.push_back(std::move(argument));
    options.environment = {{"XDG_DATA_HOME", home_.dataHome().string()},
                           {"DISPLAY", display.value_or(":65000")}};
    options.stdoutFile = output_.path() / "out";
    options.stderrFile = output_.path() / "err";
    auto child = ChildProcess::spawn(options);
    CtlRun run;
    if (!child) return run;
    run.status = child->waitFor(std::chrono::seconds(20)).value_or(-1);
    run.out = readFile(output_.path() / "out");
    run.err = readFile(output_.path() / "err");
    return run;
  }

  std::filesystem::path sentinel() const { return home_.sentinelPath(); }
  PiPSentinelConfig written() const { return parsePiPSentinel(readFile(sentinel())); }

  SentinelHome home_;
  TempDir output_;
};

// Ids and regions need no X server. Each run writes the whole file (the
// first creates its directory) and shows what it wrote and where.
TEST_F(CtlTest, EachRequestWritesTheWholeFile) {
  const std::pair<std::vector<std::string>, PiPSentinelConfig> cases[] = {
      {{"window", "31457284"}, windowConfig(31457284u)},
      {{"window", "0x1e00004"}, windowConfig(0x1e00004u)},
      {{"window", "0XFFFFFFFF"}, windowConfig(0xFFFFFFFFu)},
      {{"region", "-10", "20", "800", "600", "--display", "66"},
       regionConfig(-10, 20, 800, 600, 66)},
      {{"region", "-10", "20", "800", "600"}, regionConfig(-10, 20, 800, 600, 0)},
      {{"off"}, PiPSentinelConfig{}},
  };
  std::filesystem::remove(sentinel().parent_path());
  for (const auto& [arguments, expected] : cases) {
    CtlRun run = ctl(arguments);
    SCOPED_TRACE(arguments[0] + " " + arguments.back());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(written(), expected);
    EXPECT_NE(run.out.find(readFile(sentinel())), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(sentinel().string()), std::string::npos) << run.out;
  }
  EXPECT_NE(readFile(sentinel()).find("\"enabled\":false"), std::string::npos);
}

TEST_F(CtlTest, BadArgumentsExitTwoAndLeaveTheFileAlone) {
  const std::string existing = R"({"enabled":true,"window_id":7})";
  ASSERT_EQ(home_.write(existing), "");  // failing runs must leave it as it is
  const std::vector<std::vector<std::string>> bad = {
      {"window", "abc"}, {"window", "12abc"}, {"window", "0x"}, {"window", "0"},
      {"window", "-5"}, {"window", "0x100000000"}, {"window"}, {"window", "5", "--title", "x"},
      {"region", "0", "0", "-800", "600"}, {"region", "0", "0", "800", "0"},
      {"region", "0", "0", "800"}, {"region", "a", "0", "800", "600"},
      {"region", "0", "0", "800", "600", "--display", "-1"}, {"off", "now"}, {},
  };
  for (const auto& arguments : bad) {
    const std::string shown = arguments.empty() ? "" : arguments[0] + " " + arguments.back();
    CtlRun run = ctl(arguments);
    EXPECT_EQ(run.status, 2) << shown << run.err;
    EXPECT_FALSE(run.err.empty()) << shown;
    EXPECT_EQ(readFile(sentinel()), existing) << shown;
  }
}

// The first capturable window whose title contains the text; none, or no X
// server, is an error (1), not a usage error, and writes nothing.
TEST_F(CtlTest, WindowByTitlePicksTheMatchingWindowOrWritesNothing) {
  const std::string display = sharedDisplay();
  const std::string existing = R"({"enabled":false})";
  ASSERT_EQ(home_.write(existing), "");  // failing runs must leave it as it is
  CtlRun missing = ctl(
      {"window", "--title", "no window is called this " + std::to_string(::getpid())}, display);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("no capturable window"), std::string::npos) << missing.err;
  EXPECT_EQ(ctl({"window", "--title", "x"}).status, 1);
  EXPECT_EQ(readFile(sentinel()), existing);

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

}  // namespace
}  // namespace fenwright::testing
