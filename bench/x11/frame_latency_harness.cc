// How soon a window's picture reaches a 640x360 surface: the time from a
// stream's start to its first frame, and from each repaint of the window to
// the frame that first shows it, for a 1280x720 and a 1920x1080 window
// repainting at 60 Hz and captured at 30 fps. The window is painted from
// here, one flat colour per repaint that numbers it, so the surface says
// which repaint it shows. Also the frame rate and the CPU of the X server
// and of this process (capture and fit), and the same for a window of which
// only a 64-row strip changes per repaint.
//
//   fenwright_x11_latency [--seconds N]

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <xcb/xcb.h>

#include "platform/capture/screen_capture.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/log/logger.h"
#include "platform/x11/x11_screen_capture.h"
#include "render/frame_compositor.h"
#include "x_server.h"

namespace {

using namespace fenwright;
using Clock = std::chrono::steady_clock;
constexpr std::size_t kSlots = 1 << 16;

double cpuSecondsOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14 || index == 15) ticks += std::stod(field);
    if (index == 15) break;
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::uint32_t colorOf(std::uint32_t n) { return 0xFF000000u | ((n & 0xFF) << 16) | ((n >> 8 & 0xFF) << 8) | 0x40; }

// Paints repaint n in colour n and remembers when.
class Painter {
 public:
  Painter(const std::string& display, int width, int height)
      : c_(xcb_connect(display.c_str(), nullptr)), width_(width), height_(height) {
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    const std::uint32_t values[] = {XCB_BACK_PIXMAP_NONE};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0,
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXMAP,
                      values);
    gc_ = xcb_generate_id(c_);
    xcb_create_gc(c_, gc_, window_, 0, nullptr);
    xcb_map_window(c_, window_);
    paint(0, 0, height);
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
  }
  ~Painter() {
    stop();
    xcb_disconnect(c_);
  }

  std::uint32_t window() const { return window_; }
  Clock::time_point paintedAt(std::uint32_t n) const {
    return Clock::time_point(Clock::duration(paintedAt_[n % kSlots].load()));
  }

  // `strip`: only 64 rows change per repaint, a band moving down.
  void animate(int hz, bool strip) {
    thread_ = std::thread([this, hz, strip] {
      auto next = Clock::now();
      for (std::uint32_t n = 1; !stop_.load(); ++n) {
        std::this_thread::sleep_until(next);
        paint(n, strip ? static_cast<int>(n * 64 % static_cast<std::uint32_t>(height_)) : 0,
              strip ? 64 : height_);
        next += std::chrono::microseconds(1000000 / hz);
      }
    });
  }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void paint(std::uint32_t n, int top, int rows) {
    const std::uint32_t color = colorOf(n);
    xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &color);
    const xcb_rectangle_t all{0, static_cast<std::int16_t>(top),
                              static_cast<std::uint16_t>(width_), static_cast<std::uint16_t>(rows)};
    xcb_poly_fill_rectangle(c_, window_, gc_, 1, &all);
    paintedAt_[n % kSlots].store(Clock::now().time_since_epoch().count());
    xcb_flush(c_);
  }

  xcb_connection_t* c_;
  int width_, height_;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  std::array<std::atomic<Clock::rep>, kSlots> paintedAt_{};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Draws every frame into a surface as the frame buffer does and reads which
// repaint the middle of it shows.
class Sink final : public StreamOutput {
 public:
  explicit Sink(const Painter& painter) : painter_(painter), surface_(640 * 360 * 4) {
    latencies_.reserve(10000);
  }
  bool takesArrivingRows() const override { return true; }
  void streamDidOutputSampleBuffer(CaptureStream&, const SampleBuffer& sample,
                                   StreamOutputType) override {
    if (!sample.imageBuffer) return;
    compositor_.compose(*sample.imageBuffer, sample.geometry, sample.arriving, surface_.data(),
                        640 * 4);
    const auto now = Clock::now();
    frames_.fetch_add(1);
    if (first_.load() == Clock::time_point{}) first_.store(now);
    const std::uint8_t* p = surface_.data() + (180 * 640 + 320) * 4;
    const std::uint32_t n = static_cast<std::uint32_t>(p[2]) | static_cast<std::uint32_t>(p[1]) << 8;
    if (!measuring_.load() || n == last_) return;
    last_ = n;
    latencies_.push_back(std::chrono::duration<double, std::milli>(now - painter_.paintedAt(n)).count());
  }
  Clock::time_point first() const { return first_.load(); }
  long frames() const { return frames_.load(); }
  void measure(bool on) { measuring_ = on; }
  std::vector<double> latencies() const { return latencies_; }

 private:
  const Painter& painter_;
  FrameCompositor compositor_{640, 360};
  std::vector<std::uint8_t> surface_;
  std::atomic<Clock::time_point> first_{};
  std::atomic<long> frames_{0};
  std::atomic<bool> measuring_{false};
  std::uint32_t last_ = ~0u;
  std::vector<double> latencies_;
};

template <class T>
bool await(const std::function<void(Completion<T>)>& start) {
  auto promise = std::make_shared<std::promise<bool>>();
  auto future = promise->get_future();
  start([promise](CaptureResult<T> result) { promise->set_value(static_cast<bool>(result)); });
  return future.wait_for(std::chrono::seconds(10)) == std::future_status::ready && future.get();
}

double ownCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void measure(testing::XServer& server, int width, int height, bool strip,
             std::chrono::seconds duration) {
  Painter painter(server.display(), width, height);
  SerialQueue sampleQueue("com.quenfield.app.fenwright.sample");
  auto sink = std::make_shared<Sink>(painter);
  auto capture = makeX11ScreenCapture(server.display());
  CaptureWindow target;
  target.windowID = painter.window();
  StreamConfiguration configuration;
  configuration.setWidth(1280);
  configuration.setHeight(720);
  configuration.setMinimumFrameInterval({1, 30});
  configuration.setShowsCursor(false);
  auto stream = capture->makeStream(ContentFilter::desktopIndependentWindow(target), configuration,
                                    std::weak_ptr<StreamDelegate>());
  stream->addStreamOutput(sink, StreamOutputType::screen, sampleQueue);
  const auto start = Clock::now();
  if (!await<Done>([&](Completion<Done> done) { stream->startCapture(std::move(done)); })) {
    std::printf("| %dx%d | stream did not start |\n", width, height);
    return;
  }
  const double startedMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  while (sink->first() == Clock::time_point{} && Clock::now() - start < std::chrono::seconds(5))
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  const double firstMs = std::chrono::duration<double, std::milli>(sink->first() - start).count();

  painter.animate(60, strip);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double serverBefore = cpuSecondsOf(server.pid());
  const double ownBefore = ownCpuSeconds();
  const long framesBefore = sink->frames();
  sink->measure(true);
  const auto begin = Clock::now();
  std::this_thread::sleep_for(duration);
  sink->measure(false);
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  const double serverCpu = (cpuSecondsOf(server.pid()) - serverBefore) * 100 / seconds;
  const double ownCpu = (ownCpuSeconds() - ownBefore) * 100 / seconds;
  const double fps = static_cast<double>(sink->frames() - framesBefore) / seconds;
  painter.stop();
  await<Done>([&](Completion<Done> done) { stream->stopCapture(std::move(done)); });

  auto latencies = sink->latencies();
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) {
    return latencies.empty() ? 0.0 : latencies[static_cast<std::size_t>(q * (latencies.size() - 1))];
  };
  if (strip) {
    std::printf("| %dx%d, 64-row strip | – | – | – | %.1f | %.2f | %.2f |\n", width, height, fps,
                serverCpu, ownCpu);
    return;
  }
  std::printf("| %dx%d | %.1f (started %.1f) | %.2f | %.2f | %.1f | %.2f | %.2f |\n", width,
              height, firstMs, startedMs, at(0.5), at(0.99), fps, serverCpu, ownCpu);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
  log::helperLogger().set_level(spdlog::level::err);
  auto server = testing::XServer::start("1920x1080");
  if (!server) {
    std::fprintf(stderr, "fenwright_x11_latency: Xvfb did not start\n");
    return 1;
  }
  std::printf("| window | first frame (ms) | repaint→surface p50 (ms) | p99 (ms) | frames/s | "
              "Xvfb %% of a core | capture+fit %% of a core |\n|---|---|---|---|---|---|---|\n");
  measure(*server, 1280, 720, false, std::chrono::seconds(seconds));
  measure(*server, 1920, 1080, false, std::chrono::seconds(seconds));
  measure(*server, 1920, 1080, true, std::chrono::seconds(seconds));
  return 0;
}
