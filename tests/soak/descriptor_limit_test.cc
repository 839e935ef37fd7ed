// The helper started with only 32 descriptors allowed (a tight `ulimit -n`
// in the session that starts it). It needs about 20 while it captures a
// window and serves one client, so it must work as usual.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "support/helper_process.h"
#include "support/surface_probe.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr Quadrants kColors{{0xD02020, 0x20B040, 0x2040D0, 0xE0C020}};
constexpr Placement kPlacement{80, 0, 480, 360};  // a 1200x900 window

// The "Max open files" line of /proc/PID/limits.
std::string openFilesLimit(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("Max open files", 0) == 0) return line;
  return {};
}

TEST(Soak, ThirtyTwoDescriptorsAreEnoughToCaptureAndServe) {
  const std::string& display = sharedDisplay();
  auto window =
      TestWindowProcess::start(display, {"--size", "1200x900", "--colors", kColors.argument()});
  ASSERT_TRUE(window);
  SentinelHome home;
  ASSERT_EQ(writeSentinel(home, windowSentinel(window->id())), "");
  HelperProcess helper(home);
  // sh sets soft and hard limit alike; exec keeps the pid ours to watch.
  ASSERT_TRUE(
      helper.start({"/bin/sh", "-c", "ulimit -n 32 && exec \"$0\""}, {{"DISPLAY", display}}));
  auto client = connectWhenListening(helper);
  ASSERT_TRUE(client) << client.error();
  EXPECT_NE(openFilesLimit(helper.process().pid()).find(" 32 "), std::string::npos)
      << openFilesLimit(helper.process().pid());

  auto surface = client->fetchSurface();
  ASSERT_TRUE(surface && surface->has_value()) << surface.error() << "\n" << helper.log();
  EXPECT_TRUE(waitForFrame(**surface, [](const Frame& f) {
                return showsQuadrants(f, kPlacement, kColors);
              }).matched)
      << helper.log();
  // A few more fetches: each briefly opens two descriptors of its own.
  for (int i = 0; i < 20; ++i) {
    auto again = client->fetchSurface();
    ASSERT_TRUE(again && again->has_value()) << again.error() << "\n" << helper.log();
  }
  const ProcessFootprint footprint = processFootprint(helper.process().pid());
  std::printf("soak: under ulimit -n 32 the helper holds %ld descriptors\n", footprint.fds);
  EXPECT_LE(footprint.fds, 32);
  EXPECT_EQ(helper.countContaining("Too many open files"), 0u) << helper.log();

  client = unexpected("closed");
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
}

}  // namespace
}  // namespace fenwright::testing
