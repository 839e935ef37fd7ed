#include <gtest/gtest.h>

#include "capture/capture_mode.h"

namespace fenwright {
namespace {

TEST(CaptureMode, OnlyTheExactWordsCountAndOtherWordsCaptureAsAWindow) {
  struct Case {
    const char* source;
    std::optional<std::uint32_t> windowID;
    std::int64_t regionWidth;
    bool region, picks;
    std::optional<std::uint32_t> followed;
  };
  const Case cases[] = {
      {"window", 42, 0, false, true, 42},
      {"window", 0, 0, false, true, 0},
      {"window", std::nullopt, 800, false, false, std::nullopt},
      {"region", 42, 800, true, true, std::nullopt},
      {"region", 42, 0, true, false, std::nullopt},
      {"Region", 42, 800, false, true, std::nullopt},
      {"Region", std::nullopt, 800, false, false, std::nullopt},
  };
  for (const auto& c : cases) {
    PiPSentinelConfig config;
    config.source = c.source;
    config.windowID = c.windowID;
    config.regionWidth = c.regionWidth;
    config.regionHeight = 600;
    EXPECT_EQ(isRegionMode(config), c.region) << c.source;
    EXPECT_EQ(picksCaptureSource(config), c.picks) << c.source << c.regionWidth;
    EXPECT_EQ(followedWindow(config), c.followed) << c.source;
  }
}

}  // namespace
}  // namespace fenwright
