#pragma once

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "platform/fake/fake_screen_capture.h"
#include "platform/log/captured_log.h"
#include "service/fenwright_service.h"
#include "support/temp_dir.h"

namespace fenwright {

using namespace std::chrono_literals;

// A listener that only records what the service asked of it.
class FakeListener final : public IpcListener {
 public:
  explicit FakeListener(std::atomic<int>& invalidations) : invalidations_(invalidations) {}
  void setDelegate(std::weak_ptr<IpcListenerDelegate> delegate) override { delegate_ = delegate; }
  void resume() override {}
  void invalidate() override { ++invalidations_; }
  std::weak_ptr<IpcListenerDelegate> delegate_;

 private:
  std::atomic<int>& invalidations_;
};

// A connection driven by the test: it runs the service's handlers on demand.
class FakeConnection final : public IpcConnection {
 public:
  explicit FakeConnection(int pid) : pid_(pid) {}
  int processIdentifier() const override { return pid_; }
  void setExportedObject(std::weak_ptr<PiPSurfaceProtocol> object) override { exported = object; }
  void setInvalidationHandler(std::function<void()> handler) override { invalidated = handler; }
  void setInterruptionHandler(std::function<void()> handler) override { interrupted = handler; }
  void resume() override { resumed = true; }

  std::weak_ptr<PiPSurfaceProtocol> exported;
  std::function<void()> invalidated;
  std::function<void()> interrupted;
  bool resumed = false;

 private:
  int pid_;
};

// Reaches the service's private operations and fields, always on the
// queue that owns them.
struct FenwrightServiceTestAccess {
  using Service = FenwrightService;

  template <class F>
  static void onQueue(Service& s, F&& f) {
    s.queue.sync(std::forward<F>(f));
  }
  template <class F>
  static void queueAsync(Service& s, F&& f) {
    s.queue.async(std::forward<F>(f));
  }
  static PiPSentinelConfig currentConfig(Service& s) {
    PiPSentinelConfig c;
    onQueue(s, [&] { c = s.currentConfig; });
    return c;
  }
  static void setCurrentConfig(Service& s, const PiPSentinelConfig& c) {
    onQueue(s, [&] { s.currentConfig = c; });
  }
  static std::shared_ptr<CaptureStream> stream(Service& s) {
    std::shared_ptr<CaptureStream> current;
    onQueue(s, [&] { current = s.stream; });
    return current;
  }
  static std::shared_ptr<RepeatingTimer> testPatternTimer(Service& s) {
    std::shared_ptr<RepeatingTimer> t;
    onQueue(s, [&] { t = s.testPatternTimer; });
    return t;
  }
  static bool hasTimers(Service& s) {
    bool any = false;
    onQueue(s, [&] { any = s.sentinelTimer || s.visibilityTimer || s.testPatternTimer; });
    return any;
  }
  static bool paused(Service& s) { return s.paused.load(); }
  static void setPaused(Service& s, bool value) {
    onQueue(s, [&] { s.paused.store(value); });
  }
  static double phase(Service& s) {
    double p = 0;
    onQueue(s, [&] { p = s.phase; });
    return p;
  }
  static PiPFrameBuffer& frameBuffer(Service& s) { return *s.frameBuffer; }
  static SerialQueue& sampleQueue(Service& s) { return s.sampleQueue; }

  static void checkSentinel(Service& s) {
    onQueue(s, [&] { s.checkSentinel(); });
  }
  static void checkVisibility(Service& s) {
    onQueue(s, [&] { s.checkVisibility(); });
  }
  static void startTestPatternTimer(Service& s) {
    onQueue(s, [&] { s.startTestPatternTimer(); });
  }
  static void shutdownAndExit(Service& s) { s.shutdownAndExit(); }
  static void startListener(Service& s) {
    onQueue(s, [&] { s.startListener(); });
  }

  // Runs a task to its end, as a watcher reaction would.
  template <class MakeTask>
  static void await(MakeTask makeTask) {
    std::promise<void> done;
    launchTask([&]() -> Task<> {
      co_await makeTask();
      done.set_value();
    });
    done.get_future().wait();
  }
  static void startStream(const std::shared_ptr<Service>& s) {
    await([&] { return s->startStreamAsync(); });
  }
  static void stopStream(const std::shared_ptr<Service>& s) {
    await([&] { return s->stopStream(); });
  }

  // Waits until every sentinel reaction has finished and `queue` is idle.
  static bool waitForReactions(Service& s, std::chrono::milliseconds timeout = 5s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      bool busy = true;
      onQueue(s, [&] { busy = s.reactionInFlight_ || s.nextReaction_.has_value(); });
      if (!busy) {
        onQueue(s, [] {});
        return true;
      }
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }
};

using Access = FenwrightServiceTestAccess;

// One service on the fake backend, with a recorded exit and fake listener.
class ServiceHarness {
 public:
  explicit ServiceHarness(SurfaceAllocator allocator = PiPFrameBuffer::defaultAllocator()) {
    capture = std::make_shared<FakeScreenCapture>();
    service = FenwrightService::create(
        capture, std::make_unique<PiPFrameBuffer>(std::move(allocator)),
        [this](int status) {
          exitStatus = status;
          ++exits;
        },
        [this](std::string_view name) -> std::unique_ptr<IpcListener> {
          ++listenersMade;
          listenerName = std::string(name);
          if (failListener) return nullptr;
          auto made = std::make_unique<FakeListener>(invalidations);
          lastListener = made.get();
          return made;
        });
  }
  ~ServiceHarness() {
    capture->releaseQueries();
    Access::waitForReactions(*service, 2s);
  }

  bool waitForExit(std::chrono::milliseconds timeout = 2s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (exits.load() == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    return exits.load() > 0;
  }

  // Allocates the surface and takes `config` as the one in force, without
  // the watchers' timers, so a test drives every poll itself.
  void adopt(const PiPSentinelConfig& config) {
    ASSERT_TRUE(Access::frameBuffer(*service).allocate());
    Access::setCurrentConfig(*service, config);
    log.clear();
  }

  testing::SentinelHome home;
  log::CapturedLog log;
  std::shared_ptr<FakeScreenCapture> capture;
  std::shared_ptr<FenwrightService> service;
  std::atomic<int> exitStatus{-1};
  std::atomic<int> exits{0};
  std::atomic<int> listenersMade{0};
  bool failListener = false;
  std::atomic<int> invalidations{0};
  std::string listenerName;
  FakeListener* lastListener = nullptr;
};

inline ShareableContent sampleContent() {
  ShareableContent content;
  content.windows = {{42, std::string("Notes"), true},
                     {43, std::nullopt, true},
                     {44, std::string("Minimised"), false}};
  content.displays = {{1, 0, 0, 1920, 1080}, {2, 1920, 0, 1280, 1024}};
  return content;
}

inline PiPSentinelConfig windowConfig(std::optional<std::uint32_t> id) {
  PiPSentinelConfig config;
  config.enabled = true;
  config.windowID = id;
  return config;
}

inline PiPSentinelConfig regionConfig(std::int64_t x, std::int64_t y, std::int64_t w,
                                      std::int64_t h, std::uint32_t display) {
  PiPSentinelConfig config;
  config.enabled = true;
  config.source = "region";
  config.regionX = x;
  config.regionY = y;
  config.regionWidth = w;
  config.regionHeight = h;
  config.regionDisplayID = display;
  return config;
}

}  // namespace fenwright
