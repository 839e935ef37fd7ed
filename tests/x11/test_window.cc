// A client window for the X11 capture tests and benchmarks. It paints four
// quadrants of known colours (top-left, top-right, bottom-left,
// bottom-right) and changes on command.
//
//   fenwright_test_window [--title UTF8] [--wm-name TEXT] [--size WxH]
//       [--pos X,Y] [--depth 24|32] [--colors TL,TR,BL,BR] [--desktop-type]
//       [--unmapped]
//
// Colours are hex pixel values: RRGGBB at depth 24, AARRGGBB (premultiplied)
// at depth 32. --wm-name sets WM_NAME (Latin-1 STRING) as given; --title sets
// _NET_WM_NAME. Once the window is mapped and painted it prints
// "window <id>". Then each line on stdin is one command, answered with
// "ok <command>" once the server has handled it (so "sync", which does
// nothing else, answers once every earlier Expose has been painted):
//
//   colors TL,TR,BL,BR | fill C | repaint | resize W H | map | unmap |
//   iconify | raise | desktop N | hidden | title UTF8 | animate HZ |
//   destroy | sync
//
// The program ends at the end of stdin, or when the server goes.

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <utility>

#include <xcb/xcb.h>

#include "platform/c_deleter.h"

namespace {

using Colors = std::array<std::uint32_t, 4>;
template <class T>
using Reply = fenwright::MallocPtr<T>;

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "fenwright_test_window: %s\n", message.c_str());
  std::exit(2);
}

Colors parseColors(const std::string& text) {
  Colors c{};
  if (std::sscanf(text.c_str(), "%x,%x,%x,%x", &c[0], &c[1], &c[2], &c[3]) != 4)
    fail("four colours expected: " + text);
  return c;
}

class TestWindow {
 public:
  TestWindow(int argc, char** argv) : connection_(xcb_connect(nullptr, nullptr), &xcb_disconnect) {
    std::string title, wmName;
    int x = 0, y = 0, depth = 24;
    bool desktopType = false, mapped = true;
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) fail("missing value for " + arg);
        return argv[++i];
      };
      if (arg == "--title") title = value();
      else if (arg == "--wm-name") wmName = value();
      else if (arg == "--size" && std::sscanf(value().c_str(), "%dx%d", &width_, &height_) == 2) {}
      else if (arg == "--pos" && std::sscanf(value().c_str(), "%d,%d", &x, &y) == 2) {}
      else if (arg == "--depth") depth = std::stoi(value());
      else if (arg == "--colors") colors_ = parseColors(value());
      else if (arg == "--desktop-type") desktopType = true;
      else if (arg == "--unmapped") mapped = false;
      else fail("bad option " + arg);
    }
    if (xcb_connection_has_error(c())) fail("cannot connect to the X server");
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c())).data;
    opaque_ = depth != 32;
    create(x, y, depth);
    const char wmClass[] = "fenwright_test_window\0FenwrightTestWindow";
    setProperty(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof(wmClass), wmClass);
    if (!title.empty()) command("title " + title);
    if (!wmName.empty()) setProperty(XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, wmName.size(), wmName.data());
    if (desktopType) {
      const xcb_atom_t type = atom("_NET_WM_WINDOW_TYPE_DESKTOP");
      setProperty(atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &type);
    }
    // Without a position hint a window manager may place it anywhere.
    const std::int32_t hints[18] = {1 | 2 /* USPosition | USSize */, x, y, width_, height_};
    setProperty(XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
    command(mapped ? "map" : "repaint");
  }

  void run() {
    std::printf("window %u\n", window_);
    std::fflush(stdout);
    std::string pending;
    auto nextFrame = std::chrono::steady_clock::now();
    for (;;) {
      int timeout = -1;
      if (animateHz_ > 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextFrame) {
          // Swaps the quadrants diagonally, so every frame differs.
          std::swap(colors_[0], colors_[3]);
          std::swap(colors_[1], colors_[2]);
          paint();
          xcb_flush(c());
          nextFrame = std::max(nextFrame + std::chrono::microseconds(1000000 / animateHz_), now);
        }
        timeout = static_cast<int>(std::max<std::int64_t>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(
                   nextFrame - std::chrono::steady_clock::now()).count()));
      }
      pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {xcb_get_file_descriptor(c()), POLLIN, 0}};
      if (::poll(fds, 2, timeout) < 0) continue;
      if (fds[1].revents != 0 && !handleEvents()) std::exit(1);
      if (fds[0].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
      if (n <= 0) return;
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        command(pending.substr(0, end));
        std::printf("ok %s\n", pending.substr(0, end).c_str());
        std::fflush(stdout);
      }
    }
  }

 private:
  xcb_connection_t* c() const { return connection_.get(); }

  xcb_atom_t atom(const char* name) {
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c(), xcb_intern_atom(c(), 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    if (!reply) fail(std::string("cannot intern ") + name);
    return reply->atom;
  }

  void setProperty(xcb_atom_t property, xcb_atom_t type, std::uint8_t format, std::size_t length,
                   const void* data) {
    xcb_change_property(c(), XCB_PROP_MODE_REPLACE, window_, property, type, format,
                        static_cast<std::uint32_t>(length), data);
  }

  void create(int x, int y, int depth) {
    window_ = xcb_generate_id(c());
    const std::uint32_t events = XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    // No background: the server must not clear what we painted.
    std::uint32_t values[] = {XCB_BACK_PIXMAP_NONE, events, 0, 0};
    std::uint32_t mask = XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK;
    xcb_visualid_t visual = screen_->root_visual;
    if (depth == 32) {
      visual = 0;
      for (auto d = xcb_screen_allowed_depths_iterator(screen_); d.rem && !visual; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); d.data->depth == 32 && v.rem && !visual;
             xcb_visualtype_next(&v))
          if (v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) visual = v.data->visual_id;
      if (!visual) fail("no 32-bit visual");
      // A 32-bit window needs its own border pixel and colormap.
      const xcb_colormap_t colormap = xcb_generate_id(c());
      xcb_create_colormap(c(), XCB_COLORMAP_ALLOC_NONE, colormap, screen_->root, visual);
      values[1] = 0;
      values[2] = events;
      values[3] = colormap;
      mask |= XCB_CW_BORDER_PIXEL | XCB_CW_COLORMAP;
    }
    xcb_create_window(c(), depth == 32 ? 32 : XCB_COPY_FROM_PARENT, window_, screen_->root,
                      static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                      static_cast<std::uint16_t>(width_), static_cast<std::uint16_t>(height_), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, visual, mask, values);
    gc_ = xcb_generate_id(c());
    xcb_create_gc(c(), gc_, window_, 0, nullptr);
  }

  // Handles what the server sent, and sends what that painted; false when
  // the connection is gone.
  bool handleEvents() {
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c())}) {
      auto* e = event.get();
      const auto type = e->response_type & 0x7F;
      if (type == XCB_EXPOSE && reinterpret_cast<xcb_expose_event_t*>(e)->count == 0) paint();
      if (type == XCB_MAP_NOTIFY || type == XCB_UNMAP_NOTIFY) mapped_ = type == XCB_MAP_NOTIFY;
      if (auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(e);
          type == XCB_CONFIGURE_NOTIFY && configure->window == window_) {
        width_ = configure->width;
        height_ = configure->height;
      }
    }
    xcb_flush(c());
    return !xcb_connection_has_error(c());
  }

  // Waits, handling events, until `done` holds or two seconds pass.
  template <class Done>
  void waitUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      xcb_flush(c());
      pollfd pfd{xcb_get_file_descriptor(c()), POLLIN, 0};
      ::poll(&pfd, 1, 20);
      if (!handleEvents()) std::exit(1);
    }
  }

  void paint() {
    if (destroyed_) return;
    for (int i = 0; i < 4; ++i) {
      const int left = i % 2 ? width_ / 2 : 0, top = i / 2 ? height_ / 2 : 0;
      const xcb_rectangle_t rect{static_cast<std::int16_t>(left), static_cast<std::int16_t>(top),
                                 static_cast<std::uint16_t>(i % 2 ? width_ - left : width_ / 2),
                                 static_cast<std::uint16_t>(i / 2 ? height_ - top : height_ / 2)};
      const std::uint32_t color = opaque_ ? colors_[i] & 0xFFFFFF : colors_[i];
      xcb_change_gc(c(), gc_, XCB_GC_FOREGROUND, &color);
      xcb_poly_fill_rectangle(c(), window_, gc_, 1, &rect);
    }
  }

  void sendToRoot(const char* type, std::uint32_t d0, std::uint32_t d1) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window_;
    message.type = atom(type);
    message.data.data32[0] = d0;
    message.data.data32[1] = d1;
    xcb_send_event(c(), 0, screen_->root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
  }

  void command(const std::string& line) {
    std::istringstream in(line);
    std::string verb, text;
    in >> verb;
    if (verb == "colors" && in >> text) {
      colors_ = parseColors(text);
    } else if (verb == "fill" && in >> text) {
      colors_.fill(static_cast<std::uint32_t>(std::stoul(text, nullptr, 16)));
    } else if (int w = 0, h = 0; verb == "resize" && in >> w >> h) {
      const std::uint32_t size[] = {static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)};
      xcb_configure_window(c(), window_, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
      waitUntil([&] { return width_ == w && height_ == h; });
    } else if (verb == "map") {
      xcb_map_window(c(), window_);
      waitUntil([this] { return mapped_; });
    } else if (verb == "unmap" || verb == "iconify") {
      if (verb == "unmap") xcb_unmap_window(c(), window_);
      else sendToRoot("WM_CHANGE_STATE", 3 /* IconicState */, 0);
      waitUntil([this] { return !mapped_; });
    } else if (verb == "raise") {
      const std::uint32_t above = XCB_STACK_MODE_ABOVE;
      xcb_configure_window(c(), window_, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    } else if (std::uint32_t desktop = 0; verb == "desktop" && in >> desktop) {
      sendToRoot("_NET_WM_DESKTOP", desktop, 1);
    } else if (verb == "hidden") {
      const xcb_atom_t hidden = atom("_NET_WM_STATE_HIDDEN");
      setProperty(atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 32, 1, &hidden);
    } else if (verb == "title" && std::getline(in >> std::ws, text)) {
      setProperty(atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, text.size(), text.data());
    } else if (verb == "animate" && in >> animateHz_) {
    } else if (verb == "destroy") {
      animateHz_ = 0;
      xcb_destroy_window(c(), window_);
      destroyed_ = true;
    } else if (verb != "sync" && verb != "repaint") {
      fail("bad command " + line);
    }
    if (verb == "colors" || verb == "fill" || verb == "resize" || verb == "map" || verb == "repaint")
      paint();
    // The round trip: every request above, and every Expose before it, done.
    Reply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(c(), xcb_get_input_focus(c()), nullptr));
    if (!reply) std::exit(1);
    handleEvents();
  }

  Colors colors_{0xD02020, 0x20B040, 0x2040D0, 0xE0C020};
  int width_ = 640, height_ = 360;
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection_;
  xcb_screen_t* screen_ = nullptr;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  bool opaque_ = true, mapped_ = false, destroyed_ = false;
  int animateHz_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  TestWindow(argc, argv).run();
  return 0;
}
