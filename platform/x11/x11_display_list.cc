#include "platform/x11/x11_display_list.h"

#include <optional>

#include <xcb/randr.h>

#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {
namespace {

std::optional<DisplayList> fromMonitors(X11Connection& connection) {
  xcb_connection_t* c = connection.get();
  auto monitors =
      xcbAnswer(c, xcb_randr_get_monitors_reply, xcb_randr_get_monitors(c, connection.root(), 1));
  if (!monitors) return std::nullopt;
  DisplayList list;
  std::optional<std::uint32_t> primary;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.reply.get()); it.rem;
       xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t* info = it.data;
    const xcb_randr_output_t* outputs = xcb_randr_monitor_info_outputs(info);
    CaptureDisplay display;
    display.displayID = info->nOutput > 0 ? outputs[0] : info->name;
    display.x = info->x;
    display.y = info->y;
    display.width = info->width;
    display.height = info->height;
    if (info->primary && !primary) primary = display.displayID;
    list.displays.push_back(display);
  }
  if (!list.displays.empty()) list.mainDisplayID = primary.value_or(list.displays[0].displayID);
  return list;
}

std::optional<DisplayList> fromCrtcs(X11Connection& connection) {
  xcb_connection_t* c = connection.get();
  auto resources = xcbAnswer(c, xcb_randr_get_screen_resources_current_reply,
                             xcb_randr_get_screen_resources_current(c, connection.root()));
  if (!resources) return std::nullopt;
  auto primaryCookie = xcb_randr_get_output_primary(c, connection.root());
  const xcb_randr_crtc_t* crtcs =
      xcb_randr_get_screen_resources_current_crtcs(resources.reply.get());
  int count = xcb_randr_get_screen_resources_current_crtcs_length(resources.reply.get());
  std::vector<xcb_randr_get_crtc_info_cookie_t> cookies;
  for (int i = 0; i < count; ++i)
    cookies.push_back(xcb_randr_get_crtc_info(c, crtcs[i], resources->config_timestamp));
  auto primary = xcbAnswer(c, xcb_randr_get_output_primary_reply, primaryCookie);

  DisplayList list;
  std::optional<std::uint32_t> mainID;
  for (auto cookie : cookies) {
    auto crtc = xcbAnswer(c, xcb_randr_get_crtc_info_reply, cookie);
    if (!crtc || crtc->mode == XCB_NONE || crtc->num_outputs == 0) continue;
    const xcb_randr_output_t* outputs = xcb_randr_get_crtc_info_outputs(crtc.reply.get());
    CaptureDisplay display;
    display.displayID = outputs[0];
    display.x = crtc->x;
    display.y = crtc->y;
    display.width = crtc->width;
    display.height = crtc->height;
    for (int o = 0; o < crtc->num_outputs; ++o)
      if (primary && outputs[o] == primary->output && !mainID) mainID = display.displayID;
    list.displays.push_back(display);
  }
  if (!list.displays.empty()) list.mainDisplayID = mainID.value_or(list.displays[0].displayID);
  return list;
}

DisplayList wholeScreen(X11Connection& connection) {
  CaptureDisplay display;
  display.displayID = connection.root();
  display.width = connection.screen().width_in_pixels;
  display.height = connection.screen().height_in_pixels;
  return {{display}, display.displayID};
}

}  // namespace

CaptureResult<DisplayList> listDisplays(X11Connection& connection) {
  std::optional<DisplayList> list;
  if (connection.capabilities().listsMonitors())
    list = fromMonitors(connection);
  else if (connection.capabilities().randr.atLeast(1, 3))
    list = fromCrtcs(connection);
  if (connection.hasError()) return CaptureError{kConnectionLost};
  if (!list || list->displays.empty()) list = wholeScreen(connection);
  return std::move(*list);
}

}  // namespace fenwright::x11
