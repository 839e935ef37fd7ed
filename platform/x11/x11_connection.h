#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <xcb/xcb.h>

#include "platform/capture/capture_error.h"
#include "platform/x11/x11_atoms.h"
#include "platform/x11/x11_capabilities.h"
#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {

// One connection to an X server, with its screen, what its server offers and
// the atoms we read. Used from one thread at a time. Move-free: others keep
// references to it.
class X11Connection {
 public:
  // Connects to `displayName`, or to $DISPLAY when it is empty.
  static CaptureResult<std::unique_ptr<X11Connection>> open(const std::string& displayName);

  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  xcb_connection_t* get() const { return connection_.get(); }
  const std::string& displayName() const { return displayName_; }
  const xcb_screen_t& screen() const { return *screen_; }
  xcb_window_t root() const { return screen_->root; }
  const X11Capabilities& capabilities() const { return capabilities_; }
  int fileDescriptor() const { return xcb_get_file_descriptor(connection_.get()); }
  bool hasError() const { return xcb_connection_has_error(connection_.get()) != 0; }

  // Interned on first use; empty when the connection failed meanwhile.
  const X11Atoms* atoms();

  // Whether pixels of this depth and visual arrive as 32-bit little-endian
  // words laid out as BGRA in memory (the X order on every common server).
  bool hasBgraLayout(std::uint8_t depth, xcb_visualid_t visual) const;

  // A fresh id for a server-side object; nullopt once the connection broke.
  std::optional<std::uint32_t> generateId() const;

 private:
  X11Connection(XcbConnectionPtr connection, std::string displayName, xcb_screen_t* screen);

  XcbConnectionPtr connection_;
  std::string displayName_;
  xcb_screen_t* screen_;
  X11Capabilities capabilities_;
  std::optional<X11Atoms> atoms_;
};

// The text of errors that mean the server went away.
inline constexpr const char* kConnectionLost = "the X connection was lost";

}  // namespace fenwright::x11
