#include "service/fenwright_service.h"

#include "capture/capture_mode.h"
#include "config/shared_identifiers.h"
#include "platform/log/logger.h"

namespace fenwright {

std::shared_ptr<FenwrightService> FenwrightService::create(
    std::shared_ptr<ScreenCapture> capture, std::unique_ptr<PiPFrameBuffer> frameBuffer,
    ProcessExit exit, ListenerFactory makeListener) {
  auto* service = new FenwrightService(std::move(capture), std::move(frameBuffer),
                                       std::move(exit), std::move(makeListener));
  return std::shared_ptr<FenwrightService>(service);
}

FenwrightService::FenwrightService(std::shared_ptr<ScreenCapture> capture,
                                   std::unique_ptr<PiPFrameBuffer> frameBuffer, ProcessExit exit,
                                   ListenerFactory makeListener)
    : queue("com.quenfield.app.fenwright.service"),
      // Targets the render queue: a sample is drawn where it arrives.
      sampleQueue("com.quenfield.app.fenwright.sample", frameBuffer->renderQueue()),
      frameBuffer(std::move(frameBuffer)),
      capture_(std::move(capture)),
      exit_(std::move(exit)),
      makeListener_(std::move(makeListener)) {}

FenwrightService::~FenwrightService() = default;

void FenwrightService::startFull(const PiPSentinelConfig& config) {
  currentConfig = config;
  if (!frameBuffer->allocate()) {
    log::helperLogger().error("frame buffer allocation failed — exiting");
    exit_(1);
    return;
  }
  // The pick is sought while the listener is made: the round trips to the
  // display server are most of the wait for a first frame.
  bool capturing = picksCaptureSource(config);
  if (capturing) {
    launchTask([weak = weak_from_this()]() -> Task<> {
      if (auto self = weak.lock()) co_await self->startStreamAsync();
    });
  }
  frameBuffer->prepareForFrames();
  queue.sync([this] { startListener(); });
  // The timers belong to `queue`: a sentinel poll there may already be
  // shutting down and resetting them.
  queue.sync([this, capturing] {
    if (!capturing) startTestPatternTimer();
    startSentinelWatcher();
    startVisibilityWatcher();
  });
}

void FenwrightService::startListenerOnly() {
  if (!frameBuffer->allocate()) {
    log::helperLogger().error("frame buffer allocation failed — exiting");
    exit_(1);
    return;
  }
  queue.sync([this] { startListener(); });
}

void FenwrightService::startListener() {
  auto made = makeListener_(quenfieldPiPModeXPCServiceName);
  if (!made) {
    // No client could ever reach us: waiting would only leave a helper
    // nobody can use or stop. The listener has logged why.
    log::helperLogger().error("no listener — exiting");
    exit_(1);
    return;
  }
  made->setDelegate(weak_from_this());
  made->resume();
  listener = std::move(made);
  log::helperLogger().info("listening on Mach service: {}", quenfieldPiPModeXPCServiceName);
}

}  // namespace fenwright
