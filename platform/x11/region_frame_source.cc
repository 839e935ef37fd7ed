#include "platform/x11/region_frame_source.h"

#include <algorithm>
#include <cmath>

#include "platform/x11/pixel_ops.h"
#include "platform/x11/x11_display_list.h"

namespace fenwright::x11 {
namespace {

// How far from the region a pointer can be and still show a cursor in it.
constexpr int kCursorReach = 64;

std::string describe(int x, int y, int width, int height) {
  return std::to_string(width) + "×" + std::to_string(height) + " at (" + std::to_string(x) + "," +
         std::to_string(y) + ")";
}

}  // namespace

CaptureResult<std::unique_ptr<FrameSource>> RegionFrameSource::create(
    X11Connection& connection, const CaptureDisplay& display,
    const std::optional<SourceRect>& sourceRect, bool showsCursor) {
  xcb_connection_t* c = connection.get();
  const xcb_window_t root = connection.root();
  auto geometry = xcbAnswer(c, xcb_get_geometry_reply, xcb_get_geometry(c, root));
  if (!geometry) return CaptureError{kConnectionLost};
  if (!connection.hasBgraLayout(geometry->depth, connection.screen().root_visual))
    return CaptureError{"the screen of " + connection.displayName() +
                        " has a pixel format that cannot be captured (depth " +
                        std::to_string(geometry->depth) + ")"};

  std::unique_ptr<RegionFrameSource> source(
      new RegionFrameSource(connection, display.displayID, sourceRect, showsCursor));
  source->opaque_ = geometry->depth != 32;
  if (auto error = source->place(display, geometry->width, geometry->height)) return *error;

  // Screen size changes arrive as ConfigureNotify on the root, monitor and
  // output changes as RandR events.
  const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  if (XcbError error =
          xcbCheck(c, xcb_change_window_attributes_checked(c, root, XCB_CW_EVENT_MASK, &mask)))
    return CaptureError{"cannot watch the screen of " + connection.displayName()};
  source->rootEvents_ = XcbEventSelection(c, root);
  if (connection.capabilities().randr.atLeast(1, 2)) {
    xcb_randr_select_input(c, root,
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    source->displayEvents_ = XcbRandrSelection(c, root);
  }

  // Bounding-box level: the events carry where the screen changed, so
  // changes elsewhere cost no grab.
  if (auto error = source->damage_.follow(
          connection, root, XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX, [&](const XcbError&) {
            return "cannot follow changes of the screen of " + connection.displayName();
          }))
    return *error;

  if (showsCursor && connection.capabilities().readsCursor()) {
    xcb_xfixes_select_cursor_input(c, root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    source->cursorEvents_ = XcbCursorSelection(c, root);
  }
  if (connection.hasError()) return CaptureError{kConnectionLost};
  return std::unique_ptr<FrameSource>(std::move(source));
}

std::optional<CaptureError> RegionFrameSource::place(const CaptureDisplay& display,
                                                     int screenWidth, int screenHeight) {
  const double left = static_cast<double>(display.x) + (sourceRect_ ? sourceRect_->x : 0.0);
  const double top = static_cast<double>(display.y) + (sourceRect_ ? sourceRect_->y : 0.0);
  const double width = sourceRect_ ? sourceRect_->width : static_cast<double>(display.width);
  const double height = sourceRect_ ? sourceRect_->height : static_cast<double>(display.height);
  if (!std::isfinite(left + top + width + height) || std::abs(left) > 1e6 || std::abs(top) > 1e6 ||
      width > 1e6 || height > 1e6)
    return CaptureError{"the capture region is out of range"};
  Rect requested;
  requested.x = static_cast<int>(std::lround(left));
  requested.y = static_cast<int>(std::lround(top));
  requested.width = static_cast<int>(std::lround(left + width)) - requested.x;
  requested.height = static_cast<int>(std::lround(top + height)) - requested.y;
  if (requested.empty())
    return CaptureError{"the capture region " +
                        describe(requested.x, requested.y, requested.width, requested.height) +
                        " is empty"};
  requested_ = requested;

  // Monitors may reach beyond the screen; neither shows anything there.
  const std::int64_t x0 = std::max<std::int64_t>({requested.x, display.x, 0});
  const std::int64_t y0 = std::max<std::int64_t>({requested.y, display.y, 0});
  const std::int64_t x1 = std::min<std::int64_t>(
      {std::int64_t{requested.x} + requested.width, display.x + display.width, screenWidth});
  const std::int64_t y1 = std::min<std::int64_t>(
      {std::int64_t{requested.y} + requested.height, display.y + display.height, screenHeight});
  area_ = x1 > x0 && y1 > y0 ? Rect{static_cast<int>(x0), static_cast<int>(y0),
                                    static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)}
                             : Rect{};
  return std::nullopt;
}

FrameSource::Change RegionFrameSource::displaysChanged() {
  // A lost connection shows by itself once the events are read.
  auto displays = listDisplays(connection_);
  if (!displays) return Change::none;
  const auto& list = displays.value().displays;
  auto display = std::find_if(list.begin(), list.end(), [this](const CaptureDisplay& d) {
    return d.displayID == displayID_;
  });
  if (display == list.end()) return Change::gone;
  xcb_connection_t* c = connection_.get();
  auto geometry = xcbAnswer(c, xcb_get_geometry_reply, xcb_get_geometry(c, connection_.root()));
  if (!geometry) return Change::none;
  if (place(*display, geometry->width, geometry->height)) return Change::gone;
  return Change::content;
}

bool RegionFrameSource::nearArea(int x, int y) const {
  return !area_.empty() && x >= area_.x - kCursorReach &&
         x < area_.x + area_.width + kCursorReach && y >= area_.y - kCursorReach &&
         y < area_.y + area_.height + kCursorReach;
}

FrameSource::Change RegionFrameSource::handleEvent(const xcb_generic_event_t& event) {
  const std::uint8_t type = event.response_type & 0x7F;
  const X11Capabilities& caps = connection_.capabilities();
  xcb_rectangle_t r{};
  if (auto seen = damage_.see(event, &r); seen != DamageFilter::Seen::other) {
    if (seen != DamageFilter::Seen::fresh) return Change::none;
    // The root's damage covers the whole screen; only our part matters. The
    // box only grows until the next subtract, so a change in our part always
    // shows as a box that reaches it.
    bool overlaps = r.x < area_.x + area_.width && r.x + r.width > area_.x &&
                    r.y < area_.y + area_.height && r.y + r.height > area_.y;
    return overlaps ? Change::content : Change::none;
  }
  if (cursorEvents_ && type == caps.xfixesFirstEvent + XCB_XFIXES_CURSOR_NOTIFY)
    return pointer_ && nearArea(pointer_->first, pointer_->second) ? Change::content : Change::none;
  if (type == XCB_CONFIGURE_NOTIFY) {
    const auto& configure = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
    return configure.window == connection_.root() ? displaysChanged() : Change::none;
  }
  if (displayEvents_ && (type == caps.randrFirstEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                         type == caps.randrFirstEvent + XCB_RANDR_NOTIFY))
    return displaysChanged();
  return Change::none;
}

FrameSource::Change RegionFrameSource::poll() {
  if (!damage_.following()) return Change::content;
  if (!showsCursor_) return Change::none;
  xcb_connection_t* c = connection_.get();
  auto pointer = xcbAnswer(c, xcb_query_pointer_reply, xcb_query_pointer(c, connection_.root()));
  if (!pointer) return Change::none;
  std::pair<int, int> now{pointer->root_x, pointer->root_y};
  if (pointer_ == now) return Change::none;
  bool visibleChange =
      nearArea(now.first, now.second) || (pointer_ && nearArea(pointer_->first, pointer_->second));
  pointer_ = now;
  return visibleChange ? Change::content : Change::none;
}

FrameSource::Grab RegionFrameSource::grab(X11ImageReader& reader, FrameFitter& fitter, bool) {
  xcb_connection_t* c = connection_.get();
  damage_.grabbing(c);
  const FrameCanvas canvas{requested_.width, requested_.height, area_.x - requested_.x,
                           area_.y - requested_.y};

  XcbAnswer<xcb_xfixes_get_cursor_image_reply_t> cursor;
  std::optional<CursorImage> image;
  if (!area_.empty() && showsCursor_ && cursorEvents_) {
    cursor = xcbAnswer(c, xcb_xfixes_get_cursor_image_reply, xcb_xfixes_get_cursor_image(c));
    if (cursor && xcb_xfixes_get_cursor_image_cursor_image_length(cursor.reply.get()) >=
                      cursor->width * cursor->height) {
      pointer_ = std::pair<int, int>{cursor->x, cursor->y};
      image = CursorImage{xcb_xfixes_get_cursor_image_cursor_image(cursor.reply.get()),
                          cursor->width, cursor->height};
    }
  }

  auto status = X11ImageReader::Status::ok;
  auto frame = fitter.fitBands(area_.width, area_.height, canvas, [&](int top, int rows) {
    auto result = reader.read(connection_.root(), area_.x, area_.y + top, area_.width, rows);
    status = result.status;
    if (status != X11ImageReader::Status::ok) return ImageView{};
    if (opaque_) forceOpaqueAlpha(result.pixels, result.width, result.height, result.width * 4);
    if (image)
      drawCursor(result.pixels, result.width, result.height, result.width * 4, *image,
                 cursor->x - cursor->xhot - area_.x, cursor->y - cursor->yhot - area_.y - top);
    return result.image();
  });
  if (!frame) {
    // A band read but not drawn makes no frame either.
    if (status == X11ImageReader::Status::ok) status = X11ImageReader::Status::failed;
    return {status, {}, {}};
  }
  return {X11ImageReader::Status::ok, frame->image, frame->geometry};
}

}  // namespace fenwright::x11
