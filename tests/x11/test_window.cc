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
// "ok <command>" once the server has handled it:
//
//   colors TL,TR,BL,BR | fill C | repaint | resize W H | map | unmap |
//   iconify | raise | desktop N | hidden | title UTF8 | animate HZ |
//   destroy | sync
//
// "sync" does nothing but answer once every event that reached the server
// before it (an Expose) has been handled and its painting sent.
//
// The program ends at the end of stdin, or when the server goes.

#include <poll.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <xcb/xcb.h>

#include "platform/c_deleter.h"

namespace {

template <class T>
using Reply = fenwright::MallocPtr<T>;

struct Options {
  std::optional<std::string> title;
  std::optional<std::string> wmName;
  int width = 640;
  int height = 360;
  int x = 0;
  int y = 0;
  int depth = 24;
  std::array<std::uint32_t, 4> colors{0xD02020, 0x20B040, 0x2040D0, 0xE0C020};
  bool desktopType = false;
  bool mapped = true;
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
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail("missing value for " + arg);
      return argv[++i];
    };
    if (arg == "--title") {
      options.title = value();
    } else if (arg == "--wm-name") {
      options.wmName = value();
    } else if (arg == "--size") {
      if (std::sscanf(value().c_str(), "%dx%d", &options.width, &options.height) != 2)
        fail("bad --size");
    } else if (arg == "--pos") {
      if (std::sscanf(value().c_str(), "%d,%d", &options.x, &options.y) != 2) fail("bad --pos");
    } else if (arg == "--depth") {
      options.depth = std::stoi(value());
    } else if (arg == "--colors") {
      options.colors = parseColors(value());
    } else if (arg == "--desktop-type") {
      options.desktopType = true;
    } else if (arg == "--unmapped") {
      options.mapped = false;
    } else {
      fail("unknown option " + arg);
    }
  }
  return options;
}

class TestWindow {
 public:
  explicit TestWindow(const Options& options)
      : options_(options),
        colors_(options.colors),
        owned_(xcb_connect(nullptr, nullptr), &xcb_disconnect) {
    connection_ = owned_.get();
    if (xcb_connection_has_error(connection_)) fail("cannot connect to the X server");
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    width_ = options.width;
    height_ = options.height;
    create();
  }

  xcb_window_t id() const { return window_; }
  int fd() const { return xcb_get_file_descriptor(connection_); }

  void showAtStart() {
    if (options_.mapped) map();
    paint();
    sync();
  }

  // Handles what the server sent, and sends what that painted; false when
  // the connection is gone.
  bool handleEvents() {
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(connection_)}) handle(event.get());
    xcb_flush(connection_);
    return !xcb_connection_has_error(connection_);
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
          xcb_flush(connection_);
          nextFrame += std::chrono::microseconds(1000000 / animateHz_);
          if (nextFrame < now) nextFrame = now;
        }
        timeout = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       nextFrame - std::chrono::steady_clock::now())
                                       .count());
        if (timeout < 0) timeout = 0;
      }
      pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {fd(), POLLIN, 0}};
      if (::poll(fds, 2, timeout) < 0) continue;
      if (fds[1].revents != 0 && !handleEvents()) std::exit(1);
      if (fds[0].revents != 0) {
        char buffer[4096];
        ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
        if (n <= 0) return;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
          std::string line = pending.substr(0, end);
          pending.erase(0, end + 1);
          command(line);
          std::printf("ok %s\n", line.c_str());
          std::fflush(stdout);
        }
      }
    }
  }

 private:
  xcb_atom_t atom(const char* name) {
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection_,
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr));
    if (!reply) fail(std::string("cannot intern ") + name);
    return reply->atom;
  }

  xcb_visualid_t argbVisual() {
    for (auto d = xcb_screen_allowed_depths_iterator(screen_); d.rem; xcb_depth_next(&d)) {
      if (d.data->depth != 32) continue;
      for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
        if (v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) return v.data->visual_id;
    }
    fail("no 32-bit visual");
  }

  void create() {
    window_ = xcb_generate_id(connection_);
    const std::uint32_t events = XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    if (options_.depth == 32) {
      xcb_visualid_t visual = argbVisual();
      xcb_colormap_t colormap = xcb_generate_id(connection_);
      xcb_create_colormap(connection_, XCB_COLORMAP_ALLOC_NONE, colormap, screen_->root, visual);
      // A 32-bit window needs its own border pixel and colormap.
      const std::uint32_t values[] = {XCB_BACK_PIXMAP_NONE, 0, events, colormap};
      xcb_create_window(
          connection_, 32, window_, screen_->root, static_cast<std::int16_t>(options_.x),
          static_cast<std::int16_t>(options_.y), static_cast<std::uint16_t>(width_),
          static_cast<std::uint16_t>(height_), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual,
          XCB_CW_BACK_PIXMAP | XCB_CW_BORDER_PIXEL | XCB_CW_EVENT_MASK | XCB_CW_COLORMAP, values);
    } else {
      // No background: the server must not clear what we painted.
      const std::uint32_t values[] = {XCB_BACK_PIXMAP_NONE, events};
      xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen_->root,
                        static_cast<std::int16_t>(options_.x),
                        static_cast<std::int16_t>(options_.y), static_cast<std::uint16_t>(width_),
                        static_cast<std::uint16_t>(height_), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                        screen_->root_visual, XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK, values);
    }
    gc_ = xcb_generate_id(connection_);
    xcb_create_gc(connection_, gc_, window_, 0, nullptr);

    const char wmClass[] = "fenwright_test_window\0FenwrightTestWindow";
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_CLASS,
                        XCB_ATOM_STRING, 8, sizeof(wmClass), wmClass);
    if (options_.title) setTitle(*options_.title);
    if (options_.wmName) {
      xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NAME,
                          XCB_ATOM_STRING, 8, static_cast<std::uint32_t>(options_.wmName->size()),
                          options_.wmName->data());
    }
    if (options_.desktopType) {
      xcb_atom_t type = atom("_NET_WM_WINDOW_TYPE_DESKTOP");
      xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, atom("_NET_WM_WINDOW_TYPE"),
                          XCB_ATOM_ATOM, 32, 1, &type);
    }
    // Without a position hint a window manager may place it anywhere.
    std::uint32_t hints[18] = {};
    hints[0] = 1 | 2;  // USPosition | USSize
    hints[1] = static_cast<std::uint32_t>(options_.x);
    hints[2] = static_cast<std::uint32_t>(options_.y);
    hints[3] = static_cast<std::uint32_t>(width_);
    hints[4] = static_cast<std::uint32_t>(height_);
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NORMAL_HINTS,
                        XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
  }

  void setTitle(const std::string& title) {
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, atom("_NET_WM_NAME"),
                        atom("UTF8_STRING"), 8, static_cast<std::uint32_t>(title.size()),
                        title.data());
  }

  void handle(xcb_generic_event_t* event) {
    switch (event->response_type & 0x7F) {
      case XCB_EXPOSE:
        if (reinterpret_cast<xcb_expose_event_t*>(event)->count == 0) paint();
        break;
      case XCB_CONFIGURE_NOTIFY: {
        auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(event);
        if (configure->window == window_) {
          width_ = configure->width;
          height_ = configure->height;
        }
        break;
      }
      case XCB_MAP_NOTIFY:
        if (reinterpret_cast<xcb_map_notify_event_t*>(event)->window == window_) mapped_ = true;
        break;
      case XCB_UNMAP_NOTIFY:
        if (reinterpret_cast<xcb_unmap_notify_event_t*>(event)->window == window_) mapped_ = false;
        break;
      default:
        break;
    }
  }

  // Waits, handling events, until `done` holds or two seconds pass.
  template <class Done>
  void waitUntil(Done done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      xcb_flush(connection_);
      pollfd pfd{fd(), POLLIN, 0};
      ::poll(&pfd, 1, 20);
      if (!handleEvents()) std::exit(1);
    }
  }

  void sync() {
    Reply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    if (!reply) std::exit(1);
    handleEvents();
  }

  void map() {
    xcb_map_window(connection_, window_);
    waitUntil([this] { return mapped_; });
  }

  void paint() {
    if (destroyed_) return;
    const int halfWidth = width_ / 2;
    const int halfHeight = height_ / 2;
    const xcb_rectangle_t quadrants[4] = {
        {0, 0, static_cast<std::uint16_t>(halfWidth), static_cast<std::uint16_t>(halfHeight)},
        {static_cast<std::int16_t>(halfWidth), 0, static_cast<std::uint16_t>(width_ - halfWidth),
         static_cast<std::uint16_t>(halfHeight)},
        {0, static_cast<std::int16_t>(halfHeight), static_cast<std::uint16_t>(halfWidth),
         static_cast<std::uint16_t>(height_ - halfHeight)},
        {static_cast<std::int16_t>(halfWidth), static_cast<std::int16_t>(halfHeight),
         static_cast<std::uint16_t>(width_ - halfWidth),
         static_cast<std::uint16_t>(height_ - halfHeight)},
    };
    for (int i = 0; i < 4; ++i) {
      // Animation swaps the quadrants diagonally, so every frame differs.
      std::uint32_t color = colors_[animationPhase_ ? 3 - i : i];
      if (options_.depth != 32) color &= 0xFFFFFF;
      xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &color);
      xcb_poly_fill_rectangle(connection_, window_, gc_, 1, &quadrants[i]);
    }
  }

  void sendToRoot(xcb_atom_t type, std::uint32_t d0, std::uint32_t d1) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window_;
    message.type = type;
    message.data.data32[0] = d0;
    message.data.data32[1] = d1;
    xcb_send_event(connection_, 0, screen_->root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
  }

  void command(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "sync") {
      // Only the round trip below.
    } else if (verb == "colors") {
      std::string list;
      in >> list;
      colors_ = parseColors(list);
      paint();
    } else if (verb == "fill") {
      std::string color;
      in >> color;
      colors_.fill(static_cast<std::uint32_t>(std::stoul(color, nullptr, 16)));
      paint();
    } else if (verb == "repaint") {
      paint();
    } else if (verb == "resize") {
      int w = 0, h = 0;
      in >> w >> h;
      const std::uint32_t size[] = {static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)};
      xcb_configure_window(connection_, window_, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                           size);
      waitUntil([&] { return width_ == w && height_ == h; });
      paint();
    } else if (verb == "map") {
      map();
      paint();
    } else if (verb == "unmap") {
      xcb_unmap_window(connection_, window_);
      waitUntil([this] { return !mapped_; });
    } else if (verb == "iconify") {
      sendToRoot(atom("WM_CHANGE_STATE"), 3 /* IconicState */, 0);
      waitUntil([this] { return !mapped_; });
    } else if (verb == "raise") {
      const std::uint32_t above = XCB_STACK_MODE_ABOVE;
      xcb_configure_window(connection_, window_, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    } else if (verb == "desktop") {
      std::uint32_t desktop = 0;
      in >> desktop;
      sendToRoot(atom("_NET_WM_DESKTOP"), desktop, 1);
    } else if (verb == "hidden") {
      xcb_atom_t hidden = atom("_NET_WM_STATE_HIDDEN");
      xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, atom("_NET_WM_STATE"),
                          XCB_ATOM_ATOM, 32, 1, &hidden);
    } else if (verb == "title") {
      std::string title;
      std::getline(in >> std::ws, title);
      setTitle(title);
    } else if (verb == "animate") {
      in >> animateHz_;
    } else if (verb == "destroy") {
      animateHz_ = 0;
      xcb_destroy_window(connection_, window_);
      destroyed_ = true;
    } else {
      fail("unknown command " + line);
    }
    sync();
  }

  Options options_;
  std::array<std::uint32_t, 4> colors_;
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> owned_;
  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  int width_ = 0;
  int height_ = 0;
  bool mapped_ = false;
  bool destroyed_ = false;
  int animateHz_ = 0;
  bool animationPhase_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Options options = parseOptions(argc, argv);
  TestWindow window(options);
  window.showAtStart();
  window.run();
  return 0;
}
