#include "platform/x11/damage_filter.h"

#include "platform/x11/x11_connection.h"

namespace fenwright::x11 {

std::optional<CaptureError> DamageFilter::follow(
    X11Connection& connection, xcb_drawable_t drawable, xcb_damage_report_level_t level,
    const std::function<std::string(const XcbError&)>& refused) {
  if (!connection.capabilities().reportsDamage()) return std::nullopt;
  auto id = connection.generateId();
  if (!id) return CaptureError{kConnectionLost};
  xcb_connection_t* c = connection.get();
  if (XcbError error = xcbCheck(c, xcb_damage_create_checked(c, *id, drawable, level)))
    return CaptureError{refused(error)};
  damage_ = XcbDamage(c, *id);
  firstEvent_ = connection.capabilities().damageFirstEvent;
  return std::nullopt;
}

DamageFilter::Seen DamageFilter::see(const xcb_generic_event_t& event,
                                     xcb_rectangle_t* area) const {
  if (!damage_ || (event.response_type & 0x7F) != firstEvent_ + XCB_DAMAGE_NOTIFY)
    return Seen::other;
  const auto& notify = reinterpret_cast<const xcb_damage_notify_event_t&>(event);
  if (notify.damage != damage_.get()) return Seen::nothingNew;
  if (area != nullptr) *area = notify.area;
  // Damage reported before our last grab's subtract was there to be read.
  return static_cast<std::int32_t>(event.full_sequence - subtractSequence_) < 0 ? Seen::earlier
                                                                                : Seen::fresh;
}

void DamageFilter::grabbing(xcb_connection_t* connection) {
  if (damage_)
    subtractSequence_ = xcb_damage_subtract(connection, damage_.get(), XCB_NONE, XCB_NONE).sequence;
}

void DamageFilter::listen(xcb_connection_t* connection) {
  if (!damage_) return;
  xcb_damage_subtract(connection, damage_.get(), XCB_NONE, XCB_NONE);
  xcb_flush(connection);
}

}  // namespace fenwright::x11
