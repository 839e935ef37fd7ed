#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/capture/capture_error.h"
#include "platform/capture/shareable_content.h"
#include "platform/capture/stream_configuration.h"
#include "platform/x11/damage_filter.h"
#include "platform/x11/frame_source.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {

// A rectangle of one display as the user sees it, read from the root window.
// The source rectangle is in the display's coordinates (the whole display
// when none is set), rounded to whole pixels, and the frame always shows all
// of it: what lies off the display (or off the screen) is black, the rest
// stays where it is in the rectangle. The display is followed through RandR:
// the rectangle moves with it, and the stream ends when it goes away (its
// monitor deleted, its output switched off). Damage on the root says when
// the picture changed; the pointer, which moves without any event we could
// select, is polled once per frame interval when the cursor is shown.
class RegionFrameSource final : public FrameSource {
 public:
  static CaptureResult<std::unique_ptr<FrameSource>> create(
      X11Connection& connection, const CaptureDisplay& display,
      const std::optional<SourceRect>& sourceRect, bool showsCursor);

  Change handleEvent(const xcb_generic_event_t& event) override;
  bool needsPolling() const override { return !damage_.following() || showsCursor_; }
  Change poll() override;
  Grab grab(X11ImageReader& reader, FrameFitter& fitter, bool rowsMayArrive) override;
  void listen() override { damage_.listen(connection_.get()); }
  bool captures(std::uint32_t) const override { return false; }
  std::string endReason() const override { return "the screen is gone"; }

 private:
  struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool empty() const { return width <= 0 || height <= 0; }
  };

  RegionFrameSource(X11Connection& connection, std::uint32_t displayID,
                    std::optional<SourceRect> sourceRect, bool showsCursor)
      : connection_(connection),
        displayID_(displayID),
        sourceRect_(sourceRect),
        showsCursor_(showsCursor) {}
  std::optional<CaptureError> place(const CaptureDisplay& display, int screenWidth,
                                    int screenHeight);
  Change displaysChanged();
  bool nearArea(int x, int y) const;

  X11Connection& connection_;
  const std::uint32_t displayID_;
  const std::optional<SourceRect> sourceRect_;
  Rect requested_;  // the rectangle asked for, on the root
  Rect area_;       // the part of it on its display
  bool showsCursor_;
  bool opaque_ = true;
  std::optional<std::pair<int, int>> pointer_;

  XcbEventSelection rootEvents_;
  XcbRandrSelection displayEvents_;
  XcbCursorSelection cursorEvents_;
  DamageFilter damage_;
};

}  // namespace fenwright::x11
