// CPU cost of capturing one window for a minute, measured over a few seconds
// (10 by default) and scaled: a static window, and one repainting at 60 Hz,
// captured at 30 fps, beside gst-launch-1.0's ximagesrc and ffmpeg's
// x11grab on the same window when they are installed. The helper's own CPU (this process) and the X
// server's are reported apart; the painting client's is in neither.
//
//   fenwright_x11_cpu [--seconds N]

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "platform/capture/screen_capture.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/log/logger.h"
#include "platform/x11/x11_screen_capture.h"
#include "scale/area_scaler.h"
#include "test_window_process.h"
#include "x_server.h"

namespace {

using namespace fenwright;
using namespace fenwright::testing;
using Clock = std::chrono::steady_clock;

double cpuSecondsOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name, which may hold spaces: state is field 3,
  // utime 14, stime 15.
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

double ownCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Counts frames; optionally fits each into 640x360 as the frame buffer
// does, to price the whole road to the shared surface.
class FrameSink final : public StreamOutput {
 public:
  explicit FrameSink(bool fitToSurface) : fit_(fitToSurface), surface_(640 * 360 * 4) {}
  void streamDidOutputSampleBuffer(CaptureStream&, const SampleBuffer& sample,
                                   StreamOutputType) override {
    if (!sample.imageBuffer) return;
    if (fit_) {
      const ImageView& frame = *sample.imageBuffer;
      double scale = std::min(640.0 / frame.width, 360.0 / frame.height);
      scaler_.fit(frame, scale, surface_.data(), 640, 360, 640 * 4,
                  AreaScaler::Background::opaqueBlack);
    }
    frames_.fetch_add(1, std::memory_order_relaxed);
  }
  long frames() const { return frames_.load(); }

 private:
  bool fit_;
  AreaScaler scaler_;
  std::vector<std::uint8_t> surface_;
  std::atomic<long> frames_{0};
};

struct Row {
  std::string name;
  std::optional<double> framesPerSecond;
  double clientCpuPerMinute = 0;
  double serverCpuPerMinute = 0;
  std::string note;
};

struct Setup {
  std::string size;
  int animateHz = 0;
};

std::unique_ptr<TestWindowProcess> showWindow(XServer& server, const Setup& setup) {
  auto window = TestWindowProcess::start(server.display(), {"--size", setup.size});
  if (window && setup.animateHz > 0) window->command("animate " + std::to_string(setup.animateHz));
  return window;
}

template <class T>
std::optional<T> await(const std::function<void(Completion<T>)>& start) {
  auto promise = std::make_shared<std::promise<CaptureResult<T>>>();
  auto future = promise->get_future();
  start([promise](CaptureResult<T> result) { promise->set_value(std::move(result)); });
  if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return std::nullopt;
  auto result = future.get();
  if (!result) {
    std::fprintf(stderr, "capture: %s\n", result.error().localizedDescription.c_str());
    return std::nullopt;
  }
  return std::move(result.value());
}

Row measureHelper(XServer& server, const std::string& name, const Setup& setup, bool fitToSurface,
                  std::chrono::seconds duration) {
  Row row{name, std::nullopt, 0, 0, ""};
  auto window = showWindow(server, setup);
  if (!window) {
    row.note = "no test window";
    return row;
  }
  SerialQueue sampleQueue("com.quenfield.app.fenwright.sample");
  auto sink = std::make_shared<FrameSink>(fitToSurface);
  auto capture = makeX11ScreenCapture(server.display());
  CaptureWindow target;
  target.windowID = window->id();
  StreamConfiguration configuration;
  configuration.setWidth(1280);
  configuration.setHeight(720);
  configuration.setMinimumFrameInterval({1, 30});
  configuration.setShowsCursor(false);
  auto stream = capture->makeStream(ContentFilter::desktopIndependentWindow(target), configuration,
                                    std::weak_ptr<StreamDelegate>());
  if (stream->addStreamOutput(sink, StreamOutputType::screen, sampleQueue) ||
      !await<Done>([&](Completion<Done> done) { stream->startCapture(std::move(done)); })) {
    row.note = "stream did not start";
    return row;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));  // past the first frames

  const double ownBefore = ownCpuSeconds();
  const double serverBefore = cpuSecondsOf(server.pid());
  const long framesBefore = sink->frames();
  const auto begin = Clock::now();
  std::this_thread::sleep_for(duration);
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  row.clientCpuPerMinute = (ownCpuSeconds() - ownBefore) * 60 / seconds;
  row.serverCpuPerMinute = (cpuSecondsOf(server.pid()) - serverBefore) * 60 / seconds;
  row.framesPerSecond = static_cast<double>(sink->frames() - framesBefore) / seconds;

  await<Done>([&](Completion<Done> done) { stream->stopCapture(std::move(done)); });
  return row;
}

bool gstreamerAvailable() {
  return runProgram({"gst-inspect-1.0", "--exists", "ximagesrc"}) == 0 &&
         runProgram({"gst-inspect-1.0", "--exists", "videoscale"}) == 0;
}

// Another capturer, run as a program on the same window: `argvFor` gets
// the window id.
Row measurePeer(XServer& server, const std::string& name, const Setup& setup,
                const std::function<std::vector<std::string>(std::uint32_t)>& argvFor,
                std::chrono::seconds duration) {
  Row row{name, std::nullopt, 0, 0, ""};
  auto window = showWindow(server, setup);
  if (!window) {
    row.note = "no test window";
    return row;
  }
  ChildProcess::Options options;
  options.argv = argvFor(window->id());
  options.environment = {{"DISPLAY", server.display()}};
  options.quiet = true;
  auto peer = ChildProcess::spawn(options);
  if (!peer) {
    row.note = options.argv[0] + " did not start";
    return row;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  if (!peer->running()) {
    row.note = options.argv[0] + " ended early";
    return row;
  }
  const double peerBefore = cpuSecondsOf(peer->pid());
  const double serverBefore = cpuSecondsOf(server.pid());
  const auto begin = Clock::now();
  std::this_thread::sleep_for(duration);
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  row.clientCpuPerMinute = (cpuSecondsOf(peer->pid()) - peerBefore) * 60 / seconds;
  row.serverCpuPerMinute = (cpuSecondsOf(server.pid()) - serverBefore) * 60 / seconds;
  peer->signal(SIGINT);
  peer->wait();
  return row;
}

std::function<std::vector<std::string>(std::uint32_t)> gstreamer(
    std::vector<std::string> pipelineAfterXid) {
  return [pipelineAfterXid](std::uint32_t id) {
    std::vector<std::string> argv = {"gst-launch-1.0", "-q", "ximagesrc",
                                     "xid=" + std::to_string(id)};
    argv.insert(argv.end(), pipelineAfterXid.begin(), pipelineAfterXid.end());
    return argv;
  };
}

bool ffmpegAvailable() {
  return runProgram({"sh", "-c", "ffmpeg -hide_banner -h demuxer=x11grab | grep -q window_id"}) ==
         0;
}

// x11grab of one window at 30 fps, scaled to the surface's size.
std::function<std::vector<std::string>(std::uint32_t)> ffmpeg(const std::string& display) {
  return [display](std::uint32_t id) {
    return std::vector<std::string>{"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab",
                                    "-framerate", "30", "-window_id", std::to_string(id), "-i",
                                    display, "-vf", "scale=640:360", "-f", "null", "-"};
  };
}

void print(const std::vector<Row>& rows, int seconds) {
  std::printf("\nCPU seconds per minute of capture (measured over %d s, scaled to 60 s)\n\n",
              seconds);
  std::printf("| what | frames/s | capturer CPU s/min | Xvfb CPU s/min | note |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const auto& row : rows) {
    char fps[32] = "–";
    if (row.framesPerSecond) std::snprintf(fps, sizeof(fps), "%.1f", *row.framesPerSecond);
    std::printf("| %s | %s | %.2f | %.2f | %s |\n", row.name.c_str(), fps, row.clientCpuPerMinute,
                row.serverCpuPerMinute, row.note.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
  const auto duration = std::chrono::seconds(seconds);
  log::helperLogger().set_level(spdlog::level::err);

  auto server = XServer::start("1920x1080");
  if (!server) {
    std::fprintf(stderr, "fenwright_x11_cpu: Xvfb did not start\n");
    return 1;
  }
  const Setup still720{"1280x720", 0};
  const Setup moving720{"1280x720", 60};
  const Setup moving1080{"1920x1080", 60};

  std::vector<Row> rows;
  auto run = [&](Row row) {
    std::fprintf(stderr, "measured: %s\n", row.name.c_str());
    rows.push_back(std::move(row));
  };
  run(measureHelper(*server, "helper, static 1280x720 window", still720, false, duration));
  run(measureHelper(*server, "helper, 1280x720 at 60 Hz", moving720, false, duration));
  run(measureHelper(*server, "helper + fit to 640x360, 1280x720 at 60 Hz", moving720, true,
                    duration));
  run(measureHelper(*server, "helper, 1920x1080 at 60 Hz (shrunk to 1280x720)", moving1080, false,
                    duration));
  run(measureHelper(*server, "helper + fit to 640x360, 1920x1080 at 60 Hz", moving1080, true,
                    duration));

  if (gstreamerAvailable()) {
    const std::vector<std::string> asGiven = {
        "!", "videoscale", "!", "video/x-raw,width=640,height=360", "!", "fakesink"};
    const std::vector<std::string> paced = {
        "use-damage=false", "!", "video/x-raw,framerate=30/1",       "!",
        "videoscale",       "!", "video/x-raw,width=640,height=360", "!",
        "fakesink"};
    run(measurePeer(*server, "gst ximagesrc ! videoscale 640x360, static 1280x720", still720,
                    gstreamer(asGiven), duration));
    run(measurePeer(*server, "gst ximagesrc ! videoscale 640x360, 1280x720 at 60 Hz", moving720,
                    gstreamer(asGiven), duration));
    run(measurePeer(*server,
                    "gst ximagesrc use-damage=false 30 fps ! videoscale, 1280x720 at 60 Hz",
                    moving720, gstreamer(paced), duration));
  } else {
    rows.push_back({"gst-launch-1.0 ximagesrc", std::nullopt, 0, 0,
                    "skipped: gstreamer1.0-tools / plugins-base / plugins-good not installed"});
  }
  if (ffmpegAvailable()) {
    run(measurePeer(*server, "ffmpeg x11grab 30 fps ! scale 640x360, static 1280x720", still720,
                    ffmpeg(server->display()), duration));
    run(measurePeer(*server, "ffmpeg x11grab 30 fps ! scale 640x360, 1280x720 at 60 Hz", moving720,
                    ffmpeg(server->display()), duration));
  } else {
    rows.push_back({"ffmpeg x11grab", std::nullopt, 0, 0,
                    "skipped: ffmpeg (5.0 or later, for -window_id) not installed"});
  }
  print(rows, seconds);
  return 0;
}
