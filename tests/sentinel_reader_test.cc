#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "config/app_group_container.h"
#include "config/pip_sentinel_reader.h"
#include "platform/log/captured_log.h"
#include "support/temp_dir.h"

namespace fenwright {
namespace {

using testing::SentinelHome;
namespace fs = std::filesystem;

PiPSentinelConfig enabledWith(auto change) {
  PiPSentinelConfig config;
  config.enabled = true;
  change(config);
  return config;
}

class SentinelReader : public ::testing::Test {
 protected:
  SentinelHome home;
  log::CapturedLog log;
};

// Each key is read when it has its type, exactly its name and its range;
// otherwise that key alone keeps its default. A missing file is the default.
TEST_F(SentinelReader, EachKeyFallsBackAloneAndTheRecordIsSilent) {
  EXPECT_EQ(readPiPSentinel(), PiPSentinelConfig{});
  const std::pair<const char*, PiPSentinelConfig> cases[] = {
      {R"({"enabled":true,"source":"region","window_id":42,"window_title":"Notes",
        "region_x":-10,"region_y":20,"region_width":800,"region_height":600,
        "region_display_id":7,"unknown":[1,2]})",
       enabledWith([](auto& c) {
         c.source = "region", c.windowID = 42, c.windowTitle = "Notes", c.regionX = -10;
         c.regionY = 20, c.regionWidth = 800, c.regionHeight = 600, c.regionDisplayID = 7;
       })},
      {R"({"enabled":true})", enabledWith([](auto&) {})},
      {R"({"enabled":true,"window_id":0})", enabledWith([](auto& c) { c.windowID = 0; })},
      {R"({"enabled":true,"source":5,"window_id":"42","window_title":null,"region_x":1.5,
        "region_width":"800","region_height":600,"region_y":true,"region_display_id":-1})",
       enabledWith([](auto& c) { c.regionHeight = 600; })},
      {R"({"enabled":"true","window_id":3})",
       enabledWith([](auto& c) { c.enabled = false, c.windowID = 3; })},
      {R"({"Enabled":true,"enabled":true,"Window_ID":9})", enabledWith([](auto&) {})},
      {R"({"enabled":true,"window_id":4294967296})", enabledWith([](auto&) {})},
      {R"({"enabled":true,"window_id":4294967295})",
       enabledWith([](auto& c) { c.windowID = 4294967295u; })},
  };
  for (const auto& [json, expected] : cases) {
    home.write(json);
    EXPECT_EQ(readPiPSentinel(), expected) << json;
  }
  EXPECT_TRUE(log.lines().empty());
}

// Past the file cap too (100000 levels), for whatever else hands the
// parser its bytes.
TEST_F(SentinelReader, AnythingButAWellFormedObjectIsTheDefault) {
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += R"({"enabled":)";
  objects += "true" + std::string(100000, '}');
  for (const std::string text : {"", "[]", R"([{"enabled":true}])", "true", "42", R"("x")",
                                 R"({"enabled":true)", "{\"enabled\":tr", "\xff\xfe",
                                 "{\"enabled\":true,\"window_title\":\"\xc3\x28\"}"}) {
    home.write(text);
    EXPECT_EQ(readPiPSentinel(), PiPSentinelConfig{}) << "input: " << text;
  }
  EXPECT_EQ(parsePiPSentinel(std::string(100000, '[') + std::string(100000, ']')),
            PiPSentinelConfig{});
  EXPECT_EQ(parsePiPSentinel(objects), PiPSentinelConfig{});
  EXPECT_TRUE(log.lines().empty());
}

// A relative XDG_DATA_HOME is ignored; without HOME there is no container.
TEST(SentinelContainer, FallsBackToHomeLocalShareOrLogsItUnavailable) {
  SentinelHome home;  // restores XDG_DATA_HOME afterwards
  std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("XDG_DATA_HOME", "relative/path", 1);
  ::setenv("HOME", "/home/someone", 1);
  auto container = quenfieldAppGroupContainerURL();
  ::unsetenv("HOME");
  log::CapturedLog log;
  EXPECT_FALSE(quenfieldAppGroupContainerURL().has_value());
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(readPiPSentinel(), PiPSentinelConfig{});
  if (!savedHome.empty()) ::setenv("HOME", savedHome.c_str(), 1);
  EXPECT_EQ(container, fs::path("/home/someone/.local/share/Q2WXR7TZ4M.com.quenfield.app"));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].text, "app group container unavailable");
  EXPECT_TRUE(log.lines()[0].isError);
}

// Every hostile file reads as the default record; one that blocked the
// reader would hang here.
TEST_F(SentinelReader, HostileFilesAreDefaultAndDoNotBlock) {
  const fs::path path = home.sentinelPath();
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"fifo without writer", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }},
      {"directory", [&] { fs::create_directory(path); }},
      {"symlink to /dev/zero", [&] { fs::create_symlink("/dev/zero", path); }},
      {"symlink loop", [&] { fs::create_symlink(path, path); }},
      // Sparse: the size is what the reader sees first.
      {"100 MB", [&] {
         std::ofstream(path, std::ios::binary) << R"({"enabled":true,"pad":")";
         fs::resize_file(path, 100 * 1024 * 1024);
       }},
      {"nesting within the cap",
       [&] { home.write(std::string(30000, '[') + std::string(30000, ']')); }},
      {"mode 000", [&] {
         home.write(R"({"enabled":true})");
         if (::geteuid() != 0) fs::permissions(path, fs::perms::none);  // root reads it
         else home.remove();
       }},
  };
  for (const auto& [name, make] : cases) {
    make();
    EXPECT_EQ(readPiPSentinel(), PiPSentinelConfig{}) << name;
    fs::remove(path);
  }
}

}  // namespace
}  // namespace fenwright
