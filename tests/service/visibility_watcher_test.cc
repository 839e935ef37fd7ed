#include <gtest/gtest.h>

#include "service_harness.h"

namespace fenwright {
namespace {

// A failed query changes nothing; the check holds the service until it
// has done all it would. Out of window mode, the flag is cleared once,
// without a query.
TEST(VisibilityWatcher, QueryFailureKeepsPausedAndLeavingWindowModeUnpausesOnce) {
  ServiceHarness h;
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
  EXPECT_EQ(h.capture->queriedOnScreenOnly(), std::vector<bool>{false});
}

}  // namespace
}  // namespace fenwright
