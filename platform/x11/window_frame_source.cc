#include "platform/x11/window_frame_source.h"

#include <algorithm>

#include "platform/x11/pixel_ops.h"
#include "platform/x11/x11_text.h"

namespace fenwright::x11 {
namespace {

std::string windowName(std::uint32_t window) { return "window " + hexId(window); }

std::string xError(const XcbError& error) {
  return "X error " + std::to_string(static_cast<int>(error->error_code));
}

bool isGoneError(const XcbError& error) {
  return error->error_code == XCB_WINDOW || error->error_code == XCB_DRAWABLE;
}

}  // namespace

CaptureResult<std::unique_ptr<FrameSource>> WindowFrameSource::create(X11Connection& connection,
                                                                      std::uint32_t window) {
  const std::string name = windowName(window);
  if (!connection.capabilities().canCaptureWindows())
    return CaptureError{"the X server at " + connection.displayName() +
                        " has no Composite extension (0.2 or later), which window capture needs"};
  if (window == connection.root())
    return CaptureError{name + " is the root window; capture a display instead"};

  xcb_connection_t* c = connection.get();
  // Watched before it is asked about: a map, resize or destroy between the
  // answer and the watch would otherwise never be heard of, and a window
  // mapped just then would stay blank for good.
  const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  if (XcbError error =
          xcbCheck(c, xcb_change_window_attributes_checked(c, window, XCB_CW_EVENT_MASK, &mask))) {
    return CaptureError{isGoneError(error) ? name + " does not exist"
                                           : "cannot watch " + name + " (" + xError(error) + ")"};
  }
  XcbEventSelection events(c, window);
  auto attributesCookie = xcb_get_window_attributes(c, window);
  auto geometryCookie = xcb_get_geometry(c, window);
  auto attributes = xcbAnswer(c, xcb_get_window_attributes_reply, attributesCookie);
  auto geometry = xcbAnswer(c, xcb_get_geometry_reply, geometryCookie);
  if (connection.hasError()) return CaptureError{kConnectionLost};
  if (!attributes || !geometry) return CaptureError{name + " does not exist"};
  if (attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY)
    return CaptureError{name + " is input-only and has no picture"};
  if (!connection.hasBgraLayout(geometry->depth, attributes->visual))
    return CaptureError{name + " has a pixel format that cannot be captured (depth " +
                        std::to_string(geometry->depth) + ")"};

  std::unique_ptr<WindowFrameSource> source(new WindowFrameSource(connection, window));
  source->opaque_ = geometry->depth != 32;
  source->mapped_ = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  source->width_ = geometry->width;
  source->height_ = geometry->height;
  source->border_ = geometry->border_width;
  source->events_ = std::move(events);

  if (XcbError error = xcbCheck(
          c, xcb_composite_redirect_window_checked(c, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC))) {
    return CaptureError{isGoneError(error)
                            ? name + " does not exist"
                            : "cannot redirect " + name + " for capture (" + xError(error) + ")"};
  }
  source->redirect_ = XcbCompositeRedirect(c, window);

  auto pixmapId = connection.generateId();
  if (!pixmapId) return CaptureError{kConnectionLost};
  source->pixmapId_ = *pixmapId;

  if (auto error = source->damage_.follow(
          connection, window, XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX, [&](const XcbError& refusal) {
            return isGoneError(refusal)
                       ? name + " does not exist"
                       : "cannot follow changes of " + name + " (" + xError(refusal) + ")";
          }))
    return *error;
  return std::unique_ptr<FrameSource>(std::move(source));
}

void WindowFrameSource::rebuild() {
  readWhole_ = true;
  // Names the new pixmap at the next grab; the old one is let go now.
  pixmap_.reset();
}

void WindowFrameSource::stale(int top, int bottom) {
  top = std::clamp(top, 0, height_);
  bottom = std::clamp(bottom, top, height_);
  if (top == bottom) return;
  if (staleTop_ == staleBottom_) {
    staleTop_ = top;
    staleBottom_ = bottom;
    return;
  }
  staleTop_ = std::min(staleTop_, top);
  staleBottom_ = std::max(staleBottom_, bottom);
}

FrameSource::Change WindowFrameSource::handleEvent(const xcb_generic_event_t& event) {
  xcb_rectangle_t area{};
  if (auto seen = damage_.see(event, &area); seen != DamageFilter::Seen::other) {
    if (seen == DamageFilter::Seen::nothingNew) return Change::none;
    const int top = area.y, bottom = area.y + area.height;
    // Changed before the last read began, in rows that read took whole.
    if (seen == DamageFilter::Seen::earlier && top >= readTop_ && bottom <= readBottom_)
      return Change::none;
    stale(top, bottom);
    return seen == DamageFilter::Seen::earlier ? Change::missed : Change::content;
  }
  switch (event.response_type & 0x7F) {
    case XCB_CONFIGURE_NOTIFY: {
      const auto& configure = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
      if (configure.window != window_) return Change::none;
      bool resized = configure.width != width_ || configure.height != height_ ||
                     configure.border_width != border_;
      width_ = configure.width;
      height_ = configure.height;
      border_ = configure.border_width;
      if (!resized) return Change::none;
      rebuild();
      return Change::rebuilt;
    }
    case XCB_MAP_NOTIFY:
      if (reinterpret_cast<const xcb_map_notify_event_t&>(event).window != window_)
        return Change::none;
      mapped_ = true;
      rebuild();
      return Change::rebuilt;
    case XCB_REPARENT_NOTIFY:
      if (reinterpret_cast<const xcb_reparent_notify_event_t&>(event).window != window_)
        return Change::none;
      rebuild();
      return Change::rebuilt;
    case XCB_UNMAP_NOTIFY:
      if (reinterpret_cast<const xcb_unmap_notify_event_t&>(event).window == window_)
        mapped_ = false;
      return Change::none;
    case XCB_DESTROY_NOTIFY:
      if (reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window != window_)
        return Change::none;
      return Change::gone;
    default:
      return Change::none;
  }
}

FrameSource::Grab WindowFrameSource::grab(X11ImageReader& reader, FrameFitter& fitter) {
  xcb_connection_t* c = connection_.get();
  damage_.grabbing(c);
  if (!mapped_ || width_ == 0 || height_ == 0) return {};

  if (!pixmap_) {
    xcb_composite_name_window_pixmap(c, window_, pixmapId_);
    pixmap_ = XcbPixmap(c, pixmapId_);
    reader.forget();
  }
  // Without Damage nothing says which rows changed.
  if (readWhole_ || !damage_.following()) stale(0, height_);
  readWhole_ = false;
  const int staleTop = staleTop_, staleRows = staleBottom_ - staleTop_;
  staleTop_ = staleBottom_ = 0;
  readTop_ = readBottom_ = 0;
  auto status = X11ImageReader::Status::ok;
  bool handedWhole = false;
  auto frame = fitter.fitBands(width_, height_, {width_, height_, 0, 0}, [&](int top, int rows) {
    auto result = rows == height_
                      ? reader.update(pixmap_.get(), border_, border_, width_, height_, staleTop,
                                      staleRows)
                      : reader.read(pixmap_.get(), border_, border_ + top, width_, rows);
    status = result.status;
    if (status != X11ImageReader::Status::ok) return ImageView{};
    // Handed on whole, the picture says it is opaque instead: setting the
    // alpha of every pixel was a pass over all of it, costlier than the
    // scaling that follows. Bands are shrunk here, over transparent black.
    handedWhole = rows == height_;
    if (opaque_ && !handedWhole)
      forceOpaqueAlpha(result.pixels, result.width, result.height, result.width * 4);
    if (rows == height_) {
      readTop_ = result.changedTop;
      readBottom_ = result.changedTop + result.changedRows;
    } else {
      readTop_ = 0;
      readBottom_ = height_;
    }
    return result.image();
  });
  if (!frame) {
    // Named again next time: the window may have been unmapped meanwhile.
    rebuild();
    if (status == X11ImageReader::Status::ok) status = X11ImageReader::Status::failed;
    return {status, {}, {}};
  }
  return {X11ImageReader::Status::ok, frame->image, frame->geometry, opaque_ && handedWhole};
}

std::string WindowFrameSource::endReason() const { return windowName(window_) + " was destroyed"; }

}  // namespace fenwright::x11
