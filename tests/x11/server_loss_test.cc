// Without a server, with one that goes away, or one lacking extensions, on
// private servers.

#include <gtest/gtest.h>

#include "capture_session.h"
#include "support/fails_with.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

// A region stream ends once, with the reason; while the server is gone
// queries fail with a clear error. (A window stream, and reconnecting once
// the server is back, under the real helper: the soak, XServerKilled.)
TEST(ServerLoss, AKilledServerEndsTheStreamOnceAndQueriesFailClearly) {
  EXPECT_TRUE(failsWith(queryContent(*makeX11ScreenCapture("not a display")),
                        "the X display name \"not a display\" is not valid"));
  auto server = XServer::start("1280x720");
  ASSERT_TRUE(server);
  CaptureSession session(server->display());
  auto content = queryContent(session.capture());
  ASSERT_TRUE(content && !content.value().displays.empty());
  ASSERT_TRUE(session.start(ContentFilter::display(content.value().displays[0]),
                            serviceConfiguration(true)));
  ASSERT_TRUE(session.recorder().waitForFrame());

  server->kill();
  ASSERT_TRUE(session.recorder().waitForStop());
  EXPECT_TRUE(stopStream(session.stream()));
  EXPECT_EQ(session.recorder().stopErrors(), std::vector<std::string>{"the X connection was lost"});
  EXPECT_TRUE(failsWith(queryContent(session.capture()),
                        "cannot connect to the X server at \"" + server->display() + "\""));
  EXPECT_EQ(session.capture().mainDisplayID(), 0u);
}

// Larger than the frame and without shared memory: read whole through the
// socket and handed on; without Damage the stream polls at the frame interval.
TEST(ReducedServer, WindowsStreamWithoutSharedMemoryOrDamageButNotWithoutComposite) {
  auto server = XServer::start("1280x720", {"-extension", "MIT-SHM", "-extension", "DAMAGE"});
  ASSERT_TRUE(server);
  auto window = TestWindowProcess::start(server->display(), {"--size", "2000x1125"});
  ASSERT_TRUE(window);
  CaptureSession session(server->display());
  auto started = session.startWindow(window->id());
  ASSERT_TRUE(started) << started.error().localizedDescription;
  // What was off the screen comes with the client's repaint.
  auto frame = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.at(1500, 843) != opaque(0); });
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->at(500, 281), opaque(0xD02020));
  EXPECT_EQ(frame->at(1500, 843), opaque(0xE0C020));
  ASSERT_TRUE(window->command("fill 00FF00"));
  EXPECT_TRUE(session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.centre() == opaque(0x00FF00); }));

  auto bare = XServer::start("1280x720", {"-extension", "Composite"});
  ASSERT_TRUE(bare);
  auto uncomposited = TestWindowProcess::start(bare->display());
  ASSERT_TRUE(uncomposited);
  EXPECT_TRUE(failsWith(CaptureSession(bare->display()).startWindow(uncomposited->id()),
                        "the X server at " + bare->display() +
                            " has no Composite extension (0.2 or later), which window capture needs"));
}

}  // namespace
}  // namespace fenwright::testing
