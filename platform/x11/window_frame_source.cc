#include "platform/x11/window_frame_source.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/x11/pixel_ops.h"
#include "platform/x11/x11_text.h"

namespace fenwright::x11 {
namespace {

std::string windowName(std::uint32_t window) { return "window " + hexId(window); }

std::string xError(const XcbError& error) {
  return "X error " + std::to_string(static_cast<int>(error->error_code));
}

constexpr std::chrono::milliseconds kRepaintWithoutDamage{100};

xcb_rectangle_t joined(const xcb_rectangle_t& a, const xcb_rectangle_t& b) {
  if (a.width == 0 || a.height == 0) return b;
  if (b.width == 0 || b.height == 0) return a;
  const int left = std::min<int>(a.x, b.x), top = std::min<int>(a.y, b.y);
  const int right = std::max(a.x + a.width, b.x + b.width);
  const int bottom = std::max(a.y + a.height, b.y + b.height);
  return {static_cast<std::int16_t>(left), static_cast<std::int16_t>(top),
          static_cast<std::uint16_t>(right - left), static_cast<std::uint16_t>(bottom - top)};
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
  for (Buffer& buffer : buffers_) buffer.whole = true;
  placementStale_ = true;
  // Names the new pixmap at the next grab; the old one is let go now.
  pixmap_.reset();
}

void WindowFrameSource::stale(Buffer& buffer, int top, int bottom) const {
  top = std::clamp(top, 0, height_);
  bottom = std::clamp(bottom, top, height_);
  if (top == bottom) return;
  if (buffer.staleTop == buffer.staleBottom) {
    buffer.staleTop = top;
    buffer.staleBottom = bottom;
    return;
  }
  buffer.staleTop = std::min(buffer.staleTop, top);
  buffer.staleBottom = std::max(buffer.staleBottom, bottom);
}

void WindowFrameSource::place() {
  if (!placement_) placement_.emplace(connection_, window_);
  placementStale_ = false;
  xcb_rectangle_t hidden{};
  // Larger pictures are read in bands, which keep no earlier picture.
  const bool fromScreen = placement_->wholeOnScreen(hidden) &&
                          static_cast<long>(width_) * height_ <= FrameFitter::kLargestWholePicture;
  if (fromScreen == fromScreen_ && (fromScreen || redirect_)) return;
  xcb_connection_t* c = connection_.get();
  fromScreen_ = fromScreen;
  pixmap_.reset();
  for (Buffer& buffer : buffers_) buffer.whole = true;
  if (fromScreen) {
    // The server puts the pixmap's picture back on the screen as it goes.
    redirect_.reset();
    return;
  }
  // Fails only for a window that is gone or not viewable: then naming the
  // pixmap fails too, and the grab with it.
  xcb_composite_redirect_window(c, window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  redirect_ = XcbCompositeRedirect(c, window_);
  askAgain(hidden);
}

void WindowFrameSource::askAgain(const xcb_rectangle_t& area) {
  const int left = std::clamp<int>(area.x, 0, width_);
  const int top = std::clamp<int>(area.y, 0, height_);
  const int right = std::clamp<int>(area.x + area.width, left, width_);
  const int bottom = std::clamp<int>(area.y + area.height, top, height_);
  if (left == right || top == bottom) return;
  hidden_ = joined(hidden_, {static_cast<std::int16_t>(left), static_cast<std::int16_t>(top),
                             static_cast<std::uint16_t>(right - left),
                             static_cast<std::uint16_t>(bottom - top)});
  repainted_ = {};
  // With no background this leaves the pixels as they are and only sends
  // the client an exposure; with one, it paints it first.
  askedAt_ = std::chrono::steady_clock::now();
  askedSequence_ = xcb_clear_area(connection_.get(), 1, window_, hidden_.x, hidden_.y,
                                  hidden_.width, hidden_.height)
                       .sequence;
}

void WindowFrameSource::patchHidden(const X11ImageReader& reader, std::uint8_t* pixels) const {
  const int left = std::min<int>(hidden_.x, width_), top = std::min<int>(hidden_.y, height_);
  const int right = std::min(hidden_.x + hidden_.width, width_);
  const int bottom = std::min(hidden_.y + hidden_.height, height_);
  if (right <= left) return;
  const std::size_t stride = static_cast<std::size_t>(width_) * 4;
  const std::size_t offset = static_cast<std::size_t>(left) * 4;
  const std::size_t bytes = static_cast<std::size_t>(right - left) * 4;
  // Nothing kept of this size: black rather than another window.
  const std::uint8_t* kept = front_ >= 0 ? reader.held(front_, width_, height_) : nullptr;
  for (int y = top; y < bottom; ++y) {
    std::uint8_t* row = pixels + y * stride + offset;
    if (kept)
      std::memcpy(row, kept + y * stride + offset, bytes);
    else
      std::memset(row, 0, bytes);
  }
}

FrameSource::Change WindowFrameSource::handleEvent(const xcb_generic_event_t& event) {
  xcb_rectangle_t area{};
  if (auto seen = damage_.see(event, &area); seen != DamageFilter::Seen::other) {
    if (seen == DamageFilter::Seen::nothingNew) return Change::none;
    // The client's repaint of what was asked again. It may come as several
    // reports, split by our grabs' subtracts: they count together.
    if (hidden_.width != 0 &&
        static_cast<std::int32_t>(event.full_sequence - askedSequence_) >= 0) {
      repainted_ = joined(repainted_, area);
      if (repainted_.x <= hidden_.x && repainted_.y <= hidden_.y &&
          repainted_.x + repainted_.width >= hidden_.x + hidden_.width &&
          repainted_.y + repainted_.height >= hidden_.y + hidden_.height)
        hidden_ = repainted_ = {};
    }
    const int top = area.y, bottom = area.y + area.height;
    // Changed before the last read began, in rows that read took whole:
    // news only to the other memory.
    if (seen == DamageFilter::Seen::earlier && top >= readTop_ && bottom <= readBottom_) {
      if (last_ >= 0) stale(buffers_[1 - last_], top, bottom);
      return Change::none;
    }
    for (Buffer& buffer : buffers_) stale(buffer, top, bottom);
    return seen == DamageFilter::Seen::earlier ? Change::missed : Change::content;
  }
  const Change change = structureChange(event);
  if (placement_ && placement_->affects(event)) {
    placementStale_ = true;
    if (pending_ >= 0 && fromScreen_) unsure_ = true;
  }
  return change;
}

FrameSource::Change WindowFrameSource::structureChange(const xcb_generic_event_t& event) {
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

bool WindowFrameSource::keep() {
  if (pending_ < 0) return true;
  const int index = std::exchange(pending_, -1);
  if (std::exchange(unsure_, false)) {
    buffers_[index].whole = true;
    return false;
  }
  front_ = index;
  return true;
}

void WindowFrameSource::grabFailed() {
  pending_ = -1;
  rebuild();
}

FrameSource::Grab WindowFrameSource::grab(X11ImageReader& reader, FrameFitter& fitter,
                                          bool rowsMayArrive) {
  xcb_connection_t* c = connection_.get();
  pending_ = -1;
  unsure_ = false;
  if (!mapped_ || width_ == 0 || height_ == 0) {
    damage_.grabbing(c);
    return {};
  }

  if (placementStale_) place();
  // After the exposure a switch asks for: the repaint it brings is reported
  // anew, even where the redirection's own damage covered it already.
  damage_.grabbing(c);
  // Without Damage no repaint is seen: the client is given a moment.
  if (hidden_.width != 0 && !damage_.following() &&
      std::chrono::steady_clock::now() - askedAt_ > kRepaintWithoutDamage)
    hidden_ = {};
  if (!fromScreen_ && !pixmap_) {
    xcb_composite_name_window_pixmap(c, window_, pixmapId_);
    pixmap_ = XcbPixmap(c, pixmapId_);
    for (Buffer& buffer : buffers_) buffer.whole = true;
  }
  // The pixmap holds the border too; the window's own coordinates do not.
  const xcb_drawable_t drawable = fromScreen_ ? window_ : pixmap_.get();
  const int inset = fromScreen_ ? 0 : border_;
  // Read from the pixmap with nothing to patch, the kept picture may be
  // read over: no other window can come into it.
  const bool apart = fromScreen_ || hidden_.width != 0;
  const int index = front_ < 0 ? 0 : apart ? 1 - front_ : front_;
  Buffer& buffer = buffers_[index];
  reader.use(index);
  if (buffer.whole) reader.forget();
  // Without Damage nothing says which rows changed.
  if (buffer.whole || !damage_.following()) stale(buffer, 0, height_);
  buffer.whole = false;
  const int staleTop = buffer.staleTop, staleRows = buffer.staleBottom - buffer.staleTop;
  buffer.staleTop = buffer.staleBottom = 0;
  readTop_ = readBottom_ = 0;
  last_ = index;
  auto status = X11ImageReader::Status::ok;
  bool handedWhole = false;
  ArrivingRows* arriving = nullptr;
  auto frame = fitter.fitBands(width_, height_, {width_, height_, 0, 0}, [&](int top, int rows) {
    // Patching hidden parts needs the rows in place.
    auto result = rows == height_
                      ? reader.update(drawable, inset, inset, width_, height_, staleTop, staleRows,
                                      rowsMayArrive && hidden_.width == 0)
                      : reader.read(drawable, inset, inset + top, width_, rows);
    arriving = result.arriving;
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
      if (hidden_.width != 0) patchHidden(reader, result.pixels);
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
  pending_ = index;
  // A whole picture is handed on as read, never read here.
  return {X11ImageReader::Status::ok, frame->image, frame->geometry, opaque_ && handedWhole,
          arriving};
}

std::string WindowFrameSource::endReason() const { return windowName(window_) + " was destroyed"; }

}  // namespace fenwright::x11
