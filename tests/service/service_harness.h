#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <vector>

#include "platform/fake/fake_screen_capture.h"
#include "platform/log/captured_log.h"
#include "service/fenwright_service.h"
#include "support/capture_fixtures.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

namespace fenwright {

using namespace std::chrono_literals;

// A listener that listens to nothing.
class FakeListener final : public IpcListener {
 public:
  void setDelegate(std::weak_ptr<IpcListenerDelegate>) override {}
  void resume() override {}
  void invalidate() override {}
};

// Reaches the service's private operations and fields, always on the
// queue that owns them.
struct FenwrightServiceTestAccess {
  using Service = FenwrightService;
  using Config = PiPSentinelConfig;

  template <class F>
  static void onQueue(Service& s, F&& f) {
    s.queue.sync(std::forward<F>(f));
  }
  // A copy of what `f` returns, taken on `queue`.
  template <class F>
  static auto read(Service& s, F f) {
    decltype(f()) value{};
    onQueue(s, [&] { value = f(); });
    return value;
  }
  static void setCurrentConfig(Service& s, Config c) { onQueue(s, [&] { s.currentConfig = c; }); }
  static std::shared_ptr<CaptureStream> stream(Service& s) { return read(s, [&] { return s.stream; }); }
  static std::shared_ptr<RepeatingTimer> testPatternTimer(Service& s) {
    return read(s, [&] { return s.testPatternTimer; });
  }
  static void setPaused(Service& s, bool value) { onQueue(s, [&] { s.paused.store(value); }); }
  static PiPFrameBuffer& frameBuffer(Service& s) { return *s.frameBuffer; }

  static void checkSentinel(Service& s) { onQueue(s, [&] { s.checkSentinel(); }); }
  static void checkVisibility(Service& s) { onQueue(s, [&] { s.checkVisibility(); }); }

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
  static void startStream(std::shared_ptr<Service> s) {
    await([&] { return s->startStreamAsync(); });
  }
  static void stopStream(std::shared_ptr<Service> s) { await([&] { return s->stopStream(); }); }

  // Waits until every sentinel reaction has finished and `queue` is idle.
  static bool waitForReactions(Service& s, std::chrono::milliseconds timeout = 5s) {
    auto idle = [&] { return read(s, [&] { return !s.reactionInFlight_ && !s.nextReaction_; }); };
    return testing::eventually(idle, timeout, 1ms);
  }
};

using Access = FenwrightServiceTestAccess;

// A solid frame the size of the surface: every surface pixel shows it.
inline std::vector<std::uint8_t> solidFrame(std::uint8_t b, std::uint8_t g, std::uint8_t r) {
  std::vector<std::uint8_t> pixels(1280 * 720 * 4, 255);
  for (auto i = 0u; i < pixels.size(); i += 4) pixels[i] = b, pixels[i + 1] = g, pixels[i + 2] = r;
  return pixels;
}
inline SampleBuffer completeFrame(const std::vector<std::uint8_t>& pixels) {
  return SampleBuffer::frame(ImageView{1280, 720, 1280 * 4, pixels.data()}, FrameStatus::complete);
}
// The surface's centre pixel, B, G, R, A.
inline std::array<std::uint8_t, 4> centre(FenwrightService& s) {
  const std::uint8_t* p = Access::frameBuffer(s).surface()->baseAddress() + 180 * 2560 + 320 * 4;
  return {p[0], p[1], p[2], p[3]};
}

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
        [this](std::string_view) -> std::unique_ptr<IpcListener> {
          ++listenersMade;
          if (failListener) return nullptr;
          return std::make_unique<FakeListener>();
        });
  }
  ~ServiceHarness() {
    capture->releaseQueries();
    if (service) Access::waitForReactions(*service, 2s);
  }

  // Starts the stream for `config` and waits for its line.
  void streaming(const PiPSentinelConfig& config, const std::string& line) {
    adopt(config);
    Access::startStream(service);
    ASSERT_TRUE(log.waitFor(line, 1s));
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
};

}  // namespace fenwright
