// The helper's entry point. It takes no options and reads no variables of
// its own: the sentinel file decides everything.
#include <chrono>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include "config/pip_sentinel_reader.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/shared_executor.h"
#include "platform/log/logger.h"
#include "platform/process.h"
#include "platform/wayland/wayland_screen_capture.h"
#include "platform/x11/x11_screen_capture.h"
#include "service/fenwright_service.h"

namespace {

// Wayland when the session has a display and a ScreenCast portal, and the
// sentinel does not name an X window (an Xwayland window picked by its X id
// keeps the X11 backend while DISPLAY is set too).
std::shared_ptr<fenwright::ScreenCapture> chooseScreenCapture(
    const fenwright::PiPSentinelConfig& config) {
  using namespace fenwright;
  const char* x11Display = std::getenv("DISPLAY");
  const bool xWindowPicked = !config.portalRestoreToken && config.windowID && x11Display &&
                             x11Display[0] != '\0';
  if (!xWindowPicked && waylandCaptureAvailable()) {
    log::helperLogger().info("capture backend: Wayland (ScreenCast portal + PipeWire)");
    return makeWaylandScreenCapture([]() -> std::optional<wayland::PortalPick> {
      PiPSentinelConfig now = readPiPSentinel();
      if (!now.portalRestoreToken || now.portalRestoreToken->empty()) return std::nullopt;
      return wayland::PortalPick{*now.portalRestoreToken, now.windowTitle,
                                 now.source == "region"};
    });
  }
  log::helperLogger().info("capture backend: X11");
  return makeX11ScreenCapture();
}

int run() {
  using namespace fenwright;
  auto& helperLogger = log::helperLogger();
  helperLogger.info("Fenwright starting pid={}", currentProcessId());

  // A sentinel that cannot be read for a passing reason of the process
  // (out of descriptors or memory) is tried again for 200 ms before it is
  // taken as off, like any file that cannot be read.
  PiPSentinelRead read = probePiPSentinel();
  for (int retry = 0; read.transientFailure && retry < 10; ++retry) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    read = probePiPSentinel();
  }
  if (read.transientFailure) {
    helperLogger.error("sentinel: read failed ({}) — taken as disabled", *read.transientFailure);
  }
  const PiPSentinelConfig sentinelConfig = read.config;
  // Owned for the whole life of the process, never released.
  static std::shared_ptr<FenwrightService> service =
      FenwrightService::create(chooseScreenCapture(sentinelConfig));

  if (!sentinelConfig.enabled) {
    helperLogger.info("sentinel disabled — listener-only mode to drain pending dial then exit");
    service->startListenerOnly();
    runMainLoopForever();
  }

  std::string windowText = sentinelConfig.windowID ? std::to_string(*sentinelConfig.windowID)
                                                   : std::string("nil (test pattern)");
  helperLogger.info("sentinel enabled (window_id={}) — full startup", windowText);
  service->startFull(sentinelConfig);
  runMainLoopForever();
}

}  // namespace

int main() {
  fenwright::useOneMallocArena();
  // Its thread has nothing else to do: it answers clients, not a thread more.
  fenwright::answerOnMainThread();
  // Queues and threads are made at start; out of descriptors or threads,
  // say so and end with the start-up failure status instead of aborting.
  try {
    return run();
  } catch (const std::exception& failure) {
    fenwright::log::helperLogger().error("cannot start: {}", failure.what());
    fenwright::log::helperLogger().flush();
    return 1;
  }
}
