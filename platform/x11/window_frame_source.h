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
// as before) and read from its own pixmap. The pixmap is named once, and
// again whenever the server replaces it (a resize, a map, a reparent), not
// for every frame. Damage on the window, as bounding boxes, says when and
// which rows changed: the reader's memory keeps the last picture, and only
// the rows that changed since are read again.
class WindowFrameSource final : public FrameSource {
 public:
  static CaptureResult<std::unique_ptr<FrameSource>> create(X11Connection& connection,
                                                            std::uint32_t window);

  Change handleEvent(const xcb_generic_event_t& event) override;
  bool needsPolling() const override { return !damage_.following(); }
  Change poll() override { return Change::content; }
  Grab grab(X11ImageReader& reader, FrameFitter& fitter) override;
  void listen() override { damage_.listen(connection_.get()); }
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
  // Rows [staleTop_, staleBottom_) changed since the last read; after the
  // read, rows [readTop_, readBottom_) hold what they showed as it began.
  int staleTop_ = 0, staleBottom_ = 0;
  int readTop_ = 0, readBottom_ = 0;
  bool readWhole_ = true;

  void rebuild();
  void stale(int top, int bottom);

  // Released in reverse order: pixmap, damage, redirection, selection.
  XcbEventSelection events_;
  XcbCompositeRedirect redirect_;
  DamageFilter damage_;
  XcbPixmap pixmap_;
};

}  // namespace fenwright::x11
