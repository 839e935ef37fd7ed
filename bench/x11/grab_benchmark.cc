// The per-frame work of a window stream (name the pixmap, MIT-SHM GetImage,
// alpha, fit into 1280x720), for a 1280x720 window (delivered as it is) and
// a 1920x1080 one (shrunk to 1280x720; and unfitted, to price the capture
// alone), beside a memcpy of the same bytes. Runs its own Xvfb; wall time,
// since the server does the copy into our segment.

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "x11_grab_probe.h"
#include "x_server.h"

namespace {

using fenwright::testing::TestWindowProcess;
using fenwright::testing::XServer;

struct Environment {
  std::unique_ptr<XServer> server;
  std::map<std::pair<int, int>, std::unique_ptr<TestWindowProcess>> windows;

  static Environment& get() {
    static Environment environment;
    return environment;
  }

  TestWindowProcess* window(int width, int height) {
    if (!server) server = XServer::start("1920x1080");
    if (!server) return nullptr;
    auto& window = windows[{width, height}];
    if (!window)
      window = TestWindowProcess::start(
          server->display(), {"--size", std::to_string(width) + "x" + std::to_string(height)});
    return window.get();
  }
};

// range(2): the frame size equals the window's (the picture goes out as it
// is: the capture alone), or 1280x720 (what the helper asks for).
void grabWindow(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const bool asItIs = state.range(2) != 0;
  TestWindowProcess* window = Environment::get().window(width, height);
  if (window == nullptr) {
    state.SkipWithError("no Xvfb or test window");
    return;
  }
  auto probe =
      fenwright::X11GrabProbe::forWindow(Environment::get().server->display(), window->id(),
                                         asItIs ? width : 1280, asItIs ? height : 720);
  if (!probe) {
    state.SkipWithError(probe.error().localizedDescription.c_str());
    return;
  }
  for (auto _ : state) {
    auto frame = probe.value()->grabFrame();
    if (!frame) {
      state.SkipWithError(frame.error().localizedDescription.c_str());
      return;
    }
    benchmark::DoNotOptimize(frame.value().data);
  }
  state.SetBytesProcessed(state.iterations() * width * height * 4);
  state.SetLabel(probe.value()->usesSharedMemory() ? "MIT-SHM" : "GetImage");
}
BENCHMARK(grabWindow)
    ->ArgNames({"width", "height", "unfitted"})
    ->Args({1280, 720, 0})
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void memcpyFrame(benchmark::State& state) {
  const std::size_t bytes = static_cast<std::size_t>(state.range(0) * state.range(1) * 4);
  std::vector<std::uint8_t> source(bytes, 0x5A);
  std::vector<std::uint8_t> target(bytes);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), bytes);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}
BENCHMARK(memcpyFrame)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
