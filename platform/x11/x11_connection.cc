#include "platform/x11/x11_connection.h"

#include <cstdlib>

#include "platform/dispatch/shared_executor.h"

namespace fenwright::x11 {
namespace {

std::string connectFailure(int code, const std::string& name) {
  switch (code) {
    case XCB_CONN_CLOSED_PARSE_ERR:
      return "the X display name \"" + name + "\" is not valid";
    case XCB_CONN_CLOSED_INVALID_SCREEN:
      return "the X display \"" + name + "\" has no such screen";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
      return "out of memory while connecting to the X server at \"" + name + "\"";
    default:
      return "cannot connect to the X server at \"" + name + "\"";
  }
}

const xcb_visualtype_t* findVisual(const xcb_screen_t& screen, std::uint8_t depth,
                                   xcb_visualid_t visual) {
  for (auto d = xcb_screen_allowed_depths_iterator(&screen); d.rem; xcb_depth_next(&d)) {
    if (d.data->depth != depth) continue;
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
      if (v.data->visual_id == visual) return v.data;
  }
  return nullptr;
}

}  // namespace

CaptureResult<std::unique_ptr<X11Connection>> X11Connection::open(const std::string& displayName) {
  std::string name = displayName;
  if (name.empty()) {
    const char* fromEnvironment = std::getenv("DISPLAY");
    if (fromEnvironment == nullptr || *fromEnvironment == '\0')
      return CaptureError{"no X display: DISPLAY is not set"};
    name = fromEnvironment;
  }
  int screenNumber = 0;
  XcbConnectionPtr connection;
  {
    // Waits for the server's greeting, whose end only the server decides.
    StallGuard stall;
    connection.reset(xcb_connect(name.c_str(), &screenNumber));
  }
  if (int code = xcb_connection_has_error(connection.get()); code != 0)
    return CaptureError{connectFailure(code, name)};

  xcb_screen_t* screen = nullptr;
  auto roots = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
  for (int i = 0; roots.rem; ++i, xcb_screen_next(&roots)) {
    if (i == screenNumber) {
      screen = roots.data;
      break;
    }
  }
  if (screen == nullptr) return CaptureError{connectFailure(XCB_CONN_CLOSED_INVALID_SCREEN, name)};

  std::unique_ptr<X11Connection> result(
      new X11Connection(std::move(connection), std::move(name), screen));
  if (result->hasError()) return CaptureError{kConnectionLost};
  return result;
}

X11Connection::X11Connection(XcbConnectionPtr connection, std::string displayName,
                             xcb_screen_t* screen)
    : connection_(std::move(connection)),
      displayName_(std::move(displayName)),
      screen_(screen),
      capabilities_(X11Capabilities::probe(connection_.get())) {}

const X11Atoms* X11Connection::atoms() {
  if (!atoms_) {
    X11Atoms interned;
    if (!X11Atoms::intern(connection_.get(), interned)) return nullptr;
    atoms_ = interned;
  }
  return &*atoms_;
}

bool X11Connection::hasBgraLayout(std::uint8_t depth, xcb_visualid_t visual) const {
  if (depth != 24 && depth != 32) return false;
  const xcb_setup_t* setup = xcb_get_setup(connection_.get());
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  bool thirtyTwoBits = false;
  for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
    if (f.data->depth == depth) thirtyTwoBits = f.data->bits_per_pixel == 32;
  if (!thirtyTwoBits) return false;
  const xcb_visualtype_t* type = findVisual(*screen_, depth, visual);
  return type != nullptr && type->red_mask == 0xff0000 && type->green_mask == 0x00ff00 &&
         type->blue_mask == 0x0000ff;
}

std::optional<std::uint32_t> X11Connection::generateId() const {
  std::uint32_t id = xcb_generate_id(connection_.get());
  if (id == static_cast<std::uint32_t>(-1)) return std::nullopt;
  return id;
}

}  // namespace fenwright::x11
