// The two watchers: the sentinel (every change reaches the stream) and the
// picked window's visibility. (A storm of rewrites ending on the last one:
// the soak, SentinelRewrittenTwoHundredTimesASecond.)

#include <fcntl.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "platform/unique_fd.h"
#include "service_harness.h"

namespace fenwright {
namespace {

std::string windowJson(std::uint32_t id, const char* title = "Notes") {
  return R"({"enabled":true,"source":"window","window_id":)" + std::to_string(id) +
         R"(,"window_title":")" + title + "\"}";
}

class SentinelWatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    h.capture->setContent(sampleContent());
    h.capture->setMainDisplayID(1);
  }
  // The helper as it runs after startup with `config` in force and its
  // stream (or pattern) up; the test drives each poll.
  void runningWith(const PiPSentinelConfig& config, const std::string& json) {
    h.home.write(json);
    h.adopt(config);
    Access::startStream(h.service);
    Access::onQueue(*h.service, [] {});  // the start's own block has landed
    h.log.clear();
  }
  void poll() {
    Access::checkSentinel(*h.service);
    ASSERT_TRUE(Access::waitForReactions(*h.service));
  }
  ServiceHarness h;
};

// A pick after the pattern starts a stream; a title alone is ignored.
// (Swapping and un-picking, in the real helper: tests/process.)
TEST_F(SentinelWatcher, APickEndsThePatternAndATitleAloneIsIgnored) {
  runningWith(windowConfig(std::nullopt), R"({"enabled":true})");
  auto pattern = Access::testPatternTimer(*h.service);
  ASSERT_TRUE(pattern);
  h.home.write(windowJson(42));
  poll();
  EXPECT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
  EXPECT_TRUE(pattern->isCancelled());
  h.log.clear();
  h.home.write(windowJson(42, "Renamed"));
  poll();
  EXPECT_TRUE(h.log.lines().empty());
  EXPECT_EQ(h.capture->starts(), 1);
}

// A swap that finds no window or is rejected keeps the running stream and
// the new record: back at 42, the last is a change again.
TEST_F(SentinelWatcher, SwapFailuresAreLoggedAndKeepTheStream) {
  runningWith(windowConfig(42), windowJson(42));
  h.home.write(windowJson(44));
  poll();
  EXPECT_TRUE(h.log.containsError("reconfigureContentFilter: window id=44 gone"));
  EXPECT_EQ(h.capture->lastStream()->filter().window().windowID, 42u);
  h.capture->failQueries(CaptureError{"server busy"});
  h.home.write(windowJson(43));
  poll();
  EXPECT_TRUE(
      h.log.containsError("reconfigureContentFilter SCShareableContent failed: server busy"));
  h.capture->failQueries(std::nullopt);
  h.capture->failNextUpdate(CaptureError{"filter rejected"});
  h.home.write(windowJson(42));
  poll();
  EXPECT_TRUE(h.log.containsError("updateContentFilter failed: filter rejected"));
  EXPECT_EQ(h.capture->starts(), 1);
}

TEST_F(SentinelWatcher, OutOfDescriptorsKeepsThePictureAndReadsAgainLater) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "UBSan probes vtables through a pipe: with no descriptors left, false alarms";
#endif
  runningWith(windowConfig(42), windowJson(42));
  // The soft limit at the lowest free descriptor (a tight `ulimit -n` in
  // use): no file can be opened.
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(UniqueFd(::open("/dev/null", O_RDONLY)).get());
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  poll();
  poll();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(h.exits.load(), 0);
  EXPECT_TRUE(h.capture->lastStream()->isRunning());
  EXPECT_EQ(h.log.count("sentinel: read failed (Too many open files) — keeping the current "
                        "configuration, retrying"),
            1u);
  h.home.write(windowJson(43));
  poll();
  EXPECT_TRUE(h.log.contains("sentinel: readable again"));
  EXPECT_TRUE(h.log.contains("in-place filter swap → window id=43"));
}

// An answer asked before the sentinel moved on is dropped, even when the
// sentinel has come back to the same id: here a window closed meanwhile and
// a new one given its id.
TEST_F(SentinelWatcher, AVisibilityAnswerOutlivedBySentinelChangesIsDropped) {
  runningWith(windowConfig(42), windowJson(42));
  const long owners = h.service.use_count();
  ShareableContent closed = sampleContent();
  std::erase_if(closed.windows, [](const CaptureWindow& w) { return w.windowID == 42; });
  h.capture->setContent(closed);
  h.capture->holdQueries(true);
  Access::checkVisibility(*h.service);
  ASSERT_TRUE(testing::eventually([&] { return h.capture->heldQueries() > 0; }));
  h.capture->holdQueries(false);
  h.capture->setContent(sampleContent());
  for (std::uint32_t id : {43u, 42u}) {
    h.home.write(windowJson(id));
    poll();
  }
  h.capture->releaseQueries();
  ASSERT_TRUE(testing::eventually([&] { return h.service.use_count() == owners; }));
  EXPECT_EQ(h.log.count("visibility: window 42 hidden/minimized → pause (freeze last frame)"), 0u);
}

// A failed query changes nothing; the check holds the service until it
// has done all it would. Out of window mode, the flag is cleared once,
// without a query: the line says so only when it was still set.
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
  Access::checkVisibility(*h.service);
  Access::checkVisibility(*h.service);
  EXPECT_EQ(h.log.texts(),
            std::vector<std::string>{"visibility: not in window mode (source=region); unpaused"});
  EXPECT_EQ(h.capture->queriedOnScreenOnly(), std::vector<bool>{false});
}

}  // namespace
}  // namespace fenwright
