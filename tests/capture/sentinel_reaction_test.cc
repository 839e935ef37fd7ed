#include <gtest/gtest.h>

#include "capture/sentinel_reaction.h"
#include "support/capture_fixtures.h"

namespace fenwright {
namespace {

PiPSentinelConfig with(PiPSentinelConfig config, auto change) {
  change(config);
  return config;
}

TEST(SentinelReaction, EachChangeGetsItsReaction) {
  using R = SentinelReaction;
  struct Case {
    PiPSentinelConfig current, fresh;
    R expected;
  };
  const Case cases[] = {
      {windowConfig(42), with(windowConfig(42), [](auto& c) { c.enabled = false; }), R::shutDown},
      {windowConfig(42), PiPSentinelConfig{}, R::shutDown},
      {windowConfig(42), with(windowConfig(42), [](auto& c) { c.windowTitle = "Renamed"; }),
       R::nothing},
      {windowConfig(42), windowConfig(43), R::swap},
      {windowConfig(std::nullopt), windowConfig(42), R::swap},
      {windowConfig(std::nullopt), windowConfig(0), R::swap},
      {windowConfig(42), windowConfig(std::nullopt), R::testPattern},
      {windowConfig(42), regionConfig(10, 0, 800, 300), R::restart},
      {regionConfig(10, 0, 800, 300), regionConfig(0, 0, 800, 300), R::restart},
      {windowConfig(42), regionConfig(0, 0, 0, 300), R::testPattern},
      {windowConfig(42), with(windowConfig(42), [](auto& c) { c.regionDisplayID = 2; }), R::restart},
      {regionConfig(0, 0, 800, 300),
       with(regionConfig(0, 0, 800, 300), [](auto& c) { c.windowID = 42; }), R::restart},
      {windowConfig(42, "Region"), windowConfig(43, "Region"), R::restart},
      {windowConfig(42, "Region"), windowConfig(std::nullopt, "Region"), R::testPattern},
  };
  int row = 0;
  for (const auto& c : cases) EXPECT_EQ(sentinelReaction(c.current, c.fresh), c.expected) << row++;
}

TEST(SentinelReaction, ChangeLineShowsOldThenNewAndAnAbsentWindowAsNil) {
  EXPECT_EQ(sentinelChangeLine(windowConfig(42), windowConfig(43)),
            "sentinel changed: source window → window, wid 42 → 43");
  EXPECT_EQ(sentinelChangeLine(windowConfig(std::nullopt), windowConfig(0)),
            "sentinel changed: source window → window, wid nil → 0");
  EXPECT_EQ(sentinelChangeLine(windowConfig(42), regionConfig(0, 0, 800, 300)),
            "sentinel changed: source window → region, wid 42 → nil");
}

}  // namespace
}  // namespace fenwright
