#include <gtest/gtest.h>

#include "capture/sentinel_reaction.h"
#include "config_builders.h"

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
      {windowPick(42), with(windowPick(42), [](auto& c) { c.enabled = false; }), R::shutDown},
      {windowPick(42), PiPSentinelConfig{}, R::shutDown},
      {windowPick(42), with(windowPick(42), [](auto& c) { c.windowTitle = "Renamed"; }),
       R::nothing},
      {windowPick(42), windowPick(43), R::swap},
      {windowPick(std::nullopt), windowPick(42), R::swap},
      {windowPick(std::nullopt), windowPick(0), R::swap},
      {windowPick(42), windowPick(std::nullopt), R::testPattern},
      {windowPick(42), regionPick(10, 0, 800, 300), R::restart},
      {regionPick(10, 0, 800, 300), regionPick(0, 0, 800, 300), R::restart},
      {windowPick(42), regionPick(0, 0, 0, 300), R::testPattern},
      {windowPick(42), with(windowPick(42), [](auto& c) { c.regionDisplayID = 2; }), R::restart},
      {regionPick(0, 0, 800, 300),
       with(regionPick(0, 0, 800, 300), [](auto& c) { c.windowID = 42; }), R::restart},
      {windowPick(42, "Region"), windowPick(43, "Region"), R::restart},
      {windowPick(42, "Region"), windowPick(std::nullopt, "Region"), R::testPattern},
  };
  int row = 0;
  for (const auto& c : cases) EXPECT_EQ(sentinelReaction(c.current, c.fresh), c.expected) << row++;
}

TEST(SentinelReaction, ChangeLineShowsOldThenNewAndAnAbsentWindowAsNil) {
  EXPECT_EQ(sentinelChangeLine(windowPick(42), windowPick(43)),
            "sentinel changed: source window → window, wid 42 → 43");
  EXPECT_EQ(sentinelChangeLine(windowPick(std::nullopt), windowPick(0)),
            "sentinel changed: source window → window, wid nil → 0");
  EXPECT_EQ(sentinelChangeLine(windowPick(42), regionPick(0, 0, 800, 300)),
            "sentinel changed: source window → region, wid 42 → nil");
}

}  // namespace
}  // namespace fenwright
