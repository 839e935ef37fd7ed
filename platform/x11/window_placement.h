#pragma once

#include <vector>

#include "platform/x11/x11_connection.h"
#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {

// Whether a window's picture can be read through the window itself: it is
// viewable, wholly on its screen and inside each of its ancestors, and no
// mapped window stacked above it, or above one of its ancestors, overlaps
// it, unless a compositing manager runs (it keeps every top-level window
// apart from the screen, so what covers one is not in its picture). Then
// the server need keep no copy of it for us. Structure events on the
// ancestors (the root included) and changes of the manager's selection say
// when to ask again; the chain is followed anew at each asking, so a
// reparented window is watched where it now is.
class WindowPlacement {
 public:
  WindowPlacement(X11Connection& connection, xcb_window_t window)
      : connection_(connection), window_(window) {}

  // Whether an event of the connection may change the answer.
  bool affects(const xcb_generic_event_t& event) const;
  // Asks the server now (a few round trips: one per ancestor, one more for
  // the windows above). False when anything cannot be learnt. `hidden` is
  // set to the bounds, in the window's coordinates, of what of it the
  // screen does not show (covered, or beyond an edge): all of it when
  // anything cannot be learnt, none for a window the server keeps apart.
  bool wholeOnScreen(xcb_rectangle_t& hidden);

 private:
  void watch(const std::vector<xcb_window_t>& ancestors);
  void watchManager();

  X11Connection& connection_;
  xcb_window_t window_;
  std::vector<xcb_window_t> watchedIds_;
  // The compositing manager's selection; its watch, like the root's
  // selection, lasts as long as the connection.
  xcb_atom_t managerSelection_ = XCB_NONE;
  bool managerWatched_ = false;
  // The root's selection is left to the connection: a region source that
  // follows this one on it selects there too, before this one is let go.
  std::vector<XcbEventSelection> watched_;
};

}  // namespace fenwright::x11
