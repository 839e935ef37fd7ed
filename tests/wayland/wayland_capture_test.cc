// The helper on a Wayland desktop: native windows of one colour in a
// headless GNOME session (scripts/wayland_session.sh), picked through the
// ScreenCast portal, checked through the surface a client maps. The pick a
// user makes in the portal's dialog is written beforehand, as the portal
// itself stores it, so no dialog opens.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "platform/wayland/portal_pick.h"
#include "support/helper_process.h"
#include "support/surface_probe.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kBlue = 0x0000ff;
constexpr std::uint32_t kRed = 0xff0000;
// Opening a pick, a window's first picture: up to seconds on a busy machine.
constexpr auto kGenerous = 20s;

std::string newToken() {
  std::ifstream in("/proc/sys/kernel/random/uuid");
  std::string token;
  in >> token;
  return token;
}

// Stores a pick of a source under a new token, as the portal does after
// its dialog (GNOME's form: the stream's type and what finds it again).
std::string permit(const std::string& streams) {
  const std::string token = newToken();
  const std::string data = "<('GNOME', uint32 1, <(int64 0, int64 0, [" + streams + "])>)>";
  int status = runProgram({"gdbus", "call", "--session", "--dest",
                           "org.freedesktop.impl.portal.PermissionStore", "--object-path",
                           "/org/freedesktop/impl/portal/PermissionStore", "--method",
                           "org.freedesktop.impl.portal.PermissionStore.Set", "screencast", "true",
                           token, "{'': ['yes']}", data});
  return status == 0 ? token : std::string();
}

// A native Wayland window of one colour: a terminal that shows nothing but
// its background, known to the shell as the app fenwright-<name>.
class ColourWindow {
 public:
  ColourWindow(const std::string& name, std::uint32_t rgb, const std::filesystem::path& dir)
      : name_(name), title_("Fenwright " + name) {
    char colour[7];
    std::snprintf(colour, sizeof colour, "%06x", rgb);
    const auto ready = dir / (name + ".ready");
    ChildProcess::Options options;
    options.argv = {"foot", "--app-id", "fenwright-" + name, "--title", title_,
                    "-o", std::string("colors.background=") + colour,
                    "-o", std::string("colors.foreground=") + colour,
                    "-o", std::string("cursor.color=") + colour + " " + colour,
                    "--", "sh", "-c", "touch '" + ready.string() + "'; exec sleep 600"};
    options.quiet = true;
    process_ = ChildProcess::spawn(options);
    // The shell runs once the terminal is up; the window is mapped a moment
    // later.
    if (eventually([&] { return std::filesystem::exists(ready); }, kGenerous))
      std::this_thread::sleep_for(500ms);
  }
  std::string permit() const {
    return fenwright::testing::permit("(uint32 0, uint32 2, <('fenwright-" + name_ +
                                      ".desktop', '" + title_ + "')>)");
  }
  void close() { process_.reset(); }

 private:
  std::string name_;
  std::string title_;
  std::unique_ptr<ChildProcess> process_;
};

std::string windowSentinel(const std::string& token, const std::string& title) {
  return R"({"enabled": true, "source": "window", "window_id": )" +
         std::to_string(wayland::portalPickID(token)) + R"(, "window_title": ")" + title +
         R"(", "portal_restore_token": ")" + token + R"("})";
}

bool shows(const Frame& frame, std::uint32_t rgb) {
  return frame.near(320, 180, rgb, 8) && frame.near(0, 0, 0x000000, 0);
}

class WaylandCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("WAYLAND_DISPLAY"), nullptr) << "run through scripts/wayland_session.sh";
    ::setenv("XDG_STATE_HOME", state.path().c_str(), 1);
  }
  void startOn(std::uint32_t rgb) {
    ASSERT_NO_FATAL_FAILURE(helper.startDialled());
    auto shown = waitForFrame(helper.surface(), [&](const Frame& f) { return shows(f, rgb); },
                              kGenerous);
    ASSERT_TRUE(shown.matched) << shown.last->at(320, 180).text() << "\n" << helper.log();
  }

  TempDir state;
  SentinelHome home;
  HelperProcess helper{home};
};

TEST_F(WaylandCapture, AWindowShowsCentredSendsNothingWhileStillAndItsCloseIsLogged) {
  ColourWindow blue("blue", kBlue, state.path());
  const std::string token = blue.permit();
  ASSERT_EQ(home.write(windowSentinel(token, "Fenwright blue")), "");
  ASSERT_NO_FATAL_FAILURE(startOn(kBlue));
  EXPECT_EQ(helper.count("capture backend: Wayland (ScreenCast portal + PipeWire)"), 1u);

  const std::uint32_t seed = helper.surface().seed();
  std::this_thread::sleep_for(5s);
  EXPECT_EQ(helper.surface().seed(), seed) << "a still window was drawn again";

  blue.close();
  EXPECT_TRUE(helper.waitForLog("SCStream stopped with error: the portal closed", kGenerous));
}

TEST_F(WaylandCapture, SwapsBetweenPickedWindowsAndARestartOpensTheLastWithoutADialog) {
  ColourWindow blue("blue", kBlue, state.path());
  ColourWindow red("red", kRed, state.path());
  const std::string redToken = red.permit();
  ASSERT_EQ(home.write(windowSentinel(blue.permit(), "Fenwright blue")), "");
  ASSERT_NO_FATAL_FAILURE(startOn(kBlue));

  ASSERT_EQ(home.write(windowSentinel(redToken, "Fenwright red")), "");
  auto swapped = waitForFrame(helper.surface(), [](const Frame& f) { return shows(f, kRed); },
                              kGenerous);
  EXPECT_TRUE(swapped.matched) << helper.log();
  EXPECT_EQ(helper.count("SCStream started"), 1u) << "not swapped in place";

  // The helper leaves with its client; the next one opens the same pick
  // with the token the last session handed on.
  helper.hangUp();
  ASSERT_EQ(helper.waitForExit(kGenerous), 0);
  HelperProcess restarted{home};
  ASSERT_NO_FATAL_FAILURE(restarted.startDialled());
  auto shown = waitForFrame(restarted.surface(), [](const Frame& f) { return shows(f, kRed); },
                            kGenerous);
  EXPECT_TRUE(shown.matched) << restarted.log();
  EXPECT_EQ(restarted.count(" <error> "), 0u) << restarted.log();
}

TEST_F(WaylandCapture, ARegionIsCutFromItsMonitor) {
  // The shell's virtual monitor, as GNOME's portal names monitors.
  const std::string token =
      permit("(uint32 0, uint32 1, <'MetaVendor:MetaVirtualMonitor:0x00'>)");
  ASSERT_EQ(home.write(R"({"enabled": true, "source": "region", "region_x": 0, "region_y": 0,
                           "region_width": 1280, "region_height": 360,
                           "portal_restore_token": ")" + token + R"("})"),
            "");
  ASSERT_NO_FATAL_FAILURE(helper.startDialled());
  // The top half of the monitor fits the surface's width: 640x180 between
  // black bands of 90 rows.
  auto cut = waitForFrame(helper.surface(), [](const Frame& f) {
    return f.near(320, 40, 0x000000, 0) && f.near(320, 320, 0x000000, 0) &&
           !f.near(320, 180, 0x000000, 0) && !f.near(320, 95, 0x000000, 0);
  }, kGenerous);
  EXPECT_TRUE(cut.matched) << helper.log();
  EXPECT_EQ(helper.count("SCStream started — region 1280×360 at (0,0)"), 1u);
}

TEST_F(WaylandCapture, ATokenThatNoLongerOpensItsPickGivesOneErrorAndTheTestPattern) {
  const std::string token = newToken();
  ASSERT_EQ(home.write(windowSentinel(token, "gone")), "");
  ASSERT_NO_FATAL_FAILURE(helper.startDialled());
  EXPECT_TRUE(helper.waitForLog("SCStream start failed: the portal could not open", kGenerous));
  EXPECT_TRUE(helper.waitForLog("test-pattern render timer started"));
  EXPECT_EQ(helper.count(" <error> "), 1u) << helper.log();
}

}  // namespace
}  // namespace fenwright::testing
