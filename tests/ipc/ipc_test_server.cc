// A minimal helper for the socket-activation tests: serves a pattern surface
// the way the service does, and exits 0 when a connection is invalidated.
// Exit 3: no listener.

#include <memory>

#include "config/shared_identifiers.h"
#include "platform/dispatch/main_loop.h"
#include "platform/log/logger.h"
#include "platform/process.h"
#include "tests/ipc/ipc_test_support.h"

namespace {

using namespace fenwright;

class Server final : public IpcListenerDelegate,
                     public PiPSurfaceProtocol,
                     public std::enable_shared_from_this<Server> {
 public:
  explicit Server(const SharedSurface* surface) : surface_(surface) {}

  bool listenerShouldAcceptNewConnection(IpcListener&, IpcConnection& connection) override {
    log::helperLogger().info("test server: accepting pid={}", connection.processIdentifier());
    connection.setExportedObject(weak_from_this());
    connection.setInvalidationHandler([] {
      log::helperLogger().info("test server: connection invalidated");
      exitProcess(0);
    });
    connection.resume();
    return true;
  }
  void fetchSurface(const std::function<void(const SharedSurface*)>& reply) override {
    reply(surface_);
  }

 private:
  const SharedSurface* surface_;
};

}  // namespace

int main() {
  static SharedSurface surface = fenwright::testing::makePatternSurface();
  static auto server = std::make_shared<Server>(&surface);
  static auto listener = IpcListener::make(quenfieldPiPModeXPCServiceName);
  if (!listener) exitProcess(3);
  listener->setDelegate(server);
  listener->resume();
  runMainLoopForever();
}
