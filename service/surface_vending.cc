#include "platform/log/logger.h"
#include "service/fenwright_service.h"

namespace fenwright {

bool FenwrightService::listenerShouldAcceptNewConnection(IpcListener&, IpcConnection& connection) {
  log::helperLogger().info("accepting XPC connection from pid={}", connection.processIdentifier());
  connection.setExportedObject(weak_from_this());
  connection.setInvalidationHandler([weak = weak_from_this()] {
    log::helperLogger().info("XPC connection invalidated — extension disconnected; shutting down");
    if (auto self = weak.lock()) self->shutdownAndExit();
  });
  connection.setInterruptionHandler(
      [] { log::helperLogger().info("XPC connection interrupted"); });
  connection.resume();
  return true;
}

// Runs on the listener's queue. The surface was made before the listener
// existed and is never replaced, so reading it here needs no hop.
void FenwrightService::fetchSurface(const std::function<void(const SharedSurface*)>& reply) {
  const SharedSurface* surface = frameBuffer->surface();
  if (surface != nullptr) {
    log::helperLogger().info("fetchSurface: vending IOSurface to extension");
  } else {
    log::helperLogger().info("fetchSurface: surface not yet allocated; returning nil");
  }
  reply(surface);
}

}  // namespace fenwright
