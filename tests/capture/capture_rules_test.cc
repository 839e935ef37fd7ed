// The pure decisions of capture control, row by row: which reaction to a
// sentinel change and which stream; the source words (only the exact
// lower-case ones count) and a window id 0 show through both. (What a
// stream shows, a region's cursor included, and whether the window shows:
// the real helper, tests/process, and the service's VisibilityWatcher. A
// pick, a swap, a title alone, clearing and switching off, and a picked
// window that is gone: the service's SentinelWatcher and StreamStart, and
// the real helper.)

#include <gtest/gtest.h>

#include "capture/sentinel_reaction.h"
#include "capture/stream_plan.h"
#include "support/capture_fixtures.h"

namespace fenwright {
namespace {

const ShareableContent kContent = sampleContent();

PiPSentinelConfig with(PiPSentinelConfig config, auto change) {
  change(config);
  return config;
}

TEST(SentinelReaction, EachChangeGetsItsReactionAndItsLine) {
  using R = SentinelReaction;
  const auto w42 = windowConfig(42), none = windowConfig(std::nullopt);
  const auto region = regionConfig(0, 0, 800, 300);
  const std::tuple<PiPSentinelConfig, PiPSentinelConfig, R> cases[] = {
      {none, windowConfig(0), R::swap},
      {w42, regionConfig(10, 0, 800, 300), R::restart},
      {regionConfig(10, 0, 800, 300), region, R::restart},
      {w42, regionConfig(0, 0, 0, 300), R::testPattern},
      {w42, with(w42, [](auto& c) { c.regionDisplayID = 2; }), R::restart},
      {region, with(region, [](auto& c) { c.windowID = 42; }), R::restart},
      {windowConfig(42, "Region"), windowConfig(43, "Region"), R::restart},
      {windowConfig(42, "Region"), windowConfig(std::nullopt, "Region"), R::testPattern},
  };
  int row = 0;
  for (const auto& [current, fresh, expected] : cases)
    EXPECT_EQ(sentinelReaction(current, fresh), expected) << row++;
  EXPECT_EQ(sentinelChangeLine(w42, windowConfig(43)),
            "sentinel changed: source window → window, wid 42 → 43");
  EXPECT_EQ(sentinelChangeLine(none, windowConfig(0)),
            "sentinel changed: source window → window, wid nil → 0");
  EXPECT_EQ(sentinelChangeLine(w42, region),
            "sentinel changed: source window → region, wid 42 → nil");
}

// What the start logs: the description of the stream, or why there is none.
TEST(StreamPlan, DescribesWhatIsCapturedOrWhyNot) {
  const std::string noWindow =
      "startStreamAsync: window mode without window_id; falling back to test pattern";
  const std::string noSize =
      "startStreamAsync: region mode without dimensions; falling back to test pattern";
  const std::tuple<PiPSentinelConfig, std::uint32_t, ShareableContent, std::string> cases[] = {
      {windowConfig(43), 2, kContent, "window id=43 title=<untitled>"},
      {windowConfig(44), 2, kContent, "window id=44 title=Minimised"},
      {windowConfig(std::nullopt), 2, kContent, noWindow},
      {windowConfig(std::nullopt, "Region"), 2, kContent, noWindow},
      {regionConfig(10, 20, 800, 600, 1), 2, kContent, "region 800×600 at (10,20) on display 1"},
      {regionConfig(-30, -4, 100, 50, 1), 2, kContent, "region 100×50 at (-30,-4) on display 1"},
      {regionConfig(0, 0, 640, 360, 0), 2, kContent, "region 640×360 at (0,0) on display 2"},
      {regionConfig(0, 0, 640, 360, 77), 2, kContent, "region 640×360 at (0,0) on display 2"},
      {regionConfig(0, 0, 640, 360, 77), 9, kContent, "region 640×360 at (0,0) on display 1"},
      {regionConfig(0, 0, 640, 360, 1), 1, ShareableContent{},
       "startStreamAsync: no display available for region capture"},
      {regionConfig(0, 0, 0, 600, 1), 2, kContent, noSize},
      {regionConfig(0, 0, 800, 0, 1), 2, kContent, noSize},
      {regionConfig(0, 0, -5, 600, 1), 2, kContent, noSize},
  };
  for (const auto& [config, mainDisplay, content, expected] : cases) {
    auto plan = planStream(config, content, mainDisplay);
    const auto* fallback = std::get_if<StreamFallback>(&plan);
    EXPECT_EQ(fallback ? fallback->reason : std::get<StreamPlan>(plan).description, expected);
  }
}

}  // namespace
}  // namespace fenwright
