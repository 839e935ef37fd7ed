// The sentinel rewritten far faster than the helper polls it, while a
// client streams: the helper must stay up, keep answering, and end on the
// last file written.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/helper_process.h"
#include "support/surface_probe.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

// Window A, window B, a region, then one of these: valid JSON that keeps
// the helper on but names nothing sensible (wrong types, out-of-range
// numbers, a region off the screen or on no display). A file
// that is not JSON at all means "off" and would rightly end the helper.
const std::vector<std::string> kHostile = {
    R"({"enabled": true, "window_id": "42"})",
    R"({"enabled": true, "window_id": 4294967296, "extra": [1, {"a": null}]})",
    R"({"enabled": true, "source": "region", "region_x": -5000, "region_y": 99999,)"
    R"( "region_width": 100000, "region_height": 1})",
    R"({"enabled": true, "source": "region", "region_width": 300, "region_height": 200,)"
    R"( "region_display_id": 4294967295})",
};

TEST(Soak, SentinelRewrittenTwoHundredTimesASecond) {
  const std::string& display = sharedDisplay();
  auto windowA =
      TestWindowProcess::start(display, {"--size", "1200x900", "--colors", kQuadrantsA.argument()});
  auto windowB = TestWindowProcess::start(
      display, {"--size", "1200x900", "--pos", "1200,0", "--colors", kQuadrantsB.argument()});
  ASSERT_TRUE(windowA && windowB);
  const std::vector<std::string> rotation = {
      windowSentinel(windowA->id()), windowSentinel(windowB->id()), regionSentinel(0, 0, 640, 360)};
  // Each write syncs the file; on a tmpfs that costs nothing, so the rate
  // is the helper's problem, not the disk's.
  SentinelHome home(std::filesystem::is_directory("/dev/shm")
                        ? "/dev/shm"
                        : std::filesystem::temp_directory_path());
  ASSERT_EQ(home.write(rotation[0]), "");
  HelperProcess helper{home};
  ASSERT_NO_FATAL_FAILURE(helper.startDialled(display));

  const auto duration = soakDuration(10);
  std::atomic<bool> writing{true};
  int written = 0;
  std::string writeFailure;
  std::thread writer([&] {
    const auto began = std::chrono::steady_clock::now();
    // 200 a second, a late write not making the next ones hurry; the last
    // word is window B.
    for (auto next = began; writeFailure.empty() && next < began + duration; ++written) {
      writeFailure = home.write(written % 4 < 3 ? rotation[written % 4]
                                                : kHostile[(written / 4) % kHostile.size()]);
      next = std::max(next + 5ms, std::chrono::steady_clock::now());
      std::this_thread::sleep_until(next);
    }
    if (writeFailure.empty()) writeFailure = home.write(rotation[1]);
    writing = false;
  });
  // Meanwhile the client keeps asking and reading, as a panel would.
  bool answering = true;
  for (; writing; std::this_thread::sleep_for(100ms)) {
    auto again = helper.client().fetchSurface();
    answering = answering && again && again->has_value() && copyFrame(helper.surface());
  }
  writer.join();
  std::printf("soak: %d sentinel writes in %lld s, %zu pauses\n", written,
              static_cast<long long>(duration.count()), helper.count("→ pause"));
  ASSERT_EQ(writeFailure, "");
  EXPECT_TRUE(answering && helper.process().running()) << helper.log();
  EXPECT_GE(written, static_cast<int>(duration.count()) * 100);
  // It kept polling throughout (every 150 ms, most polls see a change).
  EXPECT_GE(helper.count("sentinel changed"),
            static_cast<std::size_t>(duration.count()) * 3)
      << helper.log().substr(0, 20000);

  auto last = waitRepainting(
      helper.surface(), [](const Frame& f) { return showsQuadrants(f, kFourByThree, kQuadrantsB); },
      [&] { return windowB->command("repaint"); }, 8s);
  EXPECT_TRUE(last.matched) << describeQuadrants(*last.last, kFourByThree) << "\n"
                            << helper.log().substr(0, 20000);
  // And it still leaves cleanly with its client.
  helper.hangUp();
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log().substr(0, 20000);
}

}  // namespace
}  // namespace fenwright::testing
