#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/capture/arriving_rows.h"
#include "platform/capture/frame_geometry.h"
#include "platform/dispatch/serial_queue.h"
#include "scale/image_view.h"
#include "platform/shared_surface.h"

namespace fenwright {

class FrameCompositor;
class TestPattern;

// Makes the shared surface; replaced in tests to make allocation fail.
using SurfaceAllocator = std::function<Expected<SharedSurface>()>;

// Owns the one shared 640x360 BGRA surface and every render into it. All
// renders run on the render queue, so they never overlap. Samples reach it
// from a queue that targets the render queue, and are drawn in place with
// no hop; test-pattern frames from elsewhere on the executor are handed
// over, one at a time; callers outside the executor wait for their render.
class PiPFrameBuffer {
 public:
  static constexpr int targetWidth = 640;
  static constexpr int targetHeight = 360;
  static constexpr int bytesPerRow = targetWidth * 4;
  static constexpr std::size_t allocationSize = std::size_t{bytesPerRow} * targetHeight;

  static SurfaceAllocator defaultAllocator();

  explicit PiPFrameBuffer(SurfaceAllocator allocator = defaultAllocator());
  ~PiPFrameBuffer();
  PiPFrameBuffer(const PiPFrameBuffer&) = delete;
  PiPFrameBuffer& operator=(const PiPFrameBuffer&) = delete;

  // True when the surface exists afterwards. Runs on the caller's thread and
  // happens before any render or vending, so readers need no lock.
  bool allocate();
  // Frames are coming: the surface's pages are made now, on the caller's
  // thread, not by the first frame's writes.
  void prepareForFrames();

  const SharedSurface* surface() const { return surface_.get(); }
  const SerialQueue& renderQueue() const { return renderQueue_; }
  std::uint32_t surfaceID() const { return surfaceID_; }

  // Fits `from` into the surface, centred on opaque black. On the executor,
  // only from a block of the render queue or of a queue that targets it:
  // `from` is valid only while the caller waits. `geometry`, when given,
  // says which frame `from` stands for and where it lies in it. With
  // `arriving`, its rows are drawn as they come.
  void writeFrame(const ImageView& from,
                  const std::optional<FrameGeometry>& geometry = std::nullopt,
                  ArrivingRows* arriving = nullptr);
  // Draws one frame of the animated radial-gradient pattern.
  void renderTestPattern(double phase);

 private:
  // Runs `draw` with the surface locked, on the render queue; `draw` gets
  // the surface's pixels (bytesPerRow apart).
  template <class Draw>
  void renderIntoSurface(const Draw& draw);
  template <class Draw>
  void drawLocked(const Draw& draw);
  TestPattern& testPattern();

  SurfaceAllocator allocator_;
  std::unique_ptr<SharedSurface> surface_;
  std::uint32_t surfaceID_ = 0;
  std::unique_ptr<FrameCompositor> compositor_;  // used on renderQueue_ only
  std::unique_ptr<TestPattern> testPattern_;     // used on renderQueue_ only
  std::atomic<bool> patternPending_{false};
  std::atomic<double> patternPhase_{0};
  SerialQueue renderQueue_;  // last: goes first, waiting for a running render
};

}  // namespace fenwright
