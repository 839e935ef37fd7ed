#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <type_traits>
#include <utility>

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include "platform/c_deleter.h"

namespace fenwright::x11 {

// Every reply, event and error xcb hands out is malloc'd and ours to free.
template <class T>
using XcbReply = MallocPtr<T>;
using XcbError = XcbReply<xcb_generic_error_t>;
using XcbEvent = XcbReply<xcb_generic_event_t>;

using XcbConnectionPtr = std::unique_ptr<xcb_connection_t, CDeleter<&xcb_disconnect>>;

// A reply and the error that came instead of it; both owned.
template <class Reply>
struct XcbAnswer {
  XcbReply<Reply> reply;
  XcbError error;
  explicit operator bool() const { return reply != nullptr; }
  Reply* operator->() const { return reply.get(); }
};

// Waits for the reply or error to request `sequence`, as xcb would, but
// past a moment the executor's standby thread serves the queues meanwhile:
// a server that stopped answering holds up this call, not the process.
// Both stay null when the connection broke.
void awaitXcbReply(xcb_connection_t* connection, unsigned int sequence, void** reply,
                   xcb_generic_error_t** error);

// `Reply` is named by the library's reply function, which only casts.
template <class Reply, class Cookie>
XcbAnswer<Reply> xcbAnswer(xcb_connection_t* connection,
                           Reply* (*)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
                           Cookie cookie) {
  void* reply = nullptr;
  xcb_generic_error_t* error = nullptr;
  awaitXcbReply(connection, cookie.sequence, &reply, &error);
  return {XcbReply<Reply>(static_cast<Reply*>(reply)), XcbError(error)};
}

XcbError xcbCheck(xcb_connection_t* connection, xcb_void_cookie_t cookie);

// A server-side object created by us on one connection, released with
// `Release` when dropped. The connection must outlive it. Move-only.
template <void (*Release)(xcb_connection_t*, std::uint32_t)>
class XcbResource {
 public:
  XcbResource() = default;
  XcbResource(xcb_connection_t* connection, std::uint32_t id) : connection_(connection), id_(id) {}
  XcbResource(const XcbResource&) = delete;
  XcbResource& operator=(const XcbResource&) = delete;
  XcbResource(XcbResource&& other) noexcept
      : connection_(other.connection_), id_(std::exchange(other.id_, 0)) {}
  XcbResource& operator=(XcbResource&& other) noexcept {
    if (this != &other) {
      reset();
      connection_ = other.connection_;
      id_ = std::exchange(other.id_, 0);
    }
    return *this;
  }
  ~XcbResource() { reset(); }

  std::uint32_t get() const { return id_; }
  explicit operator bool() const { return id_ != 0; }
  void reset() {
    if (id_ != 0) Release(connection_, std::exchange(id_, 0));
  }
  // The server refused to make it: nothing to release.
  void abandon() { id_ = 0; }

 private:
  xcb_connection_t* connection_ = nullptr;
  std::uint32_t id_ = 0;
};

namespace release {
inline void pixmap(xcb_connection_t* c, std::uint32_t id) { xcb_free_pixmap(c, id); }
inline void damage(xcb_connection_t* c, std::uint32_t id) { xcb_damage_destroy(c, id); }
inline void shmSegment(xcb_connection_t* c, std::uint32_t id) { xcb_shm_detach(c, id); }
inline void compositeRedirect(xcb_connection_t* c, std::uint32_t window) {
  xcb_composite_unredirect_window(c, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
}
inline void eventSelection(xcb_connection_t* c, std::uint32_t window) {
  const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
  xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &none);
}
inline void cursorSelection(xcb_connection_t* c, std::uint32_t window) {
  xcb_xfixes_select_cursor_input(c, window, 0);
}
inline void randrSelection(xcb_connection_t* c, std::uint32_t window) {
  xcb_randr_select_input(c, window, 0);
}
}  // namespace release

using XcbPixmap = XcbResource<&release::pixmap>;
using XcbDamage = XcbResource<&release::damage>;
using XcbShmSegment = XcbResource<&release::shmSegment>;
// Holds a window's automatic Composite redirection; the id is the window.
using XcbCompositeRedirect = XcbResource<&release::compositeRedirect>;
// Holds our event selection on a window; the id is the window.
using XcbEventSelection = XcbResource<&release::eventSelection>;
using XcbCursorSelection = XcbResource<&release::cursorSelection>;
using XcbRandrSelection = XcbResource<&release::randrSelection>;

}  // namespace fenwright::x11
