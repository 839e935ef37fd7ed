#include "platform/x11/x11_query_connection.h"

#include "platform/log/logger.h"

namespace fenwright::x11 {

CaptureResult<X11Connection*> X11QueryConnection::get() {
  settle();
  if (!connection_) {
    auto opened = X11Connection::open(displayName_);
    if (!opened) return opened.error();
    connection_ = std::move(opened.value());
    log::helperLogger().info("x11: connected to {} — {}", connection_->displayName(),
                             connection_->capabilities().describe());
  }
  return connection_.get();
}

void X11QueryConnection::settle() {
  if (!connection_) return;
  // Nothing is selected on this connection, but stray errors would pile up.
  while (XcbEvent event{xcb_poll_for_event(connection_->get())}) {
  }
  if (connection_->hasError()) {
    log::helperLogger().error("x11: connection to {} lost — reconnecting at next use",
                              connection_->displayName());
    connection_.reset();
  }
}

}  // namespace fenwright::x11
