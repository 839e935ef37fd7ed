// Starting the service and its capture stream, the frames it delivers, and
// stopping it; the two watchers: the sentinel (every change reaches the
// stream) and the picked window's visibility. (A stream that stops by
// itself keeps the last picture, and a storm of rewrites ends on the last
// one: the soaks, UnderThirtyTwoDescriptors and SentinelRewritten; shutting
// down while a window streams, exiting 0: the soak, XServerKilled.)

#include <fcntl.h>
#include <sys/resource.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fake/fake_screen_capture.h"
#include "platform/log/captured_log.h"
#include "platform/unique_fd.h"
#include "service/fenwright_service.h"
#include "support/capture_fixtures.h"
#include "support/eventually.h"
#include "support/surface_probe.h"
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

// One service on the fake backend listing the sample content, with a
// recorded exit and fake listener.
class ServiceHarness {
 public:
  explicit ServiceHarness(SurfaceAllocator allocator = PiPFrameBuffer::defaultAllocator()) {
    capture = std::make_shared<FakeScreenCapture>();
    capture->setContent(sampleContent());
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

namespace {

// Without a surface or a listener, either startup exits 1. (What starts:
// tests/process, Lifecycle.)
TEST(Startup, WithoutASurfaceOrAListenerEitherStartupExitsOne) {
  for (bool full : {true, false}) {
    ServiceHarness h([]() -> Expected<SharedSurface> { return unexpected(std::string("no memory")); });
    full ? h.service->startFull(windowConfig(42)) : h.service->startListenerOnly();
    EXPECT_EQ(h.exitStatus.load(), 1);
    EXPECT_EQ(h.listenersMade.load(), 0);
    for (auto line : {"shared surface: no memory", "IOSurfaceCreate failed",
                      "frame buffer allocation failed — exiting"})
      EXPECT_TRUE(h.log.containsError(line)) << line;
  }
  ServiceHarness noListener;
  noListener.failListener = true;
  noListener.service->startFull(windowConfig(std::nullopt));
  EXPECT_EQ(noListener.exitStatus.load(), 1);
  EXPECT_TRUE(noListener.log.containsError("no listener — exiting"));
  EXPECT_FALSE(noListener.log.contains("listening on Mach service: "
                                       "Q2WXR7TZ4M.com.quenfield.app.pipmode"));
}

TEST(StreamStart, EveryFailureLogsWhyAndFallsBackKeepingTheOldStream) {
  ServiceHarness h;
  auto fellBack = [&] {
    return h.log.waitFor("test-pattern render timer started @ 30Hz (no window picked)", 1s);
  };
  h.capture->failQueries(CaptureError{"the display server went away"});
  h.adopt(windowConfig(42));
  Access::startStream(h.service);
  EXPECT_TRUE(h.log.containsError("SCShareableContent failed: the display server went away"));
  EXPECT_TRUE(fellBack());
  h.capture->failQueries(std::nullopt);
  h.adopt(windowConfig(99));
  Access::startStream(h.service);
  EXPECT_TRUE(h.log.containsError("startStreamAsync: window id=99 not in SCShareableContent; "
                                  "window may have closed. Falling back to test pattern."));
  EXPECT_TRUE(fellBack());
  EXPECT_EQ(h.capture->lastStream(), nullptr);

  h.streaming(windowConfig(42), "SCStream started — window id=42 title=Notes");
  auto held = Access::stream(*h.service);
  h.capture->failNextAddOutput(CaptureError{"no more outputs"});
  Access::startStream(h.service);
  EXPECT_TRUE(h.log.containsError("SCStream start failed: no more outputs"));
  EXPECT_TRUE(fellBack());
  h.capture->failNextStart(CaptureError{"permission denied"});
  Access::startStream(h.service);
  EXPECT_TRUE(h.log.containsError("SCStream start failed: permission denied"));
  EXPECT_EQ(h.capture->starts(), 1);
  EXPECT_EQ(Access::stream(*h.service), held);
  // Off-screen windows are listed too: a minimised window can be picked.
  EXPECT_FALSE(h.capture->queriedOnScreenOnly().front());
}

constexpr std::array<std::uint8_t, 4> kBlue{255, 0, 0, 255}, kRed{0, 0, 255, 255};

class SampleIntake : public ::testing::Test {
 protected:
  void SetUp() override {
    h.streaming(windowConfig(42), "SCStream started — window id=42 title=Notes");
    stream = h.capture->lastStream();
    showBlue();
  }
  void showBlue() {
    ASSERT_TRUE(stream->deliver(completeFrame(blue)));
    ASSERT_EQ(centre(*h.service), kBlue);
  }
  ServiceHarness h;
  std::shared_ptr<FakeCaptureStream> stream;
  std::vector<std::uint8_t> blue = solidFrame(255, 0, 0), red = solidFrame(0, 0, 255);
};

// Only a valid screen sample with an image, whose status (when it has one)
// is complete, is written; no status passes. (None while paused: the real
// helper's hidden window, tests/process.) A stop
// that fails is logged and clears the stream, and the surface keeps the
// last frame: only a new stream or the pattern draws over it.
TEST_F(SampleIntake, OnlyValidCompleteScreenFramesAreWrittenAndTheLastOutlivesAFailedStop) {
  struct Case {
    SampleBuffer sample;
    bool written = false;
    StreamOutputType type = StreamOutputType::screen;
  };
  std::vector<Case> cases;
  for (auto status : {FrameStatus::idle, FrameStatus::blank, FrameStatus::suspended,
                      FrameStatus::started, FrameStatus::stopped, FrameStatus{7}})
    cases.push_back({SampleBuffer::frame(completeFrame(red).imageBuffer.value(), status)});
  cases.push_back({completeFrame(red), false, StreamOutputType::audio});
  cases.push_back({completeFrame(red)});
  cases.back().sample.isValid = false;
  cases.push_back({completeFrame(red)});
  cases.back().sample.imageBuffer.reset();
  cases.push_back({completeFrame(red), true});
  cases.push_back({completeFrame(red), true});
  cases.back().sample.status.reset();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    stream->deliver(cases[i].sample, cases[i].type);
    EXPECT_EQ(centre(*h.service), cases[i].written ? kRed : kBlue) << i;
    showBlue();
  }
  h.capture->failNextStop(CaptureError{"the stream was already gone"});
  Access::stopStream(h.service);
  ASSERT_TRUE(h.log.waitFor("SCStream stopped", 1s));
  EXPECT_TRUE(h.log.containsError("stopCapture failed: the stream was already gone"));
  EXPECT_EQ(Access::stream(*h.service), nullptr);
  EXPECT_EQ(h.capture->stops(), 1);
  EXPECT_EQ(centre(*h.service), kBlue);
}

using testing::windowSentinel;

class SentinelWatcher : public ::testing::Test {
 protected:
  void SetUp() override { h.capture->setMainDisplayID(1); }
  // The helper as it runs after startup with `config` in force and its
  // stream (or pattern) up; the test drives each poll.
  void runningWith(const PiPSentinelConfig& config, const std::string& json) {
    h.home.write(json);
    h.adopt(config);
    Access::startStream(h.service);
    Access::onQueue(*h.service, [] {});  // the start's own block has landed
    h.log.clear();
  }
  void poll() {
    Access::checkSentinel(*h.service);
    ASSERT_TRUE(Access::waitForReactions(*h.service));
  }
  ServiceHarness h;
};

// A pick after the pattern starts a stream; a title alone is ignored.
// (Swapping and un-picking, in the real helper: tests/process.)
TEST_F(SentinelWatcher, APickEndsThePatternAndATitleAloneIsIgnored) {
  runningWith(windowConfig(std::nullopt), R"({"enabled":true})");
  auto pattern = Access::testPatternTimer(*h.service);
  ASSERT_TRUE(pattern);
  h.home.write(windowSentinel(42));
  poll();
  EXPECT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
  EXPECT_TRUE(pattern->isCancelled());
  h.log.clear();
  h.home.write(windowSentinel(42, "Renamed"));
  poll();
  EXPECT_TRUE(h.log.lines().empty());
}

// A swap that finds no window or is rejected keeps the running stream and
// the new record: back at 42, the last is a change again.
TEST_F(SentinelWatcher, SwapFailuresAreLoggedAndKeepTheStream) {
  runningWith(windowConfig(42), windowSentinel(42));
  h.home.write(windowSentinel(44));
  poll();
  EXPECT_TRUE(h.log.containsError("reconfigureContentFilter: window id=44 gone"));
  EXPECT_EQ(h.capture->lastStream()->filter().window().windowID, 42u);
  h.capture->failQueries(CaptureError{"server busy"});
  h.home.write(windowSentinel(43));
  poll();
  EXPECT_TRUE(
      h.log.containsError("reconfigureContentFilter SCShareableContent failed: server busy"));
  h.capture->failQueries(std::nullopt);
  h.capture->failNextUpdate(CaptureError{"filter rejected"});
  h.home.write(windowSentinel(42));
  poll();
  EXPECT_TRUE(h.log.containsError("updateContentFilter failed: filter rejected"));
  EXPECT_EQ(h.capture->starts(), 1);
}

TEST_F(SentinelWatcher, OutOfDescriptorsKeepsThePictureAndReadsAgainLater) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "UBSan probes vtables through a pipe: with no descriptors left, false alarms";
#endif
  runningWith(windowConfig(42), windowSentinel(42));
  // The soft limit at the lowest free descriptor (a tight `ulimit -n` in
  // use): no file can be opened.
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(UniqueFd(::open("/dev/null", O_RDONLY)).get());
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  poll();
  poll();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(h.exits.load(), 0);
  EXPECT_TRUE(h.capture->lastStream()->isRunning());
  EXPECT_EQ(h.log.count("sentinel: read failed (Too many open files) — keeping the current "
                        "configuration, retrying"),
            1u);
  h.home.write(windowSentinel(43));
  poll();
  EXPECT_TRUE(h.log.contains("sentinel: readable again"));
  EXPECT_TRUE(h.log.contains("in-place filter swap → window id=43"));
}

// An answer asked before the sentinel moved on is dropped, even when the
// sentinel has come back to the same id: here a window closed meanwhile and
// a new one given its id.
TEST_F(SentinelWatcher, AVisibilityAnswerOutlivedBySentinelChangesIsDropped) {
  runningWith(windowConfig(42), windowSentinel(42));
  const long owners = h.service.use_count();
  ShareableContent closed = sampleContent();
  std::erase_if(closed.windows, [](const CaptureWindow& w) { return w.windowID == 42; });
  h.capture->setContent(closed);
  h.capture->holdQueries(true);
  Access::checkVisibility(*h.service);
  ASSERT_TRUE(testing::eventually([&] { return h.capture->heldQueries() > 0; }));
  h.capture->holdQueries(false);
  h.capture->setContent(sampleContent());
  for (std::uint32_t id : {43u, 42u}) {
    h.home.write(windowSentinel(id));
    poll();
  }
  h.capture->releaseQueries();
  ASSERT_TRUE(testing::eventually([&] { return h.service.use_count() == owners; }));
  EXPECT_EQ(h.log.count("visibility: window 42 hidden/minimized → pause (freeze last frame)"), 0u);
}

// A failed query changes nothing; the check holds the service until it
// has done all it would. Out of window mode, the flag is cleared once,
// without a query: the line says so only when it was still set.
TEST(VisibilityWatcher, QueryFailureKeepsPausedAndLeavingWindowModeUnpausesOnce) {
  ServiceHarness h;
  h.adopt(windowConfig(42));
  h.capture->failQueries(CaptureError{"no server"});
  h.capture->holdQueries(true);
  Access::setPaused(*h.service, true);
  const long owners = h.service.use_count();
  Access::checkVisibility(*h.service);
  ASSERT_TRUE(testing::eventually([&] { return h.capture->heldQueries() > 0; }));
  h.capture->releaseQueries();
  ASSERT_TRUE(testing::eventually([&] { return h.service.use_count() == owners; }));
  Access::setCurrentConfig(*h.service, regionConfig(0, 0, 10, 10, 1));
  Access::checkVisibility(*h.service);
  Access::checkVisibility(*h.service);
  EXPECT_EQ(h.log.texts(),
            std::vector<std::string>{"visibility: not in window mode (source=region); unpaused"});
  EXPECT_EQ(h.capture->queriedOnScreenOnly(), std::vector<bool>{false});
}

}  // namespace
}  // namespace fenwright
