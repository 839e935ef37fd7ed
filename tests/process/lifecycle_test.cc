// The real helper binary from the outside: its log, its surface as a client
// maps it, and its exit status.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "support/dialled_helper.h"
#include "support/helper_process.h"
#include "support/surface_probe.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kListenerOnly =
    "sentinel disabled — listener-only mode to drain pending dial then exit";
constexpr const char* kClientGone =
    "connection invalidated — extension disconnected; shutting down";
constexpr const char* kPatternStarted =
    "test-pattern render timer started @ 30Hz (no window picked)";

void expectExitZeroWhenTheClientGoes(DialledHelper& dialled) {
  dialled.hangUp();
  EXPECT_EQ(dialled.helper.waitForExit(10s), std::optional<int>(0)) << dialled.helper.log();
  EXPECT_EQ(dialled.helper.countContaining(kClientGone), 1u) << dialled.helper.log();
}

TEST(Lifecycle, WithoutASentinelItServesOneClientThenExitsZero) {
  SentinelHome home;
  DialledHelper dialled(home);
  ASSERT_NO_FATAL_FAILURE(dialled.start());
  HelperProcess& helper = dialled.helper;
  EXPECT_TRUE(helper.waitForLog(kListenerOnly)) << helper.log();

  const client::MappedSurface& surface = dialled.surface();
  EXPECT_EQ(surface.width(), 640u);
  EXPECT_EQ(surface.height(), 360u);
  EXPECT_EQ(surface.bytesPerRow(), 2560u);
  EXPECT_TRUE(copyFrame(surface));
  // Listener-only draws nothing: no pattern, no stream.
  EXPECT_EQ(helper.count(kPatternStarted), 0u);
  expectExitZeroWhenTheClientGoes(dialled);
}

// The client leaving ends a helper that is drawing, with status 0.
TEST(Lifecycle, EnabledWithoutAWindowShowsAMovingOpaquePatternUntilTheClientGoes) {
  SentinelHome home;
  ASSERT_EQ(home.write(patternSentinel()), "");
  DialledHelper dialled(home);
  ASSERT_NO_FATAL_FAILURE(dialled.start());
  HelperProcess& helper = dialled.helper;
  const client::MappedSurface& surface = dialled.surface();
  EXPECT_TRUE(helper.waitForLog(kPatternStarted)) << helper.log();

  auto first = waitForFrame(surface, [](const Frame& frame) {
    return frame.at(320, 180).r + frame.at(320, 180).g + frame.at(320, 180).b > 0;
  });
  ASSERT_TRUE(first.matched) << "the centre stayed black";
  EXPECT_TRUE(opaqueEverywhere(*first.last));
  auto later =
      waitForFrame(surface, [&](const Frame& frame) { return !frame.samePixels(*first.last); });
  EXPECT_TRUE(later.matched) << "the pattern did not move";
  EXPECT_TRUE(opaqueEverywhere(*later.last));
  expectExitZeroWhenTheClientGoes(dialled);
  EXPECT_EQ(helper.count("shutdown — invalidating listener + exit"), 1u) << helper.log();
}

// Switched off, deleted or broken while it runs, with its client still
// connected: the helper ends on its own.
struct SwitchOff {
  const char* name;
  const char* sentinel;  // none: the file is deleted
};

class SentinelSwitchOff : public ::testing::TestWithParam<SwitchOff> {};

TEST_P(SentinelSwitchOff, EndsTheRunningHelperWithStatusZero) {
  SentinelHome home;
  ASSERT_EQ(home.write(patternSentinel()), "");
  DialledHelper dialled(home);
  ASSERT_NO_FATAL_FAILURE(dialled.start());
  HelperProcess& helper = dialled.helper;
  ASSERT_TRUE(helper.waitForLog(kPatternStarted)) << helper.log();

  if (GetParam().sentinel) {
    ASSERT_EQ(home.write(GetParam().sentinel), "");
  } else {
    home.remove();
  }
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
  EXPECT_EQ(helper.count("sentinel flipped to disabled — shutting down"), 1u) << helper.log();
  // It went because of the file, not because the client left.
  EXPECT_EQ(helper.countContaining(kClientGone), 0u) << helper.log();
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, SentinelSwitchOff,
                         ::testing::Values(
                             SwitchOff{"Disabled", R"({"enabled": false, "window_id": 7})"},
                             SwitchOff{"Deleted", nullptr}, SwitchOff{"Broken", "{\"enabled\": tru"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace fenwright::testing
