// With a window manager (openbox on a private server): the client list,
// minimised windows and desktops.

#include <chrono>

#include <gtest/gtest.h>

#include "capture_session.h"
#include "support/eventually.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

class WindowManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = XServer::start("1280x720");
    ASSERT_TRUE(server);
    ASSERT_TRUE(server->startWindowManager());
    capture = makeX11ScreenCapture(server->display());
  }

  // The window's entry once `accept` holds for it (a window manager acts
  // on its own time); absent: nullopt.
  std::optional<CaptureWindow> entryWhen(std::uint32_t id,
                                         const std::function<bool(const CaptureWindow*)>& accept,
                                         bool onScreenWindowsOnly = false) {
    std::optional<CaptureWindow> entry;
    EXPECT_TRUE(eventually(
        [&] {
          auto content = queryContent(*capture, false, onScreenWindowsOnly);
          const CaptureWindow* window = content ? findWindow(content.value(), id) : nullptr;
          entry = window ? std::optional<CaptureWindow>(*window) : std::nullopt;
          return content && accept(window);
        },
        10s, 50ms))
        << "gave up waiting for window " << id;
    return entry;
  }

  std::unique_ptr<XServer> server;
  std::shared_ptr<ScreenCapture> capture;
};

auto onScreen = [](const CaptureWindow* w) { return w != nullptr && w->isOnScreen; };
auto offScreen = [](const CaptureWindow* w) { return w != nullptr && !w->isOnScreen; };
auto absent = [](const CaptureWindow* w) { return w == nullptr; };

// Listed while managed, off screen while minimised or on another desktop,
// gone once destroyed; its stream pauses while minimised and shows the new
// look once it is back.
TEST_F(WindowManagerTest, AManagedWindowIsListedStreamedAndPausedWhileMinimised) {
  auto window = TestWindowProcess::start(server->display(), {"--title", "managed ✓"});
  ASSERT_TRUE(window);
  auto shown = entryWhen(window->id(), onScreen);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->title, std::optional<std::string>("managed ✓"));
  CaptureSession session(server->display());
  ASSERT_TRUE(session.startWindow(window->id()));
  auto first = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.at(160, 90) == opaque(0xD02020); });
  ASSERT_TRUE(first);

  ASSERT_TRUE(window->command("iconify"));
  EXPECT_TRUE(entryWhen(window->id(), offScreen));
  EXPECT_FALSE(entryWhen(window->id(), absent, /*onScreenWindowsOnly=*/true));
  ASSERT_TRUE(window->command("fill 00FF00"));
  ASSERT_TRUE(window->command("map"));
  EXPECT_TRUE(entryWhen(window->id(), onScreen));
  EXPECT_TRUE(session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.centre() == opaque(0x00FF00); }, 10s,
      first->sequence));
  EXPECT_TRUE(session.recorder().stopErrors().empty());

  ASSERT_TRUE(window->command("desktop 1"));
  EXPECT_TRUE(entryWhen(window->id(), offScreen));
  session.dropStream();
  ASSERT_TRUE(window->command("destroy"));
  EXPECT_FALSE(entryWhen(window->id(), absent));
}

}  // namespace
}  // namespace fenwright::testing
