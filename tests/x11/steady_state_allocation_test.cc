// The grab-to-sample road allocates nothing once a stream runs steadily: no
// operator new on the X queue's thread per frame. (xcb's own replies are
// malloc'd by xcb and not counted: no XCB client can avoid them.)

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "capture_session.h"
#include "platform/x11/x11_queue.h"
#include "test_window_process.h"
#include "x_server.h"

namespace {
thread_local bool countHere = false;
std::atomic<long> allocations{0};
}  // namespace

// Out of line: inlined, GCC would pair the standard new with our free().
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (countHere) allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace fenwright::testing {
namespace {

TEST(SteadyState, StreamingAWindowAllocatesNothingPerFrameOnTheXQueue) {
  auto server = XServer::start("1920x1080");
  ASSERT_TRUE(server);
  // The frame size itself (no copy), and larger (shrunk).
  for (const char* size : {"1280x720", "1600x1000"}) {
    SCOPED_TRACE(size);
    auto window = TestWindowProcess::start(server->display(), {"--size", size});
    ASSERT_TRUE(window);
    CaptureSession session(server->display());
    ASSERT_TRUE(session.startWindow(window->id(), serviceConfiguration(false, {1, 60})));
    ASSERT_TRUE(window->command("animate 60"));
    x11::x11Queue().sync([] { countHere = true; });

    // Warm: the segment and frame buffer exist, asio's caches are filled.
    auto warm = session.recorder().waitForFrame(
        [](const RecordedFrame& f) { return f.sequence >= 10; }, std::chrono::seconds(30));
    ASSERT_TRUE(warm);
    const long before = allocations.load();
    auto later = session.recorder().waitForFrame(
        [&](const RecordedFrame& f) { return f.sequence >= warm->sequence + 20; },
        std::chrono::seconds(30));
    ASSERT_TRUE(later) << session.recorder().frameCount() << " frames in all";
    EXPECT_EQ(allocations.load() - before, 0) << "over 20 frames";
    x11::x11Queue().sync([] { countHere = false; });
    ASSERT_TRUE(window->command("animate 0"));
  }
}

}  // namespace
}  // namespace fenwright::testing
