#include <gtest/gtest.h>

#include "platform/log/captured_log.h"
#include "render/pip_frame_buffer.h"

namespace fenwright {
namespace {

TEST(FrameBufferAllocation, SurfaceIs640By360BgraAndZeroed) {
  PiPFrameBuffer buffer;
  log::CapturedLog log;
  EXPECT_EQ(buffer.surface(), nullptr);
  EXPECT_EQ(buffer.surfaceID(), 0u);
  ASSERT_TRUE(buffer.allocate());
  const SharedSurface* surface = buffer.surface();
  ASSERT_NE(surface, nullptr);
  EXPECT_EQ(surface->width(), 640u);
  EXPECT_EQ(surface->height(), 360u);
  EXPECT_EQ(surface->bytesPerRow(), 2560u);
  EXPECT_EQ(surface->allocationSize(), 921600u);
  EXPECT_NE(buffer.surfaceID(), 0u);
  for (std::size_t i = 0; i < surface->allocationSize(); ++i)
    ASSERT_EQ(surface->baseAddress()[i], 0) << "byte " << i;
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].category, "buffer");
  EXPECT_EQ(log.lines()[0].text,
            "IOSurface allocated id=" + std::to_string(buffer.surfaceID()) + " 640×360");
}

TEST(FrameBufferAllocation, SecondAllocateIsANoOp) {
  PiPFrameBuffer buffer;
  ASSERT_TRUE(buffer.allocate());
  auto id = buffer.surfaceID();
  const SharedSurface* first = buffer.surface();
  log::CapturedLog log;
  EXPECT_TRUE(buffer.allocate());
  EXPECT_EQ(buffer.surfaceID(), id);
  EXPECT_EQ(buffer.surface(), first);
  EXPECT_TRUE(log.lines().empty());
}

TEST(FrameBufferAllocation, FailureLogsAndLeavesNoSurface) {
  int attempts = 0;
  PiPFrameBuffer buffer([&]() -> std::optional<SharedSurface> {
    ++attempts;
    return std::nullopt;
  });
  log::CapturedLog log;
  EXPECT_FALSE(buffer.allocate());
  EXPECT_EQ(buffer.surface(), nullptr);
  EXPECT_EQ(buffer.surfaceID(), 0u);
  EXPECT_TRUE(log.containsError("IOSurfaceCreate failed"));
  EXPECT_FALSE(buffer.allocate());
  EXPECT_EQ(attempts, 2);
}

TEST(FrameBufferAllocation, RendersBeforeAllocateDoNothing) {
  PiPFrameBuffer buffer;
  log::CapturedLog log;
  std::uint8_t pixel[4] = {10, 20, 30, 255};
  buffer.writeFrame(ImageView{1, 1, 4, pixel});
  buffer.renderTestPattern(0.05);
  EXPECT_EQ(buffer.surface(), nullptr);
  EXPECT_TRUE(log.lines().empty());
}

TEST(FrameBufferAllocation, DistinctSurfacesHaveDistinctIds) {
  PiPFrameBuffer a, b;
  ASSERT_TRUE(a.allocate());
  ASSERT_TRUE(b.allocate());
  EXPECT_NE(a.surfaceID(), b.surfaceID());
}

}  // namespace
}  // namespace fenwright
