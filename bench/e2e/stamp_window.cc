// The window the end-to-end bench captures: four coloured quadrants that
// swap diagonally on every repaint, so each frame differs everywhere. At
// --hz N it repaints N times a second, and each repaint paints its number
// (mod 4096) into the top-left quadrant, one hex digit per channel as
// 16 * d + 8 (blue lowest), so a reader can tell which repaint it sees even
// after scaling. With --stamps FILE it appends "<number> <CLOCK_MONOTONIC ns>"
// there just before sending each repaint. Prints "window <id>" once mapped and
// painted, and ends at the end of stdin or when the server goes.
//
//   fenwright_stamp_window [--size WxH] [--hz N] [--stamps FILE]

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <xcb/xcb.h>

#include "platform/c_deleter.h"

namespace {

using File = std::unique_ptr<std::FILE, fenwright::CDeleter<&std::fclose>>;
using Connection = std::unique_ptr<xcb_connection_t, fenwright::CDeleter<&xcb_disconnect>>;

constexpr std::uint32_t kColors[4] = {0xD02020, 0x20B040, 0x2040D0, 0xE0C020};

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "fenwright_stamp_window: %s\n", message.c_str());
  std::exit(2);
}

std::int64_t monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::uint32_t stampColor(std::uint32_t number) {
  std::uint32_t color = 0;
  for (int digit = 2; digit >= 0; --digit) color = color << 8 | (((number >> (4 * digit)) & 15) * 16 + 8);
  return color;
}

struct Window {
  xcb_connection_t* c;
  xcb_window_t id;
  xcb_gcontext_t gc;
  int width, height;

  void paint(std::uint32_t number, bool stamped) {
    const bool swapped = number % 2 == 1;
    for (int i = 0; i < 4; ++i) {
      const int col = i % 2, row = i / 2;
      const xcb_rectangle_t rect{static_cast<std::int16_t>(col * (width / 2)),
                                 static_cast<std::int16_t>(row * (height / 2)),
                                 static_cast<std::uint16_t>(col ? width - width / 2 : width / 2),
                                 static_cast<std::uint16_t>(row ? height - height / 2 : height / 2)};
      std::uint32_t color = i == 0 && stamped ? stampColor(number % 4096) : kColors[swapped ? 3 - i : i];
      xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &color);
      xcb_poly_fill_rectangle(c, id, gc, 1, &rect);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  int width = 1280, height = 720, hz = 0;
  File stamps;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--size" && std::sscanf(argv[i + 1], "%dx%d", &width, &height) == 2) continue;
    if (arg == "--hz") hz = std::atoi(argv[i + 1]);
    else if (arg == "--stamps") stamps.reset(std::fopen(argv[i + 1], "w"));
    else fail("bad option " + arg);
  }
  if (width <= 0 || height <= 0 || hz < 0 || hz > 1000) fail("bad size or rate");

  Connection connection(xcb_connect(nullptr, nullptr));
  if (xcb_connection_has_error(connection.get())) fail("cannot connect to the X server");
  xcb_connection_t* c = connection.get();
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  Window window{c, xcb_generate_id(c), xcb_generate_id(c), width, height};
  // No background, so the server never clears what was painted.
  const std::uint32_t values[] = {XCB_BACK_PIXMAP_NONE, XCB_EVENT_MASK_EXPOSURE};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window.id, screen->root, 0, 0,
                    static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK, values);
  xcb_create_gc(c, window.gc, window.id, 0, nullptr);
  xcb_map_window(c, window.id);
  std::uint32_t number = 0;
  window.paint(number, hz > 0);
  fenwright::MallocPtr<xcb_get_input_focus_reply_t> synced(
      xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  if (!synced) fail("the server went away");
  std::printf("window %u\n", window.id);
  std::fflush(stdout);

  const std::int64_t period = hz > 0 ? 1'000'000'000 / hz : 0;
  std::int64_t next = monotonicNs() + period;
  for (;;) {
    int timeout = -1;
    if (hz > 0) {
      std::int64_t now = monotonicNs();
      if (now >= next) {
        ++number;
        if (stamps) std::fprintf(stamps.get(), "%u %lld\n", number % 4096, static_cast<long long>(now));
        window.paint(number, true);
        xcb_flush(c);
        next = now - next > period ? now + period : next + period;
        now = monotonicNs();
      }
      timeout = static_cast<int>((next - now + 999'999) / 1'000'000);
    }
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {xcb_get_file_descriptor(c), POLLIN, 0}};
    if (::poll(fds, 2, timeout) < 0) continue;
    if (fds[0].revents != 0) {
      char buffer[256];
      if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
    }
    while (fenwright::MallocPtr<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
      if ((event->response_type & 0x7F) == XCB_EXPOSE) window.paint(number, hz > 0);
    }
    xcb_flush(c);
    if (xcb_connection_has_error(c)) return 1;
  }
  if (stamps) std::fflush(stamps.get());
  return 0;
}
