// The helper's entry point. It takes no options and reads no variables of
// its own: the sentinel file decides everything.
#include <exception>
#include <string>

#include "config/pip_sentinel_reader.h"
#include "platform/dispatch/main_loop.h"
#include "platform/log/logger.h"
#include "platform/process.h"
#include "platform/x11/x11_screen_capture.h"
#include "service/fenwright_service.h"

namespace {

int run() {
  using namespace fenwright;
  auto& helperLogger = log::helperLogger();
  helperLogger.info("Fenwright starting pid={}", currentProcessId());

  const PiPSentinelConfig sentinelConfig = readPiPSentinel();
  // Owned for the whole life of the process, never released.
  static std::shared_ptr<FenwrightService> service =
      FenwrightService::create(makeX11ScreenCapture());

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
