#include "platform/x11/x11_capabilities.h"

#include <sys/socket.h>

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {
namespace {

bool isUnixSocket(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  return address.ss_family == AF_UNIX;
}

std::string versionText(const char* name, const ExtensionVersion& version) {
  std::string text = name;
  if (!version.present) return text + " absent";
  return text + " " + std::to_string(version.major) + "." + std::to_string(version.minor);
}

}  // namespace

X11Capabilities X11Capabilities::probe(xcb_connection_t* c) {
  X11Capabilities caps;
  xcb_prefetch_extension_data(c, &xcb_composite_id);
  xcb_prefetch_extension_data(c, &xcb_damage_id);
  xcb_prefetch_extension_data(c, &xcb_xfixes_id);
  xcb_prefetch_extension_data(c, &xcb_shm_id);
  xcb_prefetch_extension_data(c, &xcb_randr_id);

  auto present = [c](xcb_extension_t* id) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, id);
    return data != nullptr && data->present ? data : nullptr;
  };
  const auto* composite = present(&xcb_composite_id);
  const auto* damage = present(&xcb_damage_id);
  const auto* xfixes = present(&xcb_xfixes_id);
  const auto* shm = present(&xcb_shm_id);
  const auto* randr = present(&xcb_randr_id);

  // Sent together, answered together: one round trip for all five.
  xcb_composite_query_version_cookie_t compositeCookie{};
  xcb_damage_query_version_cookie_t damageCookie{};
  xcb_xfixes_query_version_cookie_t xfixesCookie{};
  xcb_shm_query_version_cookie_t shmCookie{};
  xcb_randr_query_version_cookie_t randrCookie{};
  if (composite) compositeCookie = xcb_composite_query_version(c, 0, 4);
  if (damage) damageCookie = xcb_damage_query_version(c, 1, 1);
  if (xfixes) xfixesCookie = xcb_xfixes_query_version(c, 6, 0);
  if (shm) shmCookie = xcb_shm_query_version(c);
  if (randr) randrCookie = xcb_randr_query_version(c, 1, 6);

  if (composite) {
    if (auto r = xcbAnswer(c, xcb_composite_query_version_reply, compositeCookie))
      caps.composite = {true, r->major_version, r->minor_version};
  }
  if (damage) {
    if (auto r = xcbAnswer(c, xcb_damage_query_version_reply, damageCookie)) {
      caps.damage = {true, r->major_version, r->minor_version};
      caps.damageFirstEvent = damage->first_event;
    }
  }
  if (xfixes) {
    if (auto r = xcbAnswer(c, xcb_xfixes_query_version_reply, xfixesCookie)) {
      caps.xfixes = {true, r->major_version, r->minor_version};
      caps.xfixesFirstEvent = xfixes->first_event;
    }
  }
  if (shm) {
    if (auto r = xcbAnswer(c, xcb_shm_query_version_reply, shmCookie))
      caps.shm = {true, r->major_version, r->minor_version};
  }
  if (randr) {
    if (auto r = xcbAnswer(c, xcb_randr_query_version_reply, randrCookie)) {
      caps.randr = {true, r->major_version, r->minor_version};
      caps.randrFirstEvent = randr->first_event;
    }
  }
  caps.local = isUnixSocket(xcb_get_file_descriptor(c));
  return caps;
}

std::string X11Capabilities::describe() const {
  return versionText("Composite", composite) + ", " + versionText("DAMAGE", damage) + ", " +
         versionText("XFIXES", xfixes) + ", " + versionText("MIT-SHM", shm) +
         (shm.present && !local ? " (remote, unused)" : "") + ", " + versionText("RANDR", randr);
}

}  // namespace fenwright::x11
