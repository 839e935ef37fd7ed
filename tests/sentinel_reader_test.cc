#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "config/app_group_container.h"
#include "config/pip_sentinel_reader.h"
#include "platform/log/captured_log.h"
#include "support/temp_dir.h"

namespace fenwright {
namespace {

using testing::SentinelHome;
namespace fs = std::filesystem;

PiPSentinelConfig defaults() { return PiPSentinelConfig{}; }

class SentinelReader : public ::testing::Test {
 protected:
  SentinelHome home;
  log::CapturedLog log;
};

TEST_F(SentinelReader, MissingFileIsDisabledDefaultAndSilent) {
  EXPECT_EQ(readPiPSentinel(), defaults());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(SentinelReader, ReadsEveryKey) {
  home.write(R"({"enabled":true,"source":"region","window_id":42,"window_title":"Notes",
     "region_x":-10,"region_y":20,"region_width":800,"region_height":600,
     "region_display_id":7,"unknown":[1,2]})");
  PiPSentinelConfig config = readPiPSentinel();
  EXPECT_TRUE(config.enabled);
  EXPECT_EQ(config.source, "region");
  EXPECT_EQ(config.windowID, 42u);
  EXPECT_EQ(config.windowTitle, "Notes");
  EXPECT_EQ(config.regionX, -10);
  EXPECT_EQ(config.regionY, 20);
  EXPECT_EQ(config.regionWidth, 800);
  EXPECT_EQ(config.regionHeight, 600);
  EXPECT_EQ(config.regionDisplayID, 7u);
}

TEST_F(SentinelReader, OnlyEnabledGivesDefaultsOtherwise) {
  home.write(R"({"enabled":true})");
  PiPSentinelConfig expected;
  expected.enabled = true;
  EXPECT_EQ(readPiPSentinel(), expected);
}

TEST_F(SentinelReader, WindowIdZeroIsPresent) {
  home.write(R"({"enabled":true,"window_id":0})");
  EXPECT_EQ(readPiPSentinel().windowID, 0u);
}

TEST_F(SentinelReader, WrongTypesFallBackPerKey) {
  home.write(R"({"enabled":true,"source":5,"window_id":"42","window_title":null,
     "region_width":"800","region_height":600})");
  PiPSentinelConfig config = readPiPSentinel();
  EXPECT_TRUE(config.enabled);
  EXPECT_EQ(config.source, "window");
  EXPECT_FALSE(config.windowID.has_value());
  EXPECT_FALSE(config.windowTitle.has_value());
  EXPECT_EQ(config.regionWidth, 0);
  EXPECT_EQ(config.regionHeight, 600);
}

TEST_F(SentinelReader, EnabledAsStringIsDisabled) {
  home.write(R"({"enabled":"true","window_id":3})");
  PiPSentinelConfig config = readPiPSentinel();
  EXPECT_FALSE(config.enabled);
  EXPECT_EQ(config.windowID, 3u);
}

TEST_F(SentinelReader, KeysAreCaseSensitive) {
  home.write(R"({"Enabled":true,"enabled":true,"Window_ID":9})");
  PiPSentinelConfig config = readPiPSentinel();
  EXPECT_TRUE(config.enabled);
  EXPECT_FALSE(config.windowID.has_value());
}

TEST_F(SentinelReader, IdentifiersOutsideUnsigned32BitsFallBack) {
  home.write(R"({"enabled":true,"window_id":4294967296,"region_display_id":-1})");
  PiPSentinelConfig config = readPiPSentinel();
  EXPECT_FALSE(config.windowID.has_value());
  EXPECT_EQ(config.regionDisplayID, 0u);
  home.write(R"({"enabled":true,"window_id":4294967295})");
  EXPECT_EQ(readPiPSentinel().windowID, 4294967295u);
}

TEST_F(SentinelReader, FractionalAndBooleanNumbersAreNotIntegers) {
  home.write(R"({"enabled":true,"region_width":800.0,"region_height":true})");
  PiPSentinelConfig config = readPiPSentinel();
  EXPECT_EQ(config.regionWidth, 0);
  EXPECT_EQ(config.regionHeight, 0);
}

TEST_F(SentinelReader, NonObjectDocumentsAreDefault) {
  for (const char* text : {"", "[]", R"([{"enabled":true}])", "true", "42", R"("x")",
                           R"({"enabled":true)", "{\"enabled\":tr", "\xff\xfe"}) {
    home.write(text);
    EXPECT_EQ(readPiPSentinel(), defaults()) << "input: " << text;
  }
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(SentinelReader, InvalidUtf8InAStringIsDefault) {
  home.write("{\"enabled\":true,\"window_title\":\"\xc3\x28\"}");
  EXPECT_EQ(readPiPSentinel(), defaults());
}

TEST(SentinelContainer, MissingHomeLogsContainerUnavailable) {
  SentinelHome home;  // restores XDG_DATA_HOME afterwards
  std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("XDG_DATA_HOME", "relative/path", 1);
  ::unsetenv("HOME");
  log::CapturedLog log;
  EXPECT_FALSE(quenfieldAppGroupContainerURL().has_value());
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(readPiPSentinel(), defaults());
  if (!savedHome.empty()) ::setenv("HOME", savedHome.c_str(), 1);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].text, "app group container unavailable");
  EXPECT_TRUE(log.lines()[0].isError);
}

TEST(SentinelContainer, FallsBackToHomeLocalShare) {
  SentinelHome home;
  ::unsetenv("XDG_DATA_HOME");
  std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", "/home/someone", 1);
  auto container = quenfieldAppGroupContainerURL();
  if (!savedHome.empty()) ::setenv("HOME", savedHome.c_str(), 1);
  ASSERT_TRUE(container.has_value());
  EXPECT_EQ(*container, fs::path("/home/someone/.local/share/Q2WXR7TZ4M.com.quenfield.app"));
}

class HostileSentinel : public SentinelReader {
 protected:
  // Every hostile file must read as the default record, and promptly.
  void expectPromptDefault() {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readPiPSentinel(), defaults());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
};

TEST_F(HostileSentinel, FifoWithoutWriterDoesNotBlock) {
  ASSERT_EQ(::mkfifo(home.sentinelPath().c_str(), 0600), 0);
  expectPromptDefault();
}

TEST_F(HostileSentinel, DirectoryIsUnreadable) {
  fs::create_directory(home.sentinelPath());
  expectPromptDefault();
}

TEST_F(HostileSentinel, SymlinkToDevZeroIsUnreadable) {
  fs::create_symlink("/dev/zero", home.sentinelPath());
  expectPromptDefault();
}

TEST_F(HostileSentinel, SymlinkLoopIsUnreadable) {
  fs::create_symlink(home.sentinelPath(), home.sentinelPath());
  expectPromptDefault();
}

TEST_F(HostileSentinel, HundredMegabyteFileIsUnreadable) {
  {
    std::ofstream out(home.sentinelPath(), std::ios::binary);
    out << R"({"enabled":true,"pad":")";
  }
  // Sparse: the size is what the reader sees first.
  fs::resize_file(home.sentinelPath(), 100 * 1024 * 1024);
  expectPromptDefault();
}

TEST_F(HostileSentinel, DeeplyNestedJsonWithinTheCapIsDefault) {
  std::string nested(30000, '[');
  home.write(nested + std::string(30000, ']'));
  expectPromptDefault();
}

// Past the file cap too, for whatever else hands the parser its bytes.
TEST(SentinelParser, HundredThousandLevelsOfNestingAreDefault) {
  std::string arrays = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(parsePiPSentinel(arrays), PiPSentinelConfig{});
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += R"({"enabled":)";
  objects += "true" + std::string(100000, '}');
  EXPECT_EQ(parsePiPSentinel(objects), PiPSentinelConfig{});
}

TEST_F(HostileSentinel, UnreadableModeIsDefault) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads mode-000 files";
  home.write(R"({"enabled":true})");
  fs::permissions(home.sentinelPath(), fs::perms::none);
  expectPromptDefault();
}

}  // namespace
}  // namespace fenwright
