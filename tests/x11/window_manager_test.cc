// With a window manager (openbox on a private server), which reparents
// what it manages and acts on its own time.

#include <chrono>

#include <gtest/gtest.h>

#include "capture_session.h"
#include "support/eventually.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

// Listed while managed, off screen while minimised or on another desktop,
// gone once destroyed; its stream pauses while minimised and shows the new
// look once it is back.
TEST(WindowManager, AManagedWindowIsListedStreamedAndPausedWhileMinimised) {
  auto server = XServer::start("1280x720");
  ASSERT_TRUE(server && server->startWindowManager());
  auto capture = makeX11ScreenCapture(server->display());
  auto window = TestWindowProcess::start(server->display(), {"--title", "managed ✓"});
  ASSERT_TRUE(window);
  // Absent: null; else whether it is on screen (and its title).
  std::optional<CaptureWindow> entry;
  auto listed = [&](std::optional<bool> onScreen, bool onScreenOnly = false) {
    return eventually(
        [&] {
          auto content = queryContent(*capture, false, onScreenOnly);
          entry.reset();
          for (const auto& w : content ? content.value().windows : std::vector<CaptureWindow>{})
            if (w.windowID == window->id()) entry = w;
          return content && (onScreen ? entry && entry->isOnScreen == *onScreen : !entry);
        },
        10s, 50ms);
  };
  ASSERT_TRUE(listed(true));
  EXPECT_EQ(entry->title, std::optional<std::string>("managed ✓"));
  CaptureSession session(server->display());
  ASSERT_TRUE(session.startWindow(window->id()));
  auto first = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.at(160, 90) == opaque(0xD02020); });
  ASSERT_TRUE(first);

  ASSERT_TRUE(window->command("iconify"));
  EXPECT_TRUE(listed(false));
  EXPECT_TRUE(listed(std::nullopt, /*onScreenOnly=*/true));
  ASSERT_TRUE(window->command("fill 00FF00"));
  ASSERT_TRUE(window->command("map"));
  EXPECT_TRUE(listed(true));
  EXPECT_TRUE(session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.centre() == opaque(0x00FF00); }, first->sequence));
  EXPECT_TRUE(session.recorder().stopErrors().empty());

  ASSERT_TRUE(window->command("desktop 1"));
  EXPECT_TRUE(listed(false));
  session.dropStream();
  ASSERT_TRUE(window->command("destroy"));
  EXPECT_TRUE(listed(std::nullopt));
}

}  // namespace
}  // namespace fenwright::testing
