// Fetch round trips against an in-process listener, and what the seed adds
// to each render. Goals: connect, fetch and map the surface in under 1 ms;
// the seed's futex wake under 1 % of a render (a render takes about 0.1 ms),
// so under 1 us, both in CPU time of the process.

#include <time.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/shared_surface.h"
#include "service/ipc_listener.h"
#include "tools/client/fenwright_client.h"

namespace fenwright {
namespace {

class Vendor final : public IpcListenerDelegate,
                     public PiPSurfaceProtocol,
                     public std::enable_shared_from_this<Vendor> {
 public:
  explicit Vendor(const SharedSurface* surface) : surface_(surface) {}
  bool listenerShouldAcceptNewConnection(IpcListener&, IpcConnection& connection) override {
    connection.setExportedObject(weak_from_this());
    connection.setInvalidationHandler([] {});
    connection.resume();
    return true;
  }
  void fetchSurface(const std::function<void(const SharedSurface*)>& reply) override {
    reply(surface_);
  }

 private:
  const SharedSurface* surface_;
};

// A listener on a private runtime directory for the whole run.
struct Helper {
  Helper() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fenwright-bench-XXXXXX");
    dir = ::mkdtemp(pattern.data());
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    surface.emplace(std::move(*SharedSurface::create(640, 360)));
    vendor = std::make_shared<Vendor>(&*surface);
    listener = IpcListener::make("Q2WXR7TZ4M.com.quenfield.app.pipmode");
    listener->setDelegate(vendor);
    listener->resume();
    socketPath = dir / "Q2WXR7TZ4M.com.quenfield.app.pipmode";
  }
  ~Helper() {
    listener.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  std::filesystem::path dir;
  std::filesystem::path socketPath;
  std::optional<SharedSurface> surface;
  std::shared_ptr<Vendor> vendor;
  std::unique_ptr<IpcListener> listener;
};

Helper& helper() {
  static Helper instance;
  return instance;
}

// Process CPU time in ms: it counts the listener's threads too, and not the
// time a busy machine keeps us waiting.
double processCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The mean CPU time of a call as cpu_ms.
double countCpu(benchmark::State& state, double startMs) {
  if (state.iterations() == 0) return 0;
  const double ms = (processCpuMs() - startMs) / static_cast<double>(state.iterations());
  state.counters["cpu_ms"] = ms;
  return ms;
}

// ... and "GOAL: met" or "GOAL: MISSED" by it as the label, for the report.
void labelGoal(benchmark::State& state, double startMs, double goalMs, const char* text) {
  if (state.iterations() == 0) return;
  state.SetLabel(std::string(text) + (countCpu(state, startMs) < goalMs ? ": met" : ": MISSED"));
}

void BM_ConnectFetchMap(benchmark::State& state) {
  auto& h = helper();
  const double start = processCpuMs();
  for (auto _ : state) {
    auto client = client::FenwrightClient::connect(h.socketPath);
    if (!client) {
      state.SkipWithError(client.error().c_str());
      return;
    }
    auto surface = client->fetchSurface();
    if (!surface || !*surface) {
      state.SkipWithError("fetch failed");
      return;
    }
    benchmark::DoNotOptimize((*surface)->pixels()[0]);
  }
  labelGoal(state, start, 1.0, "<1 ms");
}
BENCHMARK(BM_ConnectFetchMap)->Unit(benchmark::kMicrosecond);

void BM_FetchOnOpenConnection(benchmark::State& state) {
  auto& h = helper();
  auto client = client::FenwrightClient::connect(h.socketPath);
  if (!client) {
    state.SkipWithError(client.error().c_str());
    return;
  }
  const double start = processCpuMs();
  for (auto _ : state) {
    auto surface = client->fetchSurface();
    if (!surface || !*surface) {
      state.SkipWithError("fetch failed");
      return;
    }
    benchmark::DoNotOptimize((*surface)->pixels()[0]);
  }
  countCpu(state, start);
}
BENCHMARK(BM_FetchOnOpenConnection)->Unit(benchmark::kMicrosecond);

void BM_CopyFrame(benchmark::State& state) {
  auto& h = helper();
  auto client = client::FenwrightClient::connect(h.socketPath);
  auto surface = client ? client->fetchSurface() : decltype(client->fetchSurface())(unexpected(std::string()));
  if (!surface || !*surface) {
    state.SkipWithError("fetch failed");
    return;
  }
  std::vector<std::uint8_t> frame((*surface)->allocationSize());
  for (auto _ : state) {
    auto seed = (*surface)->copyFrame(frame);
    benchmark::DoNotOptimize(seed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(frame.size()));
}
BENCHMARK(BM_CopyFrame)->Unit(benchmark::kMicrosecond);

// The seed's part of every render: odd, even, and a futex wake that finds
// nobody, beside the same two increments alone. Clients map the seed
// read-only, so the helper cannot know whether anyone sleeps on it.
void BM_RenderSeedWithWake(benchmark::State& state) {
  auto surface = SharedSurface::create(640, 360);
  const double start = processCpuMs();
  for (auto _ : state) {
    surface->lock();
    surface->unlock();
  }
  labelGoal(state, start, 0.001, "<1 us");
}
BENCHMARK(BM_RenderSeedWithWake)->Unit(benchmark::kMicrosecond);

void BM_RenderSeedWithoutWake(benchmark::State& state) {
  std::atomic<std::uint32_t> seed{0};
  for (auto _ : state) {
    seed.fetch_add(1, std::memory_order_acq_rel);
    seed.fetch_add(1, std::memory_order_release);
    benchmark::DoNotOptimize(seed);
  }
}
BENCHMARK(BM_RenderSeedWithoutWake)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace fenwright

BENCHMARK_MAIN();
