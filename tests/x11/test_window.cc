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
#include <optional>
#include <sstream>
#include <string>

#include <xcb/xcb.h>

#include "platform/c_deleter.h"

namespace {

template <class T>
using Reply = fenwright::MallocPtr<T>;

struct Options {
  std::optional<std::string> title, wmName;
  int width = 640, height = 360, x = 0, y = 0, depth = 24;
  std::array<std::uint32_t, 4> colors{0xD02020, 0x20B040, 0x2040D0, 0xE0C020};
  bool desktopType = false, mapped = true;
};

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "fenwright_test_window: %s\n", message.c_str());
  std::exit(2);
}

std::array<std::uint32_t, 4> parseColors(const std::string& text) {
  std::array<std::uint32_t, 4> colors{};
  std::stringstream in(text);
  std::string part;
  for (auto& color : colors) {
    if (!std::getline(in, part, ',')) fail("four colours expected: " + text);
    color = static_cast<std::uint32_t>(std::stoul(part, nullptr, 16));
  }
  return colors;
}

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail("missing value for " + arg);
      return argv[++i];
    };
    if (arg == "--title") o.title = value();
    else if (arg == "--wm-name") o.wmName = value();
    else if (arg == "--size" && std::sscanf(value().c_str(), "%dx%d", &o.width, &o.height) == 2) {}
    else if (arg == "--pos" && std::sscanf(value().c_str(), "%d,%d", &o.x, &o.y) == 2) {}
    else if (arg == "--depth") o.depth = std::stoi(value());
    else if (arg == "--colors") o.colors = parseColors(value());
    else if (arg == "--desktop-type") o.desktopType = true;
    else if (arg == "--unmapped") o.mapped = false;
    else fail("bad option " + arg);
  }
  return o;
}

class TestWindow {
 public:
  explicit TestWindow(const Options& options)
      : options_(options), colors_(options.colors), width_(options.width),
        height_(options.height), connection_(xcb_connect(nullptr, nullptr), &xcb_disconnect) {
    if (xcb_connection_has_error(c())) fail("cannot connect to the X server");
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c())).data;
    create();
    if (options_.mapped) map();
    paint();
    sync();
  }

  void run() {
    std::printf("window %u\n", window_);
    std::fflush(stdout);
    std::string pending;
    auto nextFrame = std::chrono::steady_clock::now();
    for (;;) {
      int timeout = -1;
      if (animateHz_ > 0) {
        auto now = std::chrono::steady_clock::now();
        if (now >= nextFrame) {
          animationPhase_ = !animationPhase_;
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
      ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
      if (n <= 0) return;
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        command(line);
        std::printf("ok %s\n", line.c_str());
        std::fflush(stdout);
      }
    }
  }

 private:
  xcb_connection_t* c() const { return connection_.get(); }

  xcb_atom_t atom(const char* name) {
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c(), xcb_intern_atom(c(), 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr));
    if (!reply) fail(std::string("cannot intern ") + name);
    return reply->atom;
  }

  void setProperty(xcb_atom_t property, xcb_atom_t type, std::uint8_t format, std::uint32_t length,
                   const void* data) {
    xcb_change_property(c(), XCB_PROP_MODE_REPLACE, window_, property, type, format, length, data);
  }

  void create() {
    window_ = xcb_generate_id(c());
    const std::uint32_t events = XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    // No background: the server must not clear what we painted.
    std::uint32_t values[] = {XCB_BACK_PIXMAP_NONE, events, 0, 0};
    std::uint32_t mask = XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK;
    xcb_visualid_t visual = screen_->root_visual;
    if (options_.depth == 32) {
      visual = 0;
      for (auto d = xcb_screen_allowed_depths_iterator(screen_); d.rem && !visual; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); d.data->depth == 32 && v.rem && !visual;
             xcb_visualtype_next(&v))
          if (v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) visual = v.data->visual_id;
      if (!visual) fail("no 32-bit visual");
      // A 32-bit window needs its own border pixel and colormap.
      xcb_colormap_t colormap = xcb_generate_id(c());
      xcb_create_colormap(c(), XCB_COLORMAP_ALLOC_NONE, colormap, screen_->root, visual);
      values[1] = 0;
      values[2] = events;
      values[3] = colormap;
      mask |= XCB_CW_BORDER_PIXEL | XCB_CW_COLORMAP;
    }
    xcb_create_window(c(), options_.depth == 32 ? 32 : XCB_COPY_FROM_PARENT, window_,
                      screen_->root, static_cast<std::int16_t>(options_.x),
                      static_cast<std::int16_t>(options_.y), static_cast<std::uint16_t>(width_),
                      static_cast<std::uint16_t>(height_), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      visual, mask, values);
    gc_ = xcb_generate_id(c());
    xcb_create_gc(c(), gc_, window_, 0, nullptr);

    const char wmClass[] = "fenwright_test_window\0FenwrightTestWindow";
    setProperty(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof(wmClass), wmClass);
    if (options_.title) setTitle(*options_.title);
    if (options_.wmName)
      setProperty(XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                  static_cast<std::uint32_t>(options_.wmName->size()), options_.wmName->data());
    if (options_.desktopType) {
      xcb_atom_t type = atom("_NET_WM_WINDOW_TYPE_DESKTOP");
      setProperty(atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &type);
    }
    // Without a position hint a window manager may place it anywhere.
    std::uint32_t hints[18] = {1 | 2 /* USPosition | USSize */,
                               static_cast<std::uint32_t>(options_.x),
                               static_cast<std::uint32_t>(options_.y),
                               static_cast<std::uint32_t>(width_),
                               static_cast<std::uint32_t>(height_)};
    setProperty(XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
  }

  void setTitle(const std::string& title) {
    setProperty(atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8,
                static_cast<std::uint32_t>(title.size()), title.data());
  }

  // Handles what the server sent, and sends what that painted; false when
  // the connection is gone.
  bool handleEvents() {
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c())}) {
      auto* e = event.get();
      switch (e->response_type & 0x7F) {
        case XCB_EXPOSE:
          if (reinterpret_cast<xcb_expose_event_t*>(e)->count == 0) paint();
          break;
        case XCB_CONFIGURE_NOTIFY:
          if (auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(e);
              configure->window == window_) {
            width_ = configure->width;
            height_ = configure->height;
          }
          break;
        case XCB_MAP_NOTIFY:
          mapped_ = mapped_ || reinterpret_cast<xcb_map_notify_event_t*>(e)->window == window_;
          break;
        case XCB_UNMAP_NOTIFY:
          mapped_ = mapped_ && reinterpret_cast<xcb_unmap_notify_event_t*>(e)->window != window_;
          break;
      }
    }
    xcb_flush(c());
    return !xcb_connection_has_error(c());
  }

  // Waits, handling events, until `done` holds or two seconds pass.
  template <class Done>
  void waitUntil(Done done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      xcb_flush(c());
      pollfd pfd{xcb_get_file_descriptor(c()), POLLIN, 0};
      ::poll(&pfd, 1, 20);
      if (!handleEvents()) std::exit(1);
    }
  }

  void sync() {
    Reply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(c(), xcb_get_input_focus(c()), nullptr));
    if (!reply) std::exit(1);
    handleEvents();
  }

  void map() {
    xcb_map_window(c(), window_);
    waitUntil([this] { return mapped_; });
  }

  void paint() {
    if (destroyed_) return;
    const int halves[2][2] = {{0, width_ / 2}, {0, height_ / 2}};
    for (int i = 0; i < 4; ++i) {
      const int col = i % 2, row = i / 2;
      const xcb_rectangle_t rect{
          static_cast<std::int16_t>(halves[0][col]), static_cast<std::int16_t>(halves[1][row]),
          static_cast<std::uint16_t>(col ? width_ - width_ / 2 : width_ / 2),
          static_cast<std::uint16_t>(row ? height_ - height_ / 2 : height_ / 2)};
      // Animation swaps the quadrants diagonally, so every frame differs.
      std::uint32_t color = colors_[animationPhase_ ? 3 - i : i];
      if (options_.depth != 32) color &= 0xFFFFFF;
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
    if (verb == "sync") {
      // Only the round trip below.
    } else if (verb == "colors" && in >> text) {
      colors_ = parseColors(text);
      paint();
    } else if (verb == "fill" && in >> text) {
      colors_.fill(static_cast<std::uint32_t>(std::stoul(text, nullptr, 16)));
      paint();
    } else if (verb == "repaint") {
      paint();
    } else if (int w = 0, h = 0; verb == "resize" && in >> w >> h) {
      const std::uint32_t size[] = {static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)};
      xcb_configure_window(c(), window_, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
      waitUntil([&] { return width_ == w && height_ == h; });
      paint();
    } else if (verb == "map") {
      map();
      paint();
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
      xcb_atom_t hidden = atom("_NET_WM_STATE_HIDDEN");
      setProperty(atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 32, 1, &hidden);
    } else if (verb == "title" && std::getline(in >> std::ws, text)) {
      setTitle(text);
    } else if (verb == "animate" && in >> animateHz_) {
    } else if (verb == "destroy") {
      animateHz_ = 0;
      xcb_destroy_window(c(), window_);
      destroyed_ = true;
    } else {
      fail("bad command " + line);
    }
    sync();
  }

  Options options_;
  std::array<std::uint32_t, 4> colors_;
  int width_, height_;
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection_;
  xcb_screen_t* screen_ = nullptr;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  bool mapped_ = false, destroyed_ = false, animationPhase_ = false;
  int animateHz_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  TestWindow(parseOptions(argc, argv)).run();
  return 0;
}
