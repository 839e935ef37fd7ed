#include "platform/x11/window_placement.h"

#include <algorithm>
#include <string>

namespace fenwright::x11 {
namespace {

// Deeper than any window manager nests; a cycle would mean a broken reply.
constexpr std::size_t kDeepestChain = 64;

struct Box {
  long left = 0, top = 0, right = 0, bottom = 0;
  bool within(const Box& other) const {
    return left >= other.left && top >= other.top && right <= other.right &&
           bottom <= other.bottom;
  }
  bool overlaps(const Box& other) const {
    return left < other.right && other.left < right && top < other.bottom && other.top < bottom;
  }
  bool empty() const { return right <= left || bottom <= top; }
  Box meet(const Box& other) const {
    return {std::max(left, other.left), std::max(top, other.top), std::min(right, other.right),
            std::min(bottom, other.bottom)};
  }
  Box join(const Box& other) const {
    if (empty()) return other;
    if (other.empty()) return *this;
    return {std::min(left, other.left), std::min(top, other.top), std::max(right, other.right),
            std::max(bottom, other.bottom)};
  }
  // Bounds of what of this box lies outside `part`, which lies within it.
  Box beyond(const Box& part) const {
    if (part.empty()) return *this;
    Box out{};
    if (part.top > top) out = out.join({left, top, right, part.top});
    if (part.bottom < bottom) out = out.join({left, part.bottom, right, bottom});
    if (part.left > left) out = out.join({left, top, part.left, bottom});
    if (part.right < right) out = out.join({part.right, top, right, bottom});
    return out;
  }
};

constexpr xcb_rectangle_t kEverything{0, 0, 0xFFFF, 0xFFFF};

}  // namespace

bool WindowPlacement::affects(const xcb_generic_event_t& event) const {
  const int type = event.response_type & 0x7F;
  if (managerSelection_ != XCB_NONE &&
      type == connection_.capabilities().xfixesFirstEvent + XCB_XFIXES_SELECTION_NOTIFY)
    return true;
  switch (type) {
    case XCB_CONFIGURE_NOTIFY:
    case XCB_MAP_NOTIFY:
    case XCB_UNMAP_NOTIFY:
    case XCB_REPARENT_NOTIFY:
    case XCB_CIRCULATE_NOTIFY:
    case XCB_DESTROY_NOTIFY:
    case XCB_GRAVITY_NOTIFY:
      return true;
    default:
      return false;
  }
}

void WindowPlacement::watch(const std::vector<xcb_window_t>& ancestors) {
  xcb_connection_t* c = connection_.get();
  // Let go first: a window in both lists is selected again after.
  watched_.clear();
  for (xcb_window_t ancestor : ancestors) {
    const bool root = ancestor == connection_.root();
    const std::uint32_t mask =
        XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | (root ? XCB_EVENT_MASK_STRUCTURE_NOTIFY : 0);
    xcb_change_window_attributes(c, ancestor, XCB_CW_EVENT_MASK, &mask);
    if (!root) watched_.emplace_back(c, ancestor);
  }
  watchedIds_ = ancestors;
}

void WindowPlacement::watchManager() {
  managerWatched_ = true;
  xcb_connection_t* c = connection_.get();
  const xcb_window_t root = connection_.root();
  int number = 0;
  for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem > 0 && it.data->root != root;
       xcb_screen_next(&it))
    ++number;
  const std::string name = "_NET_WM_CM_S" + std::to_string(number);
  auto atom = xcbAnswer(c, xcb_intern_atom_reply,
                        xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.c_str()));
  if (!atom) return;
  managerSelection_ = atom->atom;
  // Without XFixes a manager that comes or goes is noticed with the next
  // structure change.
  if (connection_.capabilities().xfixes.atLeast(1, 0))
    xcb_xfixes_select_selection_input(
        c, root, managerSelection_,
        XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
            XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
            XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
}

bool WindowPlacement::wholeOnScreen(xcb_rectangle_t& hidden) {
  hidden = kEverything;
  xcb_connection_t* c = connection_.get();
  const xcb_window_t root = connection_.root();
  if (!managerWatched_) watchManager();
  // chain: the window, its parent, ..., the root; trees[i] lists chain[i]
  // among its siblings, bottom to top. A chain watched only now is asked
  // again, so that no change between asking and watching goes unseen.
  std::vector<xcb_window_t> chain;
  std::vector<XcbReply<xcb_query_tree_reply_t>> trees;
  for (int attempt = 0;; ++attempt) {
    chain.assign(1, window_);
    trees.clear();
    auto own = xcbAnswer(c, xcb_query_tree_reply, xcb_query_tree(c, window_));
    if (!own) return false;
    for (xcb_window_t parent = own->parent; chain.back() != root;) {
      if (parent == XCB_NONE || chain.size() > kDeepestChain) return false;
      chain.push_back(parent);
      auto tree = xcbAnswer(c, xcb_query_tree_reply, xcb_query_tree(c, parent));
      if (!tree) return false;
      parent = tree->parent;
      trees.push_back(std::move(tree.reply));
    }
    std::vector<xcb_window_t> ancestors(chain.begin() + 1, chain.end());
    if (ancestors == watchedIds_) break;
    watch(ancestors);
    if (attempt > 0) break;
  }

  struct Above {
    std::size_t level;
    xcb_get_geometry_cookie_t geometry;
    xcb_get_window_attributes_cookie_t attributes;
  };
  const auto managerCookie = xcb_get_selection_owner(c, managerSelection_);
  std::vector<xcb_get_geometry_cookie_t> chainGeometry;
  for (xcb_window_t w : chain) chainGeometry.push_back(xcb_get_geometry(c, w));
  auto ownAttributes = xcb_get_window_attributes(c, window_);
  std::vector<Above> above;
  bool missing = false;
  for (std::size_t level = 0; level < trees.size(); ++level) {
    const xcb_window_t* siblings = xcb_query_tree_children(trees[level].get());
    const int count = xcb_query_tree_children_length(trees[level].get());
    const xcb_window_t* self = std::find(siblings, siblings + count, chain[level]);
    // Gone from its parent since: asked again with the next event.
    if (self == siblings + count) missing = true;
    for (const xcb_window_t* s = self + (missing ? 0 : 1); s < siblings + count; ++s)
      above.push_back({level, xcb_get_geometry(c, *s), xcb_get_window_attributes(c, *s)});
  }

  // Every reply is taken, whatever the verdict, so none is left queued.
  auto manager = xcbAnswer(c, xcb_get_selection_owner_reply, managerCookie);
  const bool composited = manager && manager->owner != XCB_NONE;
  std::vector<XcbReply<xcb_get_geometry_reply_t>> geometry;
  for (auto cookie : chainGeometry)
    geometry.push_back(xcbAnswer(c, xcb_get_geometry_reply, cookie).reply);
  auto attributes = xcbAnswer(c, xcb_get_window_attributes_reply, ownAttributes);
  bool whole = !missing && attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
               std::all_of(geometry.begin(), geometry.end(), [](auto& g) { return g != nullptr; });

  // Inside areas in root coordinates, from the root down; `shown` is what
  // of the window its ancestors leave on the screen.
  std::vector<Box> inside(chain.size());
  Box shown{};
  bool apart = false;
  if (whole) {
    const auto& top = *geometry.back();
    inside.back() = {0, 0, top.width, top.height};
    for (std::size_t i = chain.size() - 1; i-- > 0;) {
      const auto& g = *geometry[i];
      const long left = inside[i + 1].left + g.x + g.border_width;
      const long upper = inside[i + 1].top + g.y + g.border_width;
      inside[i] = {left, upper, left + g.width, upper + g.height};
    }
    shown = inside[0];
    for (std::size_t i = 1; i < chain.size(); ++i) shown = shown.meet(inside[i]);
    whole = !inside[0].empty() && !shown.empty() && inside[0].within(shown);
    // A window of another depth than the screen's is kept apart by the
    // server anyway: its pixmap is read as it is, and holds nothing else.
    apart = geometry[0]->depth != connection_.screen().root_depth;
    if (apart) shown = inside[0];
  }
  Box covered{};
  for (const Above& a : above) {
    auto g = xcbAnswer(c, xcb_get_geometry_reply, a.geometry);
    auto attr = xcbAnswer(c, xcb_get_window_attributes_reply, a.attributes);
    if (inside[0].empty() || composited || apart || !g || !attr ||
        attr->map_state == XCB_MAP_STATE_UNMAPPED || attr->_class == XCB_WINDOW_CLASS_INPUT_ONLY)
      continue;
    const Box& parent = inside[a.level + 1];
    const Box box{parent.left + g->x, parent.top + g->y,
                  parent.left + g->x + g->width + 2L * g->border_width,
                  parent.top + g->y + g->height + 2L * g->border_width};
    if (box.overlaps(shown)) covered = covered.join(box.meet(shown));
  }
  if (inside[0].empty()) return false;
  whole = whole && !apart && covered.empty();
  const Box out = inside[0].beyond(shown.meet(inside[0])).join(covered);
  hidden = out.empty() ? xcb_rectangle_t{}
                       : xcb_rectangle_t{static_cast<std::int16_t>(out.left - inside[0].left),
                                         static_cast<std::int16_t>(out.top - inside[0].top),
                                         static_cast<std::uint16_t>(out.right - out.left),
                                         static_cast<std::uint16_t>(out.bottom - out.top)};
  return whole;
}

}  // namespace fenwright::x11
