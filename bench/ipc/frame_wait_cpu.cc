// CPU of a client that takes every frame of a 30 fps stream, in a process
// of its own as a real client is: sleeping on the seed (waitForFrame), and
// polling it every 5 ms as clients did before. Goal: under 0.3 % of a core
// for the sleeping client. Prints a Markdown table.
//
//   fenwright_frame_wait_cpu [--seconds N]

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/shared_surface.h"
#include "protocol/wire_protocol.h"
#include "tools/client/mapped_surface.h"

namespace {

using namespace fenwright;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kFrameInterval = std::chrono::microseconds(33333);

enum class Mode { waitAndCopy, waitOnly, pollAndCopy };

struct Outcome {
  double cpuSeconds = 0;
  long frames = 0;
};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The client's side: `seconds` of taking frames, measured from inside.
Outcome watch(client::MappedSurface& surface, Mode mode, double seconds) {
  std::vector<std::uint8_t> frame(surface.allocationSize());
  std::optional<std::uint32_t> last = surface.waitForFrame(0ms);
  Outcome outcome;
  const double cpuBefore = cpuSeconds();
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds));
  while (Clock::now() < end) {
    if (mode == Mode::pollAndCopy) {
      std::this_thread::sleep_for(5ms);
      const std::uint32_t seed = surface.seed();
      if ((seed & 1) != 0 || seed == last) continue;
      auto copied = surface.copyFrame(frame);
      if (!copied || *copied == last) continue;
      last = *copied;
    } else {
      auto seed = surface.waitForFrame(std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()));
      if (!seed) continue;
      if (mode == Mode::waitAndCopy && !surface.copyFrame(frame)) continue;
    }
    ++outcome.frames;
  }
  outcome.cpuSeconds = cpuSeconds() - cpuBefore;
  return outcome;
}

// Renders at 30 fps in this process while a child process watches.
std::optional<Outcome> measure(SharedSurface& surface, Mode mode, double seconds) {
  auto pixels = surface.openPixelsReadOnly();
  auto control = surface.openControlReadOnly();
  int results[2];
  if (!pixels || !control || ::pipe(results) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    ::close(results[0]);
    wire::SurfaceDescription description{surface.id(), surface.width(), surface.height(),
                                         surface.bytesPerRow(), surface.allocationSize(),
                                         kPixelFormatBGRA,
                                         SharedSurface::kControlSize};
    auto mapped = client::MappedSurface::map(description, std::move(*pixels), std::move(*control));
    Outcome outcome;
    if (mapped) outcome = watch(*mapped, mode, seconds);
    bool written = ::write(results[1], &outcome, sizeof outcome) == sizeof outcome;
    ::_exit(mapped && written ? 0 : 1);
  }
  ::close(results[1]);
  pixels->reset();
  control->reset();

  // Half a second of margin either side of the child's window.
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(seconds + 1.0));
  std::uint8_t value = 0;
  for (auto next = start; next < end; next += kFrameInterval) {
    std::this_thread::sleep_until(next);
    surface.lock();
    std::memset(surface.baseAddress(), ++value, surface.allocationSize());
    surface.unlock();
  }
  Outcome outcome;
  bool read = ::read(results[0], &outcome, sizeof outcome) == sizeof outcome;
  ::close(results[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!read || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
  auto surface = SharedSurface::create(640, 360);
  if (!surface || seconds <= 0) {
    std::fprintf(stderr, "fenwright_frame_wait_cpu: no surface, or no --seconds\n");
    return 1;
  }

  struct Case {
    Mode mode;
    const char* name;
  };
  const Case cases[] = {
      {Mode::waitAndCopy, "sleeping on the seed (`waitForFrame`), copying each frame"},
      {Mode::waitOnly, "sleeping on the seed, not copying"},
      {Mode::pollAndCopy, "polling the seed every 5 ms, copying each frame (before)"},
  };
  std::printf("A client in its own process taking a 30 fps stream for %.0f s. "
              "Goal: under 0.3 %% of a core sleeping on the seed.\n\n",
              seconds);
  std::printf("| client | CPU (%% of a core) | frames taken | of |\n|---|---|---|---|\n");
  for (const Case& c : cases) {
    auto outcome = measure(*surface, c.mode, seconds);
    if (!outcome) {
      std::printf("| %s | failed | – | – |\n", c.name);
      continue;
    }
    std::printf("| %s | %.3f | %ld | %.0f |\n", c.name, 100.0 * outcome->cpuSeconds / seconds,
                outcome->frames, seconds / std::chrono::duration<double>(kFrameInterval).count());
  }
  return 0;
}
