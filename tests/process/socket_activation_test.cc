// The helper started by systemd socket activation: the launcher holds the
// socket and starts the helper on the first dial.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>

#include "support/helper_process.h"
#include "support/surface_probe.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kLauncher = "/usr/bin/systemd-socket-activate";

TEST(SocketActivation, ServesThroughThePassedSocket) {
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
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(activated); }, 10s)) << helper.log();

  auto client = client::FenwrightClient::connect(activated);
  ASSERT_TRUE(client) << client.error() << "\n" << helper.log();
  auto surface = client->fetchSurface(10s);
  ASSERT_TRUE(surface && surface->has_value()) << surface.error() << "\n" << helper.log();
  EXPECT_TRUE(helper.waitForLog("listener: using " + activated.string() + " passed by systemd"))
      << helper.log();
  EXPECT_FALSE(std::filesystem::exists(helper.socketPath()));

  auto moving = waitForFrame(**surface, [](const Frame& frame) {
    return frame.at(320, 180).r + frame.at(320, 180).g + frame.at(320, 180).b > 0;
  });
  EXPECT_TRUE(moving.matched) << "no pattern through the activated socket";

  client = unexpected("closed");
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
}

}  // namespace
}  // namespace fenwright::testing
