// A minimal helper for fenwright-view's live tests: serves a pattern surface
// the way the service does, and exits 0 once its client has gone.
// Exit 3: no listener.

#include "config/shared_identifiers.h"
#include "platform/process.h"
#include "tests/ipc/ipc_test_support.h"

int main() {
  static fenwright::SharedSurface surface = fenwright::testing::makePatternSurface();
  static auto service = std::make_shared<fenwright::testing::FakeService>(&surface);
  static auto listener = fenwright::IpcListener::make(fenwright::quenfieldPiPModeXPCServiceName);
  if (!listener) fenwright::exitProcess(3);
  listener->setDelegate(service);
  listener->resume();
  while (!service->waitForInvalidations(1)) {
  }
  fenwright::exitProcess(0);
}
