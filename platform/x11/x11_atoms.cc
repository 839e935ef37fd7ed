#include "platform/x11/x11_atoms.h"

#include <array>
#include <cstring>
#include <utility>

#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {

bool X11Atoms::intern(xcb_connection_t* c, X11Atoms& atoms) {
  const std::array<std::pair<const char*, xcb_atom_t*>, 12> names{{
      {"UTF8_STRING", &atoms.utf8String},
      {"COMPOUND_TEXT", &atoms.compoundText},
      {"WM_STATE", &atoms.wmState},
      {"_NET_SUPPORTING_WM_CHECK", &atoms.netSupportingWmCheck},
      {"_NET_CLIENT_LIST", &atoms.netClientList},
      {"_NET_WM_NAME", &atoms.netWmName},
      {"_NET_WM_STATE", &atoms.netWmState},
      {"_NET_WM_STATE_HIDDEN", &atoms.netWmStateHidden},
      {"_NET_WM_DESKTOP", &atoms.netWmDesktop},
      {"_NET_CURRENT_DESKTOP", &atoms.netCurrentDesktop},
      {"_NET_WM_WINDOW_TYPE", &atoms.netWmWindowType},
      {"_NET_WM_WINDOW_TYPE_DESKTOP", &atoms.netWmWindowTypeDesktop},
  }};
  std::array<xcb_intern_atom_cookie_t, names.size()> cookies{};
  for (std::size_t i = 0; i < names.size(); ++i) {
    cookies[i] = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(names[i].first)),
                                 names[i].first);
  }
  bool complete = true;
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto answer = xcbAnswer(c, xcb_intern_atom_reply, cookies[i]);
    if (answer)
      *names[i].second = answer->atom;
    else
      complete = false;
  }
  return complete;
}

}  // namespace fenwright::x11
