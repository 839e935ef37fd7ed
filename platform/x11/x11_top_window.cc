#include "platform/x11/x11_top_window.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <xcb/xcb.h>
#include <xcb/xcb_icccm.h>

#include "platform/x11/x11_connection.h"
#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {
namespace {

inline void releaseWindow(xcb_connection_t* c, std::uint32_t id) { xcb_destroy_window(c, id); }
inline void releaseGc(xcb_connection_t* c, std::uint32_t id) { xcb_free_gc(c, id); }
using XcbWindow = XcbResource<&releaseWindow>;
using XcbGc = XcbResource<&releaseGc>;

constexpr std::uint32_t kKeysymQ = 0x0071;
constexpr std::uint32_t kKeysymShiftQ = 0x0051;
constexpr std::uint32_t kKeysymEscape = 0xff1b;
constexpr std::uint32_t kNetWmStateAdd = 1;
constexpr int kMinWidth = 80;
constexpr int kMinHeight = 45;

struct Atoms {
  xcb_atom_t wmProtocols = XCB_ATOM_NONE;
  xcb_atom_t wmDeleteWindow = XCB_ATOM_NONE;
  xcb_atom_t netWmState = XCB_ATOM_NONE;
  xcb_atom_t netWmStateAbove = XCB_ATOM_NONE;
  xcb_atom_t netWmName = XCB_ATOM_NONE;
  xcb_atom_t utf8String = XCB_ATOM_NONE;
};

bool internAtoms(xcb_connection_t* c, Atoms& atoms) {
  struct Entry {
    const char* name;
    xcb_atom_t* slot;
  };
  const std::array<Entry, 6> entries{{{"WM_PROTOCOLS", &atoms.wmProtocols},
                                      {"WM_DELETE_WINDOW", &atoms.wmDeleteWindow},
                                      {"_NET_WM_STATE", &atoms.netWmState},
                                      {"_NET_WM_STATE_ABOVE", &atoms.netWmStateAbove},
                                      {"_NET_WM_NAME", &atoms.netWmName},
                                      {"UTF8_STRING", &atoms.utf8String}}};
  std::array<xcb_intern_atom_cookie_t, entries.size()> cookies{};
  for (std::size_t i = 0; i < entries.size(); ++i)
    cookies[i] = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(entries[i].name)),
                                 entries[i].name);
  bool all = true;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    auto answer = xcbAnswer(c, &xcb_intern_atom_reply, cookies[i]);
    if (!answer) {
      all = false;
      continue;
    }
    *entries[i].slot = answer->atom;
  }
  return all;
}

}  // namespace

struct X11TopWindow::State {
  std::unique_ptr<X11Connection> connection;
  Atoms atoms;
  XcbWindow window;
  XcbGc gc;
  std::uint8_t depth = 24;
  int width = 0;
  int height = 0;
  bool mapped = false;
  // Keycodes that quit, refreshed when the keyboard mapping changes.
  std::array<bool, 256> quitKeys{};

  xcb_connection_t* c() const { return connection->get(); }
  void loadKeymap();
};

void X11TopWindow::State::loadKeymap() {
  quitKeys.fill(false);
  const xcb_setup_t* setup = xcb_get_setup(c());
  const int first = setup->min_keycode;
  const int count = setup->max_keycode - first + 1;
  auto answer = xcbAnswer(c(), &xcb_get_keyboard_mapping_reply,
                          xcb_get_keyboard_mapping(c(), setup->min_keycode,
                                                   static_cast<std::uint8_t>(count)));
  if (!answer) return;
  const int perKeycode = answer->keysyms_per_keycode;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(answer.reply.get());
  const int total = xcb_get_keyboard_mapping_keysyms_length(answer.reply.get());
  for (int key = 0; key < count; ++key) {
    // Unshifted and shifted columns: q and Q both quit.
    for (int column = 0; column < std::min(perKeycode, 2); ++column) {
      int index = key * perKeycode + column;
      if (index >= total) break;
      xcb_keysym_t sym = keysyms[index];
      if (sym == kKeysymQ || sym == kKeysymShiftQ || sym == kKeysymEscape)
        quitKeys[static_cast<std::size_t>(first + key)] = true;
    }
  }
}

X11TopWindow::X11TopWindow(std::unique_ptr<State> state) : state_(std::move(state)) {}
X11TopWindow::~X11TopWindow() = default;

Expected<std::unique_ptr<X11TopWindow>> X11TopWindow::open(const std::string& displayName,
                                                         int width, int height,
                                                         std::string_view title) {
  auto connection = X11Connection::open(displayName);
  if (!connection) return unexpected(connection.error().localizedDescription);
  auto state = std::make_unique<State>();
  state->connection = std::move(connection.value());
  xcb_connection_t* c = state->c();
  const xcb_screen_t& screen = state->connection->screen();
  // putPixels() copies BGRA words as they are: the root visual must take them.
  if (!state->connection->hasBgraLayout(screen.root_depth, screen.root_visual))
    return unexpected("the X screen's visual is not 24/32-bit BGRA");
  if (!internAtoms(c, state->atoms)) return unexpected(kConnectionLost);
  state->loadKeymap();

  auto windowId = state->connection->generateId();
  auto gcId = state->connection->generateId();
  if (!windowId || !gcId) return unexpected(kConnectionLost);
  state->depth = screen.root_depth;
  state->width = std::max(width, kMinWidth);
  state->height = std::max(height, kMinHeight);
  // No background: the server leaves old pixels on resize instead of
  // flashing black before we repaint.
  const std::uint32_t values[] = {XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                                  XCB_EVENT_MASK_KEY_PRESS};
  xcb_create_window(c, screen.root_depth, *windowId, screen.root, 0, 0,
                    static_cast<std::uint16_t>(state->width),
                    static_cast<std::uint16_t>(state->height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen.root_visual, XCB_CW_EVENT_MASK, values);
  state->window = XcbWindow(c, *windowId);
  xcb_create_gc(c, *gcId, *windowId, 0, nullptr);
  state->gc = XcbGc(c, *gcId);

  const Atoms& atoms = state->atoms;
  static constexpr char kClass[] = "fenwright-view\0Fenwright-view";
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, *windowId, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                      sizeof(kClass), kClass);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, *windowId, atoms.wmProtocols, XCB_ATOM_ATOM, 32,
                      1, &atoms.wmDeleteWindow);
  // Set before mapping, the window manager reads it as the initial state.
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, *windowId, atoms.netWmState, XCB_ATOM_ATOM, 32, 1,
                      &atoms.netWmStateAbove);
  xcb_size_hints_t hints{};
  xcb_icccm_size_hints_set_min_size(&hints, kMinWidth, kMinHeight);
  xcb_icccm_size_hints_set_size(&hints, 1, state->width, state->height);
  xcb_icccm_set_wm_normal_hints(c, *windowId, &hints);

  auto viewer = std::unique_ptr<X11TopWindow>(new X11TopWindow(std::move(state)));
  viewer->setTitle(title);
  xcb_map_window(c, *windowId);
  if (xcb_flush(c) <= 0 || viewer->state_->connection->hasError())
    return unexpected(kConnectionLost);
  return viewer;
}

std::uint32_t X11TopWindow::id() const { return state_->window.get(); }
int X11TopWindow::width() const { return state_->width; }
int X11TopWindow::height() const { return state_->height; }

X11TopWindow::Events X11TopWindow::processEvents() {
  Events events;
  State& s = *state_;
  while (XcbEvent event{xcb_poll_for_event(s.c())}) {
    switch (event->response_type & 0x7F) {
      case XCB_KEY_PRESS: {
        auto* key = reinterpret_cast<xcb_key_press_event_t*>(event.get());
        if (s.quitKeys[key->detail]) events.quit = true;
        break;
      }
      case XCB_CLIENT_MESSAGE: {
        auto* message = reinterpret_cast<xcb_client_message_event_t*>(event.get());
        if (message->type == s.atoms.wmProtocols && message->format == 32 &&
            message->data.data32[0] == s.atoms.wmDeleteWindow) {
          events.quit = true;
        }
        break;
      }
      case XCB_MAP_NOTIFY: {
        auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event.get());
        if (map->window == s.window.get() && !s.mapped) {
          s.mapped = true;
          events.mapped = true;
          // For window managers that only honour the state as a request.
          xcb_client_message_event_t message{};
          message.response_type = XCB_CLIENT_MESSAGE;
          message.format = 32;
          message.window = s.window.get();
          message.type = s.atoms.netWmState;
          message.data.data32[0] = kNetWmStateAdd;
          message.data.data32[1] = s.atoms.netWmStateAbove;
          message.data.data32[3] = 1;  // from an application
          xcb_send_event(s.c(), 0, s.connection->root(),
                         XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT |
                             XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                         reinterpret_cast<const char*>(&message));
          xcb_flush(s.c());
        }
        break;
      }
      case XCB_CONFIGURE_NOTIFY: {
        auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(event.get());
        if (configure->window == s.window.get() &&
            (configure->width != s.width || configure->height != s.height)) {
          s.width = std::max<int>(1, configure->width);
          s.height = std::max<int>(1, configure->height);
          events.needsRepaint = true;
        }
        break;
      }
      case XCB_EXPOSE:
        if (reinterpret_cast<xcb_expose_event_t*>(event.get())->count == 0)
          events.needsRepaint = true;
        break;
      case XCB_DESTROY_NOTIFY:
        if (reinterpret_cast<xcb_destroy_notify_event_t*>(event.get())->window == s.window.get())
          events.quit = true;
        break;
      case XCB_MAPPING_NOTIFY:
        s.loadKeymap();
        break;
      default:
        break;
    }
  }
  if (s.connection->hasError()) {
    events.lost = true;
    events.quit = true;
  }
  return events;
}

void X11TopWindow::setTitle(std::string_view utf8) {
  State& s = *state_;
  const auto length = static_cast<std::uint32_t>(utf8.size());
  xcb_change_property(s.c(), XCB_PROP_MODE_REPLACE, s.window.get(), s.atoms.netWmName,
                      s.atoms.utf8String, 8, length, utf8.data());
  // Older window managers read only WM_NAME; UTF8_STRING is understood there too.
  xcb_change_property(s.c(), XCB_PROP_MODE_REPLACE, s.window.get(), XCB_ATOM_WM_NAME,
                      s.atoms.utf8String, 8, length, utf8.data());
  xcb_flush(s.c());
}

void X11TopWindow::putPixels(const std::uint32_t* pixels) {
  State& s = *state_;
  const std::size_t width = static_cast<std::size_t>(s.width);
  // In strips that fit the server's largest request (24 bytes of header).
  const std::size_t maxBytes = static_cast<std::size_t>(xcb_get_maximum_request_length(s.c())) * 4;
  const std::size_t rowBytes = width * 4;
  const int rowsPerStrip =
      static_cast<int>(std::max<std::size_t>(1, (maxBytes > 24 ? maxBytes - 24 : 0) / rowBytes));
  for (int y = 0; y < s.height; y += rowsPerStrip) {
    const int rows = std::min(rowsPerStrip, s.height - y);
    xcb_put_image(s.c(), XCB_IMAGE_FORMAT_Z_PIXMAP, s.window.get(), s.gc.get(),
                  static_cast<std::uint16_t>(s.width), static_cast<std::uint16_t>(rows), 0,
                  static_cast<std::int16_t>(y), 0, s.depth,
                  static_cast<std::uint32_t>(rows * rowBytes),
                  reinterpret_cast<const std::uint8_t*>(pixels +
                                                        static_cast<std::size_t>(y) * width));
  }
  xcb_flush(s.c());
}

}  // namespace fenwright::x11
