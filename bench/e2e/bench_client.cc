// The client side of the end-to-end bench. Either starts the real helper and
// takes its frames as a client does (sleeping on the seed), or reads raw
// 640x360 BGRx frames from stdin, as a peer pipeline writes them. For each
// frame it notes when it arrived and which repaint of the stamp window it
// shows. Talks to the orchestrator on stdout, one line per event:
//
//   helper <pid>            the helper was started
//   first_frame_ms <ms>     helper start to the first frame showing the window
//   begin                   the measured span starts (after --warmup seconds)
//   end frames=<n> cpu_s=<s> helper_cpu_s=<s> seconds=<s>
//                           the client's CPU and the helper's over the span
//   helper_exit <status>    after the connection closed
//
//   fenwright_bench_client (--launch HELPER [--helper-log FILE] | --raw)
//       [--warmup S] [--seconds S] [--stamps FILE]
//
// --stamps FILE gets "<number> <CLOCK_MONOTONIC ns>" for each frame taken in
// the measured span (number -1: no stamp readable).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/client/fenwright_client.h"

extern char** environ;

namespace {

using namespace fenwright;
using namespace std::chrono_literals;

constexpr int kWidth = 640, kHeight = 360, kBytesPerRow = kWidth * 4;
// The centre of the window's top-left quadrant, and of its top-right one,
// for a 16:9 window filling the surface.
constexpr int kStampX = 160, kStampY = 90, kWindowX = 480, kWindowY = 90;
// The top-right quadrant's two colours while the window swaps quadrants.
constexpr std::uint32_t kWindowColors[] = {0x20B040, 0x2040D0};

std::int64_t monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// utime+stime of another process, from /proc; 0 when it cannot be read.
double cpuSecondsOf(pid_t pid) {
  if (pid <= 0) return 0;
  std::FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (stat == nullptr) return 0;
  char text[1024] = {};
  const std::size_t length = std::fread(text, 1, sizeof text - 1, stat);
  std::fclose(stat);
  // Fields after the command name, which may hold spaces: utime is the 14th.
  const char* rest = std::strrchr(text, ')');
  unsigned long long utime = 0, stime = 0;
  if (length == 0 || rest == nullptr ||
      std::sscanf(rest + 2, "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %llu", &utime, &stime) != 2)
    return 0;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::uint32_t rgbAt(const std::uint8_t* pixels, int x, int y) {
  const std::uint8_t* p = pixels + y * kBytesPerRow + x * 4;
  return static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[0];
}

// A stamp survives scaling to within a few levels of 16 * d + 8.
int decodeStamp(std::uint32_t rgb) {
  int number = 0;
  for (int shift = 16; shift >= 0; shift -= 8) {
    const int level = static_cast<int>((rgb >> shift) & 0xFF);
    if (std::abs(level % 16 - 8) > 5) return -1;
    number = number << 4 | level / 16;
  }
  return number;
}

bool showsWindow(std::uint32_t rgb) {
  for (std::uint32_t color : kWindowColors) {
    bool near = true;
    for (int shift = 0; shift <= 16; shift += 8)
      near = near && std::abs(static_cast<int>((rgb >> shift) & 0xFF) -
                              static_cast<int>((color >> shift) & 0xFF)) <= 8;
    if (near) return true;
  }
  return false;
}

// One pixel of a finished frame, or nothing if a render kept overlapping.
std::optional<std::uint32_t> settledRgbAt(const client::MappedSurface& surface, int x, int y) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::uint32_t before = surface.seed();
    if ((before & 1) != 0) continue;
    const std::uint32_t rgb = rgbAt(surface.pixels().data(), x, y);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (surface.seed() == before) return rgb;
  }
  return std::nullopt;
}

struct Sighting {
  int stamp;
  std::int64_t atNs;
};

class Recorder {
 public:
  explicit Recorder(double seconds) { sightings_.reserve(static_cast<std::size_t>(seconds * 120) + 64); }
  void add(int stamp, std::int64_t atNs) {
    if (sightings_.size() < sightings_.capacity()) sightings_.push_back({stamp, atNs});
    ++frames_;
  }
  long frames() const { return frames_; }
  void write(const char* path) const {
    if (path == nullptr) return;
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr) return;
    for (const Sighting& s : sightings_) std::fprintf(out, "%d %lld\n", s.stamp, static_cast<long long>(s.atNs));
    std::fclose(out);
  }

 private:
  std::vector<Sighting> sightings_;
  long frames_ = 0;
};

struct Options {
  const char* helper = nullptr;
  const char* helperLog = "/dev/null";
  const char* stamps = nullptr;
  bool raw = false;
  double warmup = 1, seconds = 10;
};

// The measured span: `takeFrame` sleeps until the next frame and gives its
// stamp, or nothing when none came.
template <class TakeFrame>
void measure(const Options& options, pid_t helper, TakeFrame&& takeFrame) {
  auto after = [](double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
  };
  const auto warmEnd = after(options.warmup);
  while (std::chrono::steady_clock::now() < warmEnd) takeFrame(warmEnd);
  Recorder recorder(options.seconds);
  say("begin");
  const auto begin = std::chrono::steady_clock::now();
  const double cpuBefore = cpuSeconds(), helperBefore = cpuSecondsOf(helper);
  const auto end = after(options.seconds);
  while (std::chrono::steady_clock::now() < end) {
    std::optional<int> stamp = takeFrame(end);
    if (stamp) recorder.add(*stamp, monotonicNs());
  }
  const double cpu = cpuSeconds() - cpuBefore, helperCpu = cpuSecondsOf(helper) - helperBefore;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  char line[160];
  std::snprintf(line, sizeof line, "end frames=%ld cpu_s=%.4f helper_cpu_s=%.4f seconds=%.4f",
                recorder.frames(), cpu, helperCpu, seconds);
  say(line);
  recorder.write(options.stamps);
}

// Sleeps until a name is created or moved into the socket's directory (the
// helper renames its socket into place), or a millisecond has passed: a
// client dialling every 100 µs took CPU from the helper starting up.
class SocketDirectoryWatch {
 public:
  SocketDirectoryWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    auto path = client::FenwrightClient::defaultSocketPath();
    if (fd_ >= 0 && path)
      inotify_add_watch(fd_, path->parent_path().c_str(), IN_CREATE | IN_MOVED_TO);
  }
  SocketDirectoryWatch(const SocketDirectoryWatch&) = delete;
  SocketDirectoryWatch& operator=(const SocketDirectoryWatch&) = delete;
  ~SocketDirectoryWatch() {
    if (fd_ >= 0) close(fd_);
  }
  void wait() {
    if (fd_ < 0) {
      std::this_thread::sleep_for(100us);
      return;
    }
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, 1) > 0) {
      alignas(inotify_event) char events[4096];
      while (read(fd_, events, sizeof events) > 0) {
      }
    }
  }

 private:
  int fd_;
};

// Dials the helper as soon as its socket takes calls, waits for the window
// to show, then measures; the connection closes on return.
void watch(const Options& options, pid_t helper, std::int64_t startNs, SocketDirectoryWatch& dir) {
  std::optional<client::FenwrightClient> connection;
  std::optional<client::MappedSurface> surface;
  for (const auto giveUp = std::chrono::steady_clock::now() + 5s;
       !surface && std::chrono::steady_clock::now() < giveUp;) {
    auto dialled = client::FenwrightClient::connect();
    if (!dialled) {
      dir.wait();
      continue;
    }
    connection.emplace(std::move(*dialled));
    auto fetched = connection->fetchSurface();
    if (fetched && *fetched) surface.emplace(std::move(**fetched));
  }
  if (!surface) {
    std::fprintf(stderr, "fenwright_bench_client: no surface from the helper\n");
    return;
  }
  std::optional<std::int64_t> firstNs;
  for (const auto giveUp = std::chrono::steady_clock::now() + 5s;
       !firstNs && std::chrono::steady_clock::now() < giveUp;) {
    if (!surface->waitForFrame(100ms)) continue;
    auto rgb = settledRgbAt(*surface, kWindowX, kWindowY);
    if (rgb && showsWindow(*rgb)) firstNs = monotonicNs();
  }
  if (!firstNs) {
    std::fprintf(stderr, "fenwright_bench_client: the window never showed\n");
    return;
  }
  char line[64];
  std::snprintf(line, sizeof line, "first_frame_ms %.3f", static_cast<double>(*firstNs - startNs) / 1e6);
  say(line);
  if (options.seconds <= 0) return;
  measure(options, helper, [&](std::chrono::steady_clock::time_point until) -> std::optional<int> {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left <= 0ms || !surface->waitForFrame(left)) return std::nullopt;
    auto rgb = settledRgbAt(*surface, kStampX, kStampY);
    return rgb ? decodeStamp(*rgb) : -1;
  });
}

int runHelper(const Options& options) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.helperLog,
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  char* argv[] = {const_cast<char*>(options.helper), nullptr};
  pid_t helper = 0;
  // Watching before the start: the socket may appear at once.
  SocketDirectoryWatch dir;
  const std::int64_t startNs = monotonicNs();
  const int spawned = posix_spawn(&helper, options.helper, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    std::fprintf(stderr, "fenwright_bench_client: cannot start %s\n", options.helper);
    return 1;
  }
  say("helper " + std::to_string(helper));
  watch(options, helper, startNs, dir);
  // The connection is closed: the helper should go on its own.
  int status = 0;
  for (int waited = 0; waited < 500 && ::waitpid(helper, &status, WNOHANG) == 0; ++waited)
    std::this_thread::sleep_for(10ms);
  if (::waitpid(helper, &status, WNOHANG) == 0) {
    ::kill(helper, SIGKILL);
    ::waitpid(helper, &status, 0);
    say("helper_exit killed");
    return 1;
  }
  say("helper_exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
  return 0;
}

// Frames as a pipeline writes them to stdout: whole 640x360 BGRx images.
int runRaw(const Options& options) {
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(kBytesPerRow) * kHeight);
  bool open = true;
  measure(options, 0, [&](std::chrono::steady_clock::time_point) -> std::optional<int> {
    std::size_t have = 0;
    while (open && have < frame.size()) {
      const ssize_t n = ::read(STDIN_FILENO, frame.data() + have, frame.size() - have);
      if (n <= 0) open = false;
      else have += static_cast<std::size_t>(n);
    }
    if (!open) {
      std::this_thread::sleep_for(10ms);
      return std::nullopt;
    }
    return decodeStamp(rgbAt(frame.data(), kStampX, kStampY));
  });
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--raw") {
      options.raw = true;
      continue;
    }
    if (value == nullptr) {
      std::fprintf(stderr, "fenwright_bench_client: %s needs a value\n", arg.c_str());
      return 2;
    }
    ++i;
    if (arg == "--launch") options.helper = value;
    else if (arg == "--helper-log") options.helperLog = value;
    else if (arg == "--stamps") options.stamps = value;
    else if (arg == "--warmup") options.warmup = std::atof(value);
    else if (arg == "--seconds") options.seconds = std::atof(value);
    else {
      std::fprintf(stderr, "fenwright_bench_client: bad option %s\n", arg.c_str());
      return 2;
    }
  }
  if (options.raw) return runRaw(options);
  if (options.helper == nullptr) {
    std::fprintf(stderr, "fenwright_bench_client: --launch HELPER or --raw\n");
    return 2;
  }
  return runHelper(options);
}
