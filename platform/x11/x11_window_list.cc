#include "platform/x11/x11_window_list.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/x11/x11_text.h"
#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {
namespace {

// In 32-bit units, as GetProperty counts.
constexpr std::uint32_t kTitleLength = 1024;
constexpr std::uint32_t kListLength = 65536;
constexpr std::uint32_t kAllDesktops = 0xFFFFFFFF;

using Property = XcbReply<xcb_get_property_reply_t>;

xcb_get_property_cookie_t askProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property,
                                      xcb_atom_t type, std::uint32_t length) {
  return xcb_get_property(c, 0, window, property, type, 0, length);
}

Property takeProperty(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
  return std::move(xcbAnswer(c, xcb_get_property_reply, cookie).reply);
}

bool exists(const Property& p) { return p && p->type != XCB_ATOM_NONE; }

std::vector<std::uint32_t> words(const Property& p) {
  if (!exists(p) || p->format != 32) return {};
  const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(p.get()));
  int count = xcb_get_property_value_length(p.get()) / 4;
  return std::vector<std::uint32_t>(data, data + count);
}

std::optional<std::uint32_t> firstWord(const Property& p) {
  if (!exists(p) || p->format != 32 || xcb_get_property_value_length(p.get()) < 4)
    return std::nullopt;
  return *static_cast<const std::uint32_t*>(xcb_get_property_value(p.get()));
}

std::string_view bytes(const Property& p) {
  return {static_cast<const char*>(xcb_get_property_value(p.get())),
          static_cast<std::size_t>(xcb_get_property_value_length(p.get()))};
}

bool contains(const std::vector<std::uint32_t>& values, std::uint32_t wanted) {
  return std::find(values.begin(), values.end(), wanted) != values.end();
}

std::optional<std::string> titleOf(const Property& netWmName, const Property& wmName,
                                   const X11Atoms& atoms) {
  bool hasNetName =
      exists(netWmName) && netWmName->type == atoms.utf8String && netWmName->format == 8;
  if (hasNetName) {
    std::string title = sanitizeUtf8(bytes(netWmName));
    if (!title.empty()) return title;
  }
  if (exists(wmName) && wmName->format == 8) {
    if (wmName->type == XCB_ATOM_STRING) return latin1ToUtf8(bytes(wmName));
    if (wmName->type == atoms.utf8String) return sanitizeUtf8(bytes(wmName));
    return asciiOnly(bytes(wmName));
  }
  if (hasNetName) return std::string();
  return std::nullopt;
}

std::vector<xcb_window_t> childrenOf(xcb_connection_t* c, xcb_window_t window) {
  auto tree = xcbAnswer(c, xcb_query_tree_reply, xcb_query_tree(c, window));
  if (!tree) return {};
  const xcb_window_t* children = xcb_query_tree_children(tree.reply.get());
  return std::vector<xcb_window_t>(children,
                                   children + xcb_query_tree_children_length(tree.reply.get()));
}

// _NET_CLIENT_LIST, when a live EWMH window manager publishes it.
std::optional<std::vector<xcb_window_t>> managedClients(X11Connection& connection,
                                                        const X11Atoms& atoms) {
  xcb_connection_t* c = connection.get();
  auto check = firstWord(takeProperty(
      c, askProperty(c, connection.root(), atoms.netSupportingWmCheck, XCB_ATOM_WINDOW, 1)));
  if (!check) return std::nullopt;
  // A crashed manager leaves the root property behind but not its window.
  auto self = firstWord(
      takeProperty(c, askProperty(c, *check, atoms.netSupportingWmCheck, XCB_ATOM_WINDOW, 1)));
  if (self != check) return std::nullopt;
  Property list = takeProperty(
      c, askProperty(c, connection.root(), atoms.netClientList, XCB_ATOM_WINDOW, kListLength));
  if (!exists(list)) return std::nullopt;
  return words(list);
}

// Without a client list: the top-level clients a window manager marked with
// WM_STATE (root children, or for reparenting managers the children of their
// frames), withdrawn and iconic ones too, so that a minimised window is
// found; and the mapped top-levels that no manager marked (none runs), except
// override-redirect popups.
std::vector<xcb_window_t> topLevelClients(xcb_connection_t* c, const X11Atoms& atoms,
                                          const std::vector<xcb_window_t>& topLevel) {
  auto marked = [&](const std::vector<xcb_window_t>& windows) {
    std::vector<xcb_get_property_cookie_t> cookies;
    cookies.reserve(windows.size());
    for (xcb_window_t w : windows)
      cookies.push_back(askProperty(c, w, atoms.wmState, XCB_GET_PROPERTY_TYPE_ANY, 0));
    std::vector<bool> result;
    result.reserve(windows.size());
    for (auto cookie : cookies) result.push_back(exists(takeProperty(c, cookie)));
    return result;
  };
  std::vector<xcb_get_window_attributes_cookie_t> attributeCookies;
  attributeCookies.reserve(topLevel.size());
  for (xcb_window_t w : topLevel) attributeCookies.push_back(xcb_get_window_attributes(c, w));
  std::vector<bool> direct = marked(topLevel);
  std::vector<xcb_window_t> clients;
  for (std::size_t i = 0; i < topLevel.size(); ++i) {
    auto attributes = xcbAnswer(c, xcb_get_window_attributes_reply, attributeCookies[i]);
    if (direct[i]) {
      clients.push_back(topLevel[i]);
      continue;
    }
    std::vector<xcb_window_t> inner = childrenOf(c, topLevel[i]);
    std::vector<bool> innerMarked = marked(inner);
    bool frame = false;
    for (std::size_t k = 0; k < inner.size(); ++k) {
      if (!innerMarked[k]) continue;
      clients.push_back(inner[k]);
      frame = true;
    }
    if (!frame && attributes && attributes->map_state != XCB_MAP_STATE_UNMAPPED &&
        attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT && !attributes->override_redirect)
      clients.push_back(topLevel[i]);
  }
  return clients;
}

struct PendingWindow {
  xcb_window_t id;
  xcb_get_window_attributes_cookie_t attributes;
  xcb_get_property_cookie_t netWmName, wmName, netWmState, netWmDesktop, windowType;
};

}  // namespace

CaptureResult<std::vector<CaptureWindow>> listWindows(X11Connection& connection,
                                                      bool excludingDesktopWindows,
                                                      bool onScreenWindowsOnly) {
  const X11Atoms* atomsOrNull = connection.atoms();
  if (atomsOrNull == nullptr) return CaptureError{kConnectionLost};
  const X11Atoms& atoms = *atomsOrNull;
  xcb_connection_t* c = connection.get();

  std::vector<xcb_window_t> candidates;
  if (auto clients = managedClients(connection, atoms)) {
    candidates = std::move(*clients);
  } else {
    candidates = topLevelClients(c, atoms, childrenOf(c, connection.root()));
  }

  auto currentDesktopCookie =
      askProperty(c, connection.root(), atoms.netCurrentDesktop, XCB_ATOM_CARDINAL, 1);
  std::vector<PendingWindow> pending;
  pending.reserve(candidates.size());
  for (xcb_window_t w : candidates) {
    pending.push_back({w, xcb_get_window_attributes(c, w),
                       askProperty(c, w, atoms.netWmName, atoms.utf8String, kTitleLength),
                       askProperty(c, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, kTitleLength),
                       askProperty(c, w, atoms.netWmState, XCB_ATOM_ATOM, kListLength),
                       askProperty(c, w, atoms.netWmDesktop, XCB_ATOM_CARDINAL, 1),
                       askProperty(c, w, atoms.netWmWindowType, XCB_ATOM_ATOM, kListLength)});
  }
  auto currentDesktop = firstWord(takeProperty(c, currentDesktopCookie));

  std::vector<CaptureWindow> windows;
  windows.reserve(pending.size());
  for (const PendingWindow& p : pending) {
    auto attributes = xcbAnswer(c, xcb_get_window_attributes_reply, p.attributes);
    Property netWmName = takeProperty(c, p.netWmName);
    Property wmName = takeProperty(c, p.wmName);
    Property netWmState = takeProperty(c, p.netWmState);
    Property netWmDesktop = takeProperty(c, p.netWmDesktop);
    Property windowType = takeProperty(c, p.windowType);
    if (!attributes) continue;  // gone since it was listed

    if (excludingDesktopWindows && contains(words(windowType), atoms.netWmWindowTypeDesktop))
      continue;
    bool viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    bool hidden = contains(words(netWmState), atoms.netWmStateHidden);
    auto desktop = firstWord(netWmDesktop);
    bool onCurrentDesktop =
        !currentDesktop || !desktop || *desktop == kAllDesktops || *desktop == *currentDesktop;
    CaptureWindow window;
    window.windowID = p.id;
    window.title = titleOf(netWmName, wmName, atoms);
    window.isOnScreen = viewable && !hidden && onCurrentDesktop;
    if (onScreenWindowsOnly && !window.isOnScreen) continue;
    windows.push_back(std::move(window));
  }
  if (connection.hasError()) return CaptureError{kConnectionLost};
  return windows;
}

}  // namespace fenwright::x11
