#pragma once

#include <memory>
#include <string>

#include "platform/capture/capture_error.h"
#include "platform/x11/x11_connection.h"

namespace fenwright::x11 {

// The connection that answers content queries, on the X queue. Opened at
// first use and opened again at the next use after the server went away;
// what the server offers is logged once per connection.
class X11QueryConnection {
 public:
  explicit X11QueryConnection(std::string displayName) : displayName_(std::move(displayName)) {}
  X11QueryConnection(const X11QueryConnection&) = delete;
  X11QueryConnection& operator=(const X11QueryConnection&) = delete;

  CaptureResult<X11Connection*> get();
  // After a query: drops the connection if it broke meanwhile.
  void settle();
  const std::string& displayName() const { return displayName_; }

 private:
  std::string displayName_;
  std::unique_ptr<X11Connection> connection_;
};

}  // namespace fenwright::x11
