#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/capture/capture_error.h"
#include "platform/x11/damage_filter.h"
#include "platform/x11/frame_source.h"
#include "platform/x11/window_placement.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {

// One window alone, whatever covers it and wherever it is. While the screen
// shows all of it, it is read from the screen; once something covers it or
// it goes partly off screen, it is redirected (automatic Composite
// redirection, so the server still shows it as before) and read from its
// own pixmap: kept redirected for good, it would cost the server a copy of
// every repaint when no compositing manager runs. The pixmap is named once,
// and again whenever the server replaces it (a resize, a map, a reparent),
// not for every frame. Damage on the window, as bounding boxes, says when
// and which rows changed: the reader's memory keeps the last picture, and
// only the rows that changed since are read again.
//
// The switch keeps every picture whole. The server fills a new pixmap with
// what the screen showed there, the cover included: that part is asked of
// the client again (an exposure), and until its repaint arrives it is
// taken from the last picture kept. Pictures are read into the reader's
// two memories in turn for that, so the last one kept is never the one
// being read. A read from the screen is kept only when no change of
// placement came before its reply: the screen may have shown something
// else over the window by then.
class WindowFrameSource final : public FrameSource {
 public:
  static CaptureResult<std::unique_ptr<FrameSource>> create(X11Connection& connection,
                                                            std::uint32_t window);

  Change handleEvent(const xcb_generic_event_t& event) override;
  bool needsPolling() const override { return !damage_.following(); }
  Change poll() override { return Change::content; }
  Grab grab(X11ImageReader& reader, FrameFitter& fitter, bool rowsMayArrive) override;
  bool keep() override;
  void grabFailed() override;
  void listen() override { damage_.listen(connection_.get()); }
  bool captures(std::uint32_t windowID) const override { return windowID == window_; }
  std::string endReason() const override;

 private:
  WindowFrameSource(X11Connection& connection, xcb_window_t window)
      : connection_(connection), window_(window) {}

  // One of the two memories pictures are read into.
  struct Buffer {
    // Rows [staleTop, staleBottom) changed since this memory was read.
    int staleTop = 0, staleBottom = 0;
    bool whole = true;
  };

  X11Connection& connection_;
  xcb_window_t window_;
  bool opaque_ = true;
  bool mapped_ = false;
  int width_ = 0;
  int height_ = 0;
  int border_ = 0;
  std::uint32_t pixmapId_ = 0;
  Buffer buffers_[2];
  // The memory of the last picture kept, of the last read, and of the read
  // that waits for keep().
  int front_ = -1, last_ = -1, pending_ = -1;
  // After the last read, rows [readTop_, readBottom_) hold what they showed
  // as it began.
  int readTop_ = 0, readBottom_ = 0;
  // Structure changed since the placement was last asked; since the
  // pending read, which came from the screen.
  bool placementStale_ = true;
  bool unsure_ = false;
  bool fromScreen_ = false;
  // What the pixmap may hold of another window, until the client repaints
  // it after the request of that sequence.
  xcb_rectangle_t hidden_{};
  // Bounds of what was repainted since the client was asked.
  xcb_rectangle_t repainted_{};
  std::uint32_t askedSequence_ = 0;
  std::chrono::steady_clock::time_point askedAt_{};

  void rebuild();
  void stale(Buffer& buffer, int top, int bottom) const;
  // Asks where the window is and reads it from the screen or redirects it
  // accordingly.
  void place();
  void askAgain(const xcb_rectangle_t& area);
  void patchHidden(const X11ImageReader& reader, std::uint8_t* pixels) const;
  Change structureChange(const xcb_generic_event_t& event);

  // Released in reverse order: pixmap, damage, redirection, the watch on
  // the ancestors, selection.
  XcbEventSelection events_;
  // Made at the first grab, so that its selections come after those a
  // source this one replaced lets go of.
  std::optional<WindowPlacement> placement_;
  XcbCompositeRedirect redirect_;
  DamageFilter damage_;
  XcbPixmap pixmap_;
};

}  // namespace fenwright::x11
