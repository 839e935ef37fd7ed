#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/log/captured_log.h"
#include "render/pip_frame_buffer.h"
#include "tests/render/surface_client.h"
#include "tests/scale/test_image.h"

namespace fenwright {
namespace {

using testing::SurfaceClient;
using testing::TestImage;

TEST(FrameBufferSurface, AllocateMakesAZeroed640By360BgraSurface) {
  PiPFrameBuffer buffer;
  log::CapturedLog log;
  ASSERT_TRUE(buffer.allocate());
  const SharedSurface* surface = buffer.surface();
  ASSERT_NE(surface, nullptr);
  EXPECT_EQ(surface->width(), 640u);
  EXPECT_EQ(surface->height(), 360u);
  EXPECT_EQ(surface->bytesPerRow(), 2560u);
  EXPECT_EQ(surface->allocationSize(), 921600u);
  EXPECT_NE(buffer.surfaceID(), 0u);
  SurfaceClient client(*surface);
  ASSERT_TRUE(client.mapped());
  ASSERT_EQ(client.size(), 921600u);
  EXPECT_TRUE(std::all_of(client.pixels(), client.pixels() + client.size(),
                          [](std::uint8_t byte) { return byte == 0; }));
  EXPECT_EQ(client.seed() % 2, 0u);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].category, "buffer");
  EXPECT_FALSE(log.lines()[0].isError);
  EXPECT_EQ(log.lines()[0].text,
            "IOSurface allocated id=" + std::to_string(buffer.surfaceID()) + " 640×360");
}

TEST(FrameBufferSurface, SecondAllocateIsANoOp) {
  PiPFrameBuffer buffer;
  log::CapturedLog log;
  ASSERT_TRUE(buffer.allocate());
  const std::uint32_t id = buffer.surfaceID();
  const SharedSurface* first = buffer.surface();
  EXPECT_TRUE(buffer.allocate());
  EXPECT_EQ(buffer.surfaceID(), id);
  EXPECT_EQ(buffer.surface(), first);
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST(FrameBufferSurface, FailedAllocationLogsAndReturnsFalse) {
  int attempts = 0;
  PiPFrameBuffer buffer([&]() -> Expected<SharedSurface> {
    ++attempts;
    return unexpected(std::string("memfd_create (fenwright-surface): Too many open files"));
  });
  log::CapturedLog log;
  EXPECT_FALSE(buffer.allocate());
  EXPECT_EQ(buffer.surface(), nullptr);
  EXPECT_EQ(buffer.surfaceID(), 0u);
  EXPECT_TRUE(log.containsError("shared surface: memfd_create (fenwright-surface): Too many open files"));
  EXPECT_TRUE(log.containsError("IOSurfaceCreate failed"));
  // Nothing was made, so a later call tries again.
  EXPECT_FALSE(buffer.allocate());
  EXPECT_EQ(attempts, 2);
  EXPECT_EQ(log.count("IOSurfaceCreate failed"), 2u);
}

TEST(FrameBufferSurface, AllocationOfTheWrongSizeIsAFailure) {
  PiPFrameBuffer buffer([] { return SharedSurface::create(320, 180); });
  log::CapturedLog log;
  EXPECT_FALSE(buffer.allocate());
  EXPECT_EQ(buffer.surface(), nullptr);
  EXPECT_TRUE(log.containsError("shared surface: the surface holds 230400 bytes, not 921600"));
  EXPECT_TRUE(log.containsError("IOSurfaceCreate failed"));
}

TEST(FrameBufferSurface, RendersBeforeAllocateDrawNothingAndLogNothing) {
  PiPFrameBuffer buffer;
  log::CapturedLog log;
  buffer.writeFrame(TestImage::uniform(1280, 720, 0xffffffff).view());
  buffer.renderTestPattern(0.05);
  EXPECT_EQ(buffer.surface(), nullptr);
  EXPECT_TRUE(log.lines().empty());
  ASSERT_TRUE(buffer.allocate());
  SurfaceClient client(*buffer.surface());
  ASSERT_TRUE(client.mapped());
  EXPECT_TRUE(std::all_of(client.pixels(), client.pixels() + client.size(),
                          [](std::uint8_t byte) { return byte == 0; }));
}

TEST(FrameBufferSurface, DistinctBuffersVendDistinctSurfaceIds) {
  PiPFrameBuffer a, b;
  ASSERT_TRUE(a.allocate());
  ASSERT_TRUE(b.allocate());
  EXPECT_NE(a.surfaceID(), b.surfaceID());
}

TEST(FrameBufferSeed, EveryRenderAdvancesTheSeedByTwo) {
  PiPFrameBuffer buffer;
  ASSERT_TRUE(buffer.allocate());
  SurfaceClient client(*buffer.surface());
  ASSERT_TRUE(client.mapped());
  TestImage frame = TestImage::textLike(1366, 768, 3);
  std::uint32_t seed = client.seed();
  ASSERT_EQ(seed % 2, 0u);
  for (int i = 0; i < 6; ++i) {
    if (i % 2 == 0)
      buffer.writeFrame(frame.view());
    else
      buffer.renderTestPattern(0.05 * i);
    std::uint32_t now = client.seed();
    EXPECT_EQ(now, seed + 2) << "render " << i;
    seed = now;
  }
}

TEST(FrameBufferSeed, ConcurrentReaderNeverAcceptsATornFrame) {
  PiPFrameBuffer buffer;
  ASSERT_TRUE(buffer.allocate());
  SurfaceClient client(*buffer.surface());
  ASSERT_TRUE(client.mapped());
  // Frames alternate between two flat colours; any copy mixing them is torn.
  const TestImage frames[2] = {TestImage::uniform(1280, 720, 0xff204080),
                               TestImage::uniform(1280, 720, 0xff806040)};
  buffer.writeFrame(frames[0].view());

  std::atomic<bool> done{false};
  int accepted = 0, rejected = 0, tornAccepted = 0;
  std::thread reader([&] {
    std::vector<std::uint8_t> copy;
    while (!done.load(std::memory_order_acquire)) {
      bool clean = client.copy(copy);
      bool flat = true;
      for (std::size_t i = 4; i < copy.size() && flat; i += 4)
        flat = std::memcmp(copy.data(), copy.data() + i, 4) == 0;
      if (clean) {
        ++accepted;
        tornAccepted += !flat;
      } else {
        ++rejected;
      }
    }
  });
  for (int i = 1; i <= 20; ++i) buffer.writeFrame(frames[i % 2].view());
  done.store(true, std::memory_order_release);
  reader.join();
  RecordProperty("accepted", accepted);
  RecordProperty("rejected", rejected);
  EXPECT_EQ(tornAccepted, 0) << accepted << " accepted, " << rejected << " rejected";
  std::vector<std::uint8_t> last;
  ASSERT_TRUE(client.copy(last));
  EXPECT_EQ(last[0], 0x80);  // the last frame written: blue 0x80
}

}  // namespace
}  // namespace fenwright
