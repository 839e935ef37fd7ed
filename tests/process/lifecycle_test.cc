// The real helper binary from the outside: its log, its surface as a client
// maps it, and its exit status, started by hand or by socket activation.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
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

// Without a sentinel it serves the surface and draws nothing; the client
// leaving ends it with status 0. (Leaving with the client while the
// pattern runs: SocketActivation, and the soak, SevenHundredClients.)
TEST(Lifecycle, WithoutASentinelServesOneClientDrawingNothingAndExitsZeroWhenItGoes) {
  SentinelHome home;
  HelperProcess helper{home};
  ASSERT_NO_FATAL_FAILURE(helper.startDialled());
  const client::MappedSurface& surface = helper.surface();
  EXPECT_EQ(std::tuple(surface.width(), surface.height(), surface.bytesPerRow()),
            std::tuple(640u, 360u, 2560u));
  EXPECT_TRUE(copyFrame(surface));
  EXPECT_TRUE(helper.waitForLog(
      "sentinel disabled — listener-only mode to drain pending dial then exit"));
  helper.hangUp();
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
  EXPECT_EQ(helper.count(kClientGone), 1u) << helper.log();
  EXPECT_EQ(helper.count(kPatternStarted), 0u) << helper.log();
  EXPECT_EQ(helper.count("shutdown — invalidating listener + exit"), 1u) << helper.log();
}

// Enabled with no window: a moving opaque pattern. Switched off, deleted
// or broken while it runs, with its client still connected: the helper
// ends on its own, because of the file.
TEST(Lifecycle, DrawsAMovingPatternUntilTheSentinelIsSwitchedOffDeletedOrBrokenThenExitsZero) {
  for (const char* sentinel : {R"({"enabled": false, "window_id": 7})", "", "{\"enabled\": tru"}) {
    SCOPED_TRACE(*sentinel ? sentinel : "deleted");
    SentinelHome home;
    ASSERT_EQ(home.write(patternSentinel()), "");
    HelperProcess helper{home};
    ASSERT_NO_FATAL_FAILURE(helper.startDialled());
    ASSERT_TRUE(helper.waitForLog(kPatternStarted));
    auto drawn = waitForFrame(helper.surface(), [](const Frame& f) { return opaqueEverywhere(f); });
    ASSERT_TRUE(drawn.matched) << helper.log();
    EXPECT_TRUE(waitForFrame(helper.surface(), [&](const Frame& f) {
                  return !f.samePixels(*drawn.last) && opaqueEverywhere(f);
                }).matched) << "the pattern did not move";
    if (*sentinel) {
      ASSERT_EQ(home.write(sentinel), "");
    } else {
      home.remove();
    }
    EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
    EXPECT_EQ(helper.count("sentinel flipped to disabled — shutting down"), 1u) << helper.log();
    EXPECT_EQ(helper.count(kClientGone), 0u) << helper.log();
    EXPECT_EQ(helper.count(kPatternStarted), 1u) << helper.log();
  }
}

// Started by systemd socket activation: the launcher holds the socket and
// starts the helper on the first dial.
TEST(SocketActivation, ServesThroughThePassedSocket) {
  constexpr const char* kLauncher = "/usr/bin/systemd-socket-activate";
  if (::access(kLauncher, X_OK) != 0) GTEST_SKIP() << kLauncher << " is not installed";
  SentinelHome home;
  ASSERT_EQ(home.write(patternSentinel()), "");
  HelperProcess helper(home);
  // A path of its own, so a helper binding its usual socket would not be
  // found here.
  const std::filesystem::path activated = helper.socketPath().parent_path() / "activated.sock";
  // The launcher hands its children only the variables named here.
  ASSERT_TRUE(helper.start({kLauncher, "-l", activated.string(), "--seqpacket", "-E",
                            "XDG_DATA_HOME", "-E", "XDG_RUNTIME_DIR"}));
  // The launcher binds before it listens: a dial in between is refused.
  Expected<client::FenwrightClient> client = unexpected("not dialled");
  eventually([&] { return bool(client = client::FenwrightClient::connect(activated)); }, 10s);
  ASSERT_TRUE(client) << client.error() << "\n" << helper.log();
  auto surface = client->fetchSurface(10s);
  ASSERT_TRUE(surface && surface->has_value()) << surface.error() << "\n" << helper.log();
  EXPECT_TRUE(helper.waitForLog("listener: using " + activated.string() + " passed by systemd"));
  EXPECT_FALSE(std::filesystem::exists(helper.socketPath()));

  client = unexpected("closed");
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
}

}  // namespace
}  // namespace fenwright::testing
