#include <array>

#include <gtest/gtest.h>

#include "capture/stream_plan.h"
#include "support/capture_fixtures.h"

namespace fenwright {
namespace {

const ShareableContent kContent = sampleContent();

// What the start logs: the description of the stream, or why there is none.
std::string outcome(const PiPSentinelConfig& config, std::uint32_t mainDisplay = 2,
                    const ShareableContent& content = kContent) {
  auto plan = planStream(config, content, mainDisplay);
  if (const auto* fallback = std::get_if<StreamFallback>(&plan)) return fallback->reason;
  return std::get<StreamPlan>(plan).description;
}

TEST(StreamPlan, DescribesWhatIsCapturedOrWhyNot) {
  const std::string noWindow =
      "startStreamAsync: window mode without "
      "window_id; falling back to test pattern";
  const std::string noSize =
      "startStreamAsync: region mode without "
      "dimensions; falling back to test pattern";
  EXPECT_EQ(outcome(windowConfig(42)), "window id=42 title=Notes");
  EXPECT_EQ(outcome(windowConfig(43)), "window id=43 title=<untitled>");
  EXPECT_EQ(outcome(windowConfig(44)), "window id=44 title=Minimised");
  EXPECT_EQ(outcome(windowConfig(99)),
            "startStreamAsync: window id=99 not in SCShareableContent; window "
            "may have closed. "
            "Falling back to test pattern.");
  EXPECT_EQ(outcome(windowConfig(std::nullopt)), noWindow);
  EXPECT_EQ(outcome(windowConfig(std::nullopt, "Region")), noWindow);
  EXPECT_EQ(outcome(regionConfig(10, 20, 800, 600, 1)), "region 800×600 at (10,20) on display 1");
  EXPECT_EQ(outcome(regionConfig(-30, -4, 100, 50, 1)), "region 100×50 at (-30,-4) on display 1");
  EXPECT_EQ(outcome(regionConfig(0, 0, 640, 360, 0)), "region 640×360 at (0,0) on display 2");
  EXPECT_EQ(outcome(regionConfig(0, 0, 640, 360, 77)), "region 640×360 at (0,0) on display 2");
  EXPECT_EQ(outcome(regionConfig(0, 0, 640, 360, 77), 9), "region 640×360 at (0,0) on display 1");
  EXPECT_EQ(outcome(regionConfig(0, 0, 640, 360, 1), 1, ShareableContent{}),
            "startStreamAsync: no display available for region capture");
  EXPECT_EQ(outcome(regionConfig(0, 0, 0, 600, 1)), noSize);
  EXPECT_EQ(outcome(regionConfig(0, 0, 800, 0, 1)), noSize);
  EXPECT_EQ(outcome(regionConfig(0, 0, -5, 600, 1)), noSize);
}

// Both at twice the surface, 30 per second, BGRA, unscaled; a window alone
// without the cursor, a region as the whole display cut, with it.
TEST(StreamPlan, WindowIsCapturedAloneAndARegionIsTheDisplayCutByTheSourceRect) {
  auto window = std::get<StreamPlan>(planStream(windowConfig(42), kContent, 2));
  auto region = std::get<StreamPlan>(planStream(regionConfig(-30, 20, 800, 600, 2), kContent, 1));
  for (const auto& config : {window.configuration, region.configuration}) {
    EXPECT_EQ(config.width(), 1280);
    EXPECT_EQ(config.height(), 720);
    EXPECT_EQ(config.minimumFrameInterval().value, 1);
    EXPECT_EQ(config.minimumFrameInterval().timescale, 30);
    EXPECT_EQ(config.pixelFormat(), 0x42475241u);
  }
  EXPECT_EQ(window.filter.kind(), ContentFilter::Kind::desktopIndependentWindow);
  EXPECT_EQ(window.filter.window().title, "Notes");
  EXPECT_FALSE(window.configuration.showsCursor());
  EXPECT_FALSE(window.configuration.sourceRect().has_value());
  EXPECT_EQ(region.filter.kind(), ContentFilter::Kind::display);
  EXPECT_EQ(region.filter.display().displayID, 2u);
  EXPECT_TRUE(region.configuration.showsCursor());
  ASSERT_TRUE(region.configuration.sourceRect().has_value());
  auto rect = *region.configuration.sourceRect();
  EXPECT_EQ((std::array{rect.x, rect.y, rect.width, rect.height}),
            (std::array{-30.0, 20.0, 800.0, 600.0}));
}

}  // namespace
}  // namespace fenwright
