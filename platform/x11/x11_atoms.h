#pragma once

#include <xcb/xcb.h>

namespace fenwright::x11 {

// The atoms the window list reads, interned once per connection. Created
// when missing, so a window manager that starts later is still understood.
struct X11Atoms {
  xcb_atom_t utf8String = XCB_ATOM_NONE;
  xcb_atom_t compoundText = XCB_ATOM_NONE;
  xcb_atom_t wmState = XCB_ATOM_NONE;
  xcb_atom_t netSupportingWmCheck = XCB_ATOM_NONE;
  xcb_atom_t netClientList = XCB_ATOM_NONE;
  xcb_atom_t netWmName = XCB_ATOM_NONE;
  xcb_atom_t netWmState = XCB_ATOM_NONE;
  xcb_atom_t netWmStateHidden = XCB_ATOM_NONE;
  xcb_atom_t netWmDesktop = XCB_ATOM_NONE;
  xcb_atom_t netCurrentDesktop = XCB_ATOM_NONE;
  xcb_atom_t netWmWindowType = XCB_ATOM_NONE;
  xcb_atom_t netWmWindowTypeDesktop = XCB_ATOM_NONE;

  // False when the connection failed before every atom was answered.
  static bool intern(xcb_connection_t* connection, X11Atoms& atoms);
};

}  // namespace fenwright::x11
