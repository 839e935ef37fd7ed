// The road of a frame, from the grab on the X queue through the sample queue
// to the surface write, allocates nothing once a stream runs steadily: no
// operator new on the executor's threads per frame, nor for drawing the test
// pattern there. (xcb's own replies are malloc'd by xcb and not counted: no
// XCB client can avoid them.)

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "capture_session.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/x11/x11_screen_capture.h"
#include "render/pip_frame_buffer.h"
#include "support/eventually.h"
#include "x_server.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

// Out of line: inlined, GCC would pair the standard new with our free().
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (counting.load(std::memory_order_relaxed) && fenwright::onSharedExecutorThread())
    allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace fenwright::testing {
namespace {

// What the service does with a complete frame: draw it where it arrives, on
// a sample queue that targets the render queue. The pattern first, drawn
// over by the picture.
class SurfaceWriter final : public StreamOutput {
 public:
  explicit SurfaceWriter(PiPFrameBuffer& buffer) : buffer_(buffer) {}
  void streamDidOutputSampleBuffer(CaptureStream&, const SampleBuffer& sample,
                                   StreamOutputType) override {
    buffer_.renderTestPattern(0.05 * frames.fetch_add(1));
    buffer_.writeFrame(*sample.imageBuffer, sample.geometry, sample.arriving);
  }
  bool takesArrivingRows() const override { return true; }
  bool waitFor(int count) const {
    return eventually([&] { return frames.load() >= count; }, std::chrono::seconds(30));
  }
  std::atomic<int> frames{0};

 private:
  PiPFrameBuffer& buffer_;
};

TEST(SteadyState, StreamingAWindowToTheSurfaceAllocatesNothingPerFrame) {
  auto server = XServer::start("1920x1080");
  ASSERT_TRUE(server);
  PiPFrameBuffer buffer;
  ASSERT_TRUE(buffer.allocate());
  SerialQueue sampleQueue("com.quenfield.app.fenwright.sample", buffer.renderQueue());
  auto capture = makeX11ScreenCapture(server->display());
  // The frame size itself (no copy), larger (shrunk) and smaller (enlarged).
  for (const char* size : {"1280x720", "1600x1000", "320x180"}) {
    SCOPED_TRACE(size);
    auto window = TestWindowProcess::start(server->display(), {"--size", size});
    ASSERT_TRUE(window);
    auto writer = std::make_shared<SurfaceWriter>(buffer);
    auto stream =
        capture->makeStream(windowFilter(window->id()), serviceConfiguration(false, {1, 60}), {});
    ASSERT_FALSE(stream->addStreamOutput(writer, StreamOutputType::screen, sampleQueue));
    ASSERT_TRUE(startStream(*stream));
    ASSERT_TRUE(window->command("animate 60"));

    // Warm: the segment and frame buffer exist, asio's caches are filled.
    ASSERT_TRUE(writer->waitFor(10));
    counting = true;
    const long before = allocations.load();
    const std::uint32_t seedBefore = buffer.surface()->seed();
    const int warm = writer->frames.load();
    ASSERT_TRUE(writer->waitFor(warm + 20)) << writer->frames.load() << " frames in all";
    counting = false;
    EXPECT_EQ(allocations.load() - before, 0) << "over 20 frames";
    // Each frame is two writes (four seed steps); one may be under way at
    // either end of the count.
    EXPECT_GE(buffer.surface()->seed() - seedBefore, 4u * 19) << "frames went unwritten";
    ASSERT_TRUE(window->command("animate 0"));
    ASSERT_TRUE(stopStream(*stream));
    // Read on the queue that draws, after the last frame.
    std::uint32_t centre = 0;
    sampleQueue.sync([&] {
      std::memcpy(&centre,
                  buffer.surface()->baseAddress() + 180 * PiPFrameBuffer::bytesPerRow + 320 * 4, 4);
    });
    EXPECT_EQ(centre >> 24, 0xFFu) << "the window's picture, opaque";
  }
}

}  // namespace
}  // namespace fenwright::testing
