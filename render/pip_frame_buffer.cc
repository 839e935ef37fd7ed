#include "render/pip_frame_buffer.h"


#include <fmt/format.h>

#include "platform/log/logger.h"
#include "render/frame_compositor.h"
#include "render/test_pattern.h"

namespace fenwright {

static_assert(TestPattern::width == PiPFrameBuffer::targetWidth &&
              TestPattern::height == PiPFrameBuffer::targetHeight);

SurfaceAllocator PiPFrameBuffer::defaultAllocator() {
  return [] { return SharedSurface::create(targetWidth, targetHeight); };
}

PiPFrameBuffer::PiPFrameBuffer(SurfaceAllocator allocator)
    : allocator_(std::move(allocator)),
      compositor_(std::make_unique<FrameCompositor>(targetWidth, targetHeight)),
      renderQueue_("com.quenfield.app.fenwright.render") {}

PiPFrameBuffer::~PiPFrameBuffer() = default;

// Made at the first tick, on the render queue: a helper that shows a window
// from the start, or only answers a dial, never pays for its table.
TestPattern& PiPFrameBuffer::testPattern() {
  if (!testPattern_) testPattern_ = std::make_unique<TestPattern>();
  return *testPattern_;
}

bool PiPFrameBuffer::allocate() {
  if (surface_) return true;
  Expected<SharedSurface> made =
      allocator_ ? allocator_() : unexpected(std::string("no way to make a surface"));
  if (made && made->allocationSize() != allocationSize)
    made = unexpected(fmt::format("the surface holds {} bytes, not {}", made->allocationSize(),
                                  allocationSize));
  if (!made) {
    log::bufferLogger().error("shared surface: {}", made.error());
    log::bufferLogger().error("IOSurfaceCreate failed");
    return false;
  }
  surface_ = std::make_unique<SharedSurface>(std::move(*made));
  surfaceID_ = surface_->id();
  log::bufferLogger().info("IOSurface allocated id={} {}×{}", surfaceID_, targetWidth,
                           targetHeight);
  // Not cleared: a new surface reads as zeros already, and writing them
  // made all of its pages before the helper could listen. The seed still
  // moves once, as a client has always seen it do.
  surface_->lock();
  surface_->unlock();
  return true;
}

void PiPFrameBuffer::prepareForFrames() {
  // Making pages writes no byte: no lock, and no wait for the render queue,
  // which is busy seeking the first frame meanwhile.
  if (surface_) surface_->populate();
}

template <class Draw>
void PiPFrameBuffer::drawLocked(const Draw& draw) {
  SharedSurface& surface = *surface_;
  // The seed goes odd for the whole write, so a client copying meanwhile
  // sees an odd or changed seed and throws its copy away.
  surface.lock();
  if (std::uint8_t* pixels = surface.baseAddress()) {
    draw(pixels);
  } else {
    log::bufferLogger().error("CVPixelBufferCreateWithIOSurface failed (status={})", 0);
  }
  surface.unlock();
}

template <class Draw>
void PiPFrameBuffer::renderIntoSurface(const Draw& draw) {
  if (renderQueue_.isExclusive()) {
    drawLocked(draw);
  } else {
    renderQueue_.sync([&] { drawLocked(draw); });
  }
}

void PiPFrameBuffer::writeFrame(const ImageView& from,
                                const std::optional<FrameGeometry>& geometry,
                                ArrivingRows* arriving) {
  if (!surface_) {
    if (arriving) arriving->awaitAll(from.height);
    return;
  }
  renderIntoSurface([&](std::uint8_t* pixels) {
    compositor_->compose(from, geometry, arriving, pixels, bytesPerRow);
  });
}

void PiPFrameBuffer::renderTestPattern(double phase) {
  if (!surface_) return;
  if (renderQueue_.isExclusive() || !onSharedExecutorThread()) {
    renderIntoSurface([&](std::uint8_t* pixels) {
      compositor_->targetRewritten();
      testPattern().draw(phase, pixels, bytesPerRow);
    });
    return;
  }
  // A render still waiting draws the latest phase instead: the pattern
  // never queues up behind a slow surface.
  patternPhase_.store(phase, std::memory_order_relaxed);
  if (patternPending_.exchange(true, std::memory_order_acq_rel)) return;
  renderQueue_.async([this] {
    patternPending_.store(false, std::memory_order_release);
    double latest = patternPhase_.load(std::memory_order_relaxed);
    drawLocked([&](std::uint8_t* pixels) {
      compositor_->targetRewritten();
      testPattern().draw(latest, pixels, bytesPerRow);
    });
  });
}

}  // namespace fenwright
