#include <gtest/gtest.h>

#include "service_harness.h"

namespace fenwright {
namespace {

class VisibilityWatcher : public ::testing::Test {
 protected:
  void setOnScreen(bool onScreen) {
    auto content = sampleContent();
    content.windows[0].isOnScreen = onScreen;
    h.capture->setContent(content);
  }
  ServiceHarness h;
};

TEST_F(VisibilityWatcher, HiddenWindowPausesAndResumesWhenBack) {
  h.adopt(windowConfig(42));
  setOnScreen(false);
  Access::checkVisibility(*h.service);
  ASSERT_TRUE(
      h.log.waitFor("visibility: window 42 hidden/minimized → pause (freeze last frame)", 1s));
  EXPECT_TRUE(Access::paused(*h.service));
  setOnScreen(true);
  Access::checkVisibility(*h.service);
  ASSERT_TRUE(h.log.waitFor("visibility: window 42 returned → resume", 1s));
  EXPECT_FALSE(Access::paused(*h.service));
  EXPECT_EQ(h.capture->queriedOnScreenOnly(), (std::vector<bool>{false, false}));
}

// A failed query changes nothing; the check holds the service until it
// has done all it would. Out of window mode, the flag is cleared once,
// without a query.
TEST_F(VisibilityWatcher, QueryFailureKeepsPausedAndLeavingWindowModeUnpausesOnce) {
  h.adopt(windowConfig(42));
  h.capture->failQueries(CaptureError{"no server"});
  h.capture->holdQueries(true);
  Access::setPaused(*h.service, true);
  const long owners = h.service.use_count();
  Access::checkVisibility(*h.service);
  ASSERT_TRUE(testing::eventually([&] { return h.capture->heldQueries() > 0; }));
  h.capture->releaseQueries();
  ASSERT_TRUE(testing::eventually([&] { return h.service.use_count() == owners; }));
  Access::setCurrentConfig(*h.service, regionConfig(0, 0, 10, 10, 1));
  EXPECT_TRUE(Access::paused(*h.service));
  Access::checkVisibility(*h.service);
  Access::checkVisibility(*h.service);
  EXPECT_FALSE(Access::paused(*h.service));
  EXPECT_EQ(h.log.texts(),
            std::vector<std::string>{"visibility: not in window mode (source=region); unpaused"});
  EXPECT_EQ(h.capture->queries(), 1);
}

}  // namespace
}  // namespace fenwright
