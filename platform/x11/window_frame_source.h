#pragma once

#include <cstdint>
#include <memory>

#include "platform/capture/capture_error.h"
#include "platform/x11/damage_filter.h"
#include "platform/x11/frame_source.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {

// One window alone, whatever covers it and wherever it is: the window is
// redirected (automatic Composite redirection, so the server still shows it
// as before) and read from its own pixmap, named afresh for every frame so a
// resize, a remap or a new backing pixmap can never leave us reading stale
// storage. Damage on the window says when it changed.
class WindowFrameSource final : public FrameSource {
 public:
  static CaptureResult<std::unique_ptr<FrameSource>> create(X11Connection& connection,
                                                            std::uint32_t window);

  Change handleEvent(const xcb_generic_event_t& event) override;
  bool needsPolling() const override { return !damage_.following(); }
  Change poll() override { return Change::content; }
  Grab grab(X11ImageReader& reader, FrameFitter& fitter) override;
  // Redirection gives the window new storage; what was covered or off the
  // screen is undefined until its client repaints.
  bool rebuiltAtStart() const override { return true; }
  bool captures(std::uint32_t windowID) const override { return windowID == window_; }
  std::string endReason() const override;

 private:
  WindowFrameSource(X11Connection& connection, xcb_window_t window)
      : connection_(connection), window_(window) {}

  X11Connection& connection_;
  xcb_window_t window_;
  bool opaque_ = true;
  bool mapped_ = false;
  int width_ = 0;
  int height_ = 0;
  int border_ = 0;
  std::uint32_t pixmapId_ = 0;

  // Released in reverse order: pixmap, damage, redirection, selection.
  XcbEventSelection events_;
  XcbCompositeRedirect redirect_;
  DamageFilter damage_;
  XcbPixmap pixmap_;
};

}  // namespace fenwright::x11
