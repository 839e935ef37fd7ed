#pragma once

#include <atomic>
#include <memory>
#include <functional>
#include <optional>
#include <string_view>

#include "capture/sentinel_reaction.h"
#include "config/pip_sentinel_config.h"
#include "platform/capture/screen_capture.h"
#include "platform/dispatch/repeating_timer.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/task_executor.h"
#include "platform/process.h"
#include "render/pip_frame_buffer.h"
#include "service/ipc_listener.h"

namespace fenwright {

struct FenwrightServiceTestAccess;

// The one service object: the listener's delegate, the object every client
// connection talks to, and the capture stream's delegate and output.
//
// Threads: `queue` owns the timers, `stream`, `phase`, `listener` and
// `currentConfig`; tasks on the shared executor read them after
// `co_await queue.enter()`. `paused` is an atomic boolean because the sample queue
// reads it for every frame while `queue` writes it; only its latest value
// matters.
class FenwrightService final : public std::enable_shared_from_this<FenwrightService>,
                               public IpcListenerDelegate,
                               public PiPSurfaceProtocol,
                               public StreamDelegate,
                               public StreamOutput {
 public:
  using ListenerFactory =
      std::function<std::unique_ptr<IpcListener>(std::string_view machServiceName)>;

  static std::shared_ptr<FenwrightService> create(
      std::shared_ptr<ScreenCapture> capture,
      std::unique_ptr<PiPFrameBuffer> frameBuffer = std::make_unique<PiPFrameBuffer>(),
      ProcessExit exit = realProcessExit(), ListenerFactory makeListener = &IpcListener::make);
  ~FenwrightService() override;

  // Listener delegate and surface vending (their own file).
  bool listenerShouldAcceptNewConnection(IpcListener& listener, IpcConnection& connection) override;
  void fetchSurface(const std::function<void(const SharedSurface*)>& reply) override;
  // The stream's callbacks.
  void streamDidStopWithError(CaptureStream& stream, const CaptureError& error) override;
  void streamDidOutputSampleBuffer(CaptureStream& stream, const SampleBuffer& sample,
                                   StreamOutputType type) override;
  bool takesArrivingRows() const override { return true; }

  void startFull(const PiPSentinelConfig& config);
  void startListenerOnly();

 private:
  friend struct FenwrightServiceTestAccess;
  struct PendingReaction {
    SentinelReaction kind;
    std::optional<std::uint32_t> windowID;
  };

  FenwrightService(std::shared_ptr<ScreenCapture> capture,
                   std::unique_ptr<PiPFrameBuffer> frameBuffer, ProcessExit exit,
                   ListenerFactory makeListener);

  void startListener();
  Task<> startStreamAsync();
  void startTestPatternTimer();
  void startSentinelWatcher();
  void checkSentinel();
  Task<> reconfigureContentFilter(std::uint32_t windowID);
  void startVisibilityWatcher();
  void checkVisibility();
  Task<> stopStream();
  void shutdownAndExit();
  Task<> runReaction(PendingReaction reaction);

  // Runs one sentinel reaction at a time (on `queue`): a change seen while a
  // reaction is in flight waits, replacing any change that was waiting.
  void launchReaction(PendingReaction reaction);
  void reactionFinished();
  void fallBackToTestPattern();

  // Fields, in the order the service declares them.
  SerialQueue queue;
  SerialQueue sampleQueue;
  std::unique_ptr<IpcListener> listener;
  std::unique_ptr<PiPFrameBuffer> frameBuffer;
  std::shared_ptr<RepeatingTimer> testPatternTimer;
  double phase = 0;
  std::shared_ptr<CaptureStream> stream;
  std::shared_ptr<RepeatingTimer> sentinelTimer;
  std::shared_ptr<RepeatingTimer> visibilityTimer;
  std::atomic<bool> paused{false};
  PiPSentinelConfig currentConfig;

  // Ours, beyond the service's own fields.
  std::shared_ptr<ScreenCapture> capture_;
  ProcessExit exit_;
  ListenerFactory makeListener_;
  std::unique_ptr<IpcListener> retiredListener_;  // invalidated at shutdown
  bool reactionInFlight_ = false;                // on `queue`
  std::optional<PendingReaction> nextReaction_;  // on `queue`
  bool sentinelReadFailing_ = false;             // on `queue`
  // Counts sentinel changes, so that a visibility answer outlived by one is
  // known even when the sentinel has come back to the same window id,
  // perhaps a new window now (on `queue`).
  std::uint64_t configChanges_ = 0;
  // The last stream the platform ended by itself. Only compared with a
  // stream held alive, never followed.
  std::atomic<const CaptureStream*> streamEndedByItself_{nullptr};
};

}  // namespace fenwright
