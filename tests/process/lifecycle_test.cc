// The real helper binary from the outside: its log, its surface as a client
// maps it, and its exit status.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <tuple>

#include "support/helper_process.h"
#include "support/surface_probe.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kClientGone =
    "connection invalidated — extension disconnected; shutting down";
constexpr const char* kPatternStarted =
    "test-pattern render timer started @ 30Hz (no window picked)";

// Without a sentinel it serves the surface and draws nothing; with one and
// no window, a moving opaque pattern. Either way the client leaving ends it
// with status 0.
TEST(Lifecycle, ServesOneClientDrawingThePatternOnlyWhenEnabledAndExitsZeroWhenItGoes) {
  for (bool enabled : {false, true}) {
    SCOPED_TRACE(enabled ? "enabled" : "no sentinel");
    SentinelHome home;
    ASSERT_EQ(enabled ? home.write(patternSentinel()) : "", "");
    HelperProcess helper{home};
    ASSERT_NO_FATAL_FAILURE(helper.startDialled());
    const client::MappedSurface& surface = helper.surface();
    EXPECT_EQ(std::tuple(surface.width(), surface.height(), surface.bytesPerRow()),
              std::tuple(640u, 360u, 2560u));
    if (enabled) {
      auto first = waitForFrame(surface, [](const Frame& f) {
        return f.at(320, 180).r + f.at(320, 180).g + f.at(320, 180).b > 0 && opaqueEverywhere(f);
      });
      ASSERT_TRUE(first.matched) << helper.log();
      auto later = waitForFrame(surface, [&](const Frame& f) {
        return !f.samePixels(*first.last) && opaqueEverywhere(f);
      });
      EXPECT_TRUE(later.matched) << "the pattern did not move";
    } else {
      EXPECT_TRUE(copyFrame(surface));
      EXPECT_TRUE(helper.waitForLog(
          "sentinel disabled — listener-only mode to drain pending dial then exit"))
          << helper.log();
    }
    helper.hangUp();
    EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
    EXPECT_EQ(helper.count(kClientGone), 1u) << helper.log();
    EXPECT_EQ(helper.count(kPatternStarted), enabled ? 1u : 0u) << helper.log();
    EXPECT_EQ(helper.count("shutdown — invalidating listener + exit"), 1u) << helper.log();
  }
}

// Switched off, deleted or broken while it runs, with its client still
// connected: the helper ends on its own, because of the file.
TEST(Lifecycle, SentinelSwitchedOffDeletedOrBrokenEndsTheHelperWithStatusZero) {
  for (const char* sentinel : {R"({"enabled": false, "window_id": 7})", "", "{\"enabled\": tru"}) {
    SCOPED_TRACE(*sentinel ? sentinel : "deleted");
    SentinelHome home;
    ASSERT_EQ(home.write(patternSentinel()), "");
    HelperProcess helper{home};
    ASSERT_NO_FATAL_FAILURE(helper.startDialled());
    ASSERT_TRUE(helper.waitForLog(kPatternStarted)) << helper.log();
    if (*sentinel) {
      ASSERT_EQ(home.write(sentinel), "");
    } else {
      home.remove();
    }
    EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
    EXPECT_EQ(helper.count("sentinel flipped to disabled — shutting down"), 1u) << helper.log();
    EXPECT_EQ(helper.count(kClientGone), 0u) << helper.log();
  }
}

}  // namespace
}  // namespace fenwright::testing
