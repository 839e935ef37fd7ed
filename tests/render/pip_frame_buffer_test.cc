#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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

using testing::mapAsClient;
using testing::TestImage;

// What a client maps: 640x360 BGRA, zeroed, with one line logged. Every
// render, frame or pattern, advances the seed by two; a client copying
// meanwhile never takes a torn frame.
TEST(FrameBufferSurface, OneZeroedBgraSurfaceWhoseSeedMovesByTwoAndNoCopyIsTorn) {
  PiPFrameBuffer buffer;
  log::CapturedLog log;
  ASSERT_TRUE(buffer.allocate());
  const SharedSurface* surface = buffer.surface();
  ASSERT_NE(surface, nullptr);
  EXPECT_EQ((std::array{surface->width(), surface->height(), surface->bytesPerRow()}),
            (std::array<std::uint32_t, 3>{640, 360, 2560}));
  auto client = mapAsClient(*surface);
  ASSERT_EQ(client.allocationSize(), 921600u);
  EXPECT_TRUE(std::all_of(client.pixels().begin(), client.pixels().end(),
                          [](std::uint8_t byte) { return byte == 0; }));
  EXPECT_EQ(log.texts(), std::vector<std::string>{"IOSurface allocated id=" +
                                                  std::to_string(buffer.surfaceID()) + " 640×360"});
  EXPECT_TRUE(log.lines().at(0).category == "buffer" && !log.lines()[0].isError);

  TestImage frame = TestImage::textLike(1366, 768, 3);
  std::uint32_t seed = client.seed();
  ASSERT_EQ(seed % 2, 0u);
  for (int i = 0; i < 6; ++i) {
    i % 2 ? buffer.renderTestPattern(0.05 * i) : buffer.writeFrame(frame.view());
    EXPECT_EQ(client.seed(), seed += 2) << "render " << i;
  }

  // Frames alternate between two flat colours; any copy mixing them is torn.
  const TestImage frames[2] = {TestImage::uniform(1280, 720, 0xff204080),
                               TestImage::uniform(1280, 720, 0xff806040)};
  buffer.writeFrame(frames[0].view());
  std::atomic<bool> done{false};
  int copies = 0, torn = 0;
  std::thread reader([&] {
    std::vector<std::uint8_t> copy(921600);
    while (!done.load(std::memory_order_acquire)) {
      if (!client.copyFrame(copy)) continue;
      ++copies;
      for (std::size_t i = 4; i < copy.size(); i += 4) {
        if (std::memcmp(copy.data(), copy.data() + i, 4) != 0) {
          ++torn;
          break;
        }
      }
    }
  });
  for (int i = 1; i <= 20; ++i) buffer.writeFrame(frames[i % 2].view());
  done.store(true, std::memory_order_release);
  reader.join();
  EXPECT_EQ(torn, 0) << "of " << copies;
  std::vector<std::uint8_t> last(921600);
  ASSERT_TRUE(client.copyFrame(last));
  EXPECT_EQ(last[0], 0x80);  // the last frame written: blue 0x80
}

}  // namespace
}  // namespace fenwright
