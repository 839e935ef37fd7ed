#include <gtest/gtest.h>

#include "capture/sentinel_reaction.h"

namespace fenwright {
namespace {

PiPSentinelConfig window(std::optional<std::uint32_t> id, const char* source = "window") {
  PiPSentinelConfig config;
  config.enabled = true;
  config.source = source;
  config.windowID = id;
  return config;
}

PiPSentinelConfig region(std::int64_t x, std::int64_t w, std::uint32_t display = 1) {
  PiPSentinelConfig config = window(std::nullopt, "region");
  config.regionX = x;
  config.regionWidth = w;
  config.regionHeight = 300;
  config.regionDisplayID = display;
  return config;
}

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
      {window(42), with(window(42), [](auto& c) { c.enabled = false; }), R::shutDown},
      {window(42), PiPSentinelConfig{}, R::shutDown},
      {window(42), with(window(42), [](auto& c) { c.windowTitle = "Renamed"; }), R::nothing},
      {window(42), window(43), R::swap},
      {window(std::nullopt), window(42), R::swap},
      {window(std::nullopt), window(0), R::swap},
      {window(42), window(std::nullopt), R::testPattern},
      {window(42), region(10, 800), R::restart},
      {region(10, 800), region(0, 800), R::restart},
      {window(42), region(0, 0), R::testPattern},
      {window(42), with(window(42), [](auto& c) { c.regionDisplayID = 2; }), R::restart},
      {region(0, 800), with(region(0, 800), [](auto& c) { c.windowID = 42; }), R::restart},
      {window(42, "Region"), window(43, "Region"), R::restart},
      {window(42, "Region"), window(std::nullopt, "Region"), R::testPattern},
  };
  int row = 0;
  for (const auto& c : cases) EXPECT_EQ(sentinelReaction(c.current, c.fresh), c.expected) << row++;
}

TEST(SentinelReaction, ChangeLineShowsOldThenNewAndAnAbsentWindowAsNil) {
  EXPECT_EQ(sentinelChangeLine(window(42), window(43)),
            "sentinel changed: source window → window, wid 42 → 43");
  EXPECT_EQ(sentinelChangeLine(window(std::nullopt), window(0)),
            "sentinel changed: source window → window, wid nil → 0");
  EXPECT_EQ(sentinelChangeLine(window(42), region(0, 800)),
            "sentinel changed: source window → region, wid 42 → nil");
}

}  // namespace
}  // namespace fenwright
