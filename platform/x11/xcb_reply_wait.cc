#include <poll.h>
#include <xcb/xcbext.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/dispatch/shared_executor.h"
#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {
namespace {

// Longer than any answer of a server at work; a frame at 4K takes ~10 ms.
constexpr int kStalledAfterMs = 100;

}  // namespace

void awaitXcbReply(xcb_connection_t* connection, unsigned int sequence, void** reply,
                   xcb_generic_error_t** error) {
  *reply = nullptr;
  *error = nullptr;
  if (xcb_flush(connection) <= 0) return;
  std::optional<StallGuard> stalled;
  for (;;) {
    if (xcb_poll_for_reply(connection, sequence, reply, error) != 0) return;
    if (xcb_connection_has_error(connection) != 0) return;
    pollfd ready{xcb_get_file_descriptor(connection), POLLIN, 0};
    const int polled = ::poll(&ready, 1, stalled ? -1 : kStalledAfterMs);
    if (polled == 0) stalled.emplace();
    if (polled < 0 && errno != EINTR) return;
  }
}

XcbError xcbCheck(xcb_connection_t* connection, xcb_void_cookie_t cookie) {
  // Once a later reply is in, xcb knows at once whether an error came.
  xcb_get_input_focus_cookie_t sync = xcb_get_input_focus(connection);
  void* reply = nullptr;
  xcb_generic_error_t* error = nullptr;
  awaitXcbReply(connection, sync.sequence, &reply, &error);
  std::free(reply);
  std::free(error);
  return XcbError(xcb_request_check(connection, cookie));
}

}  // namespace fenwright::x11
