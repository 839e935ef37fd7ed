#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/capture/capture_error.h"
#include "platform/x11/xcb_handles.h"

namespace fenwright::x11 {

class X11Connection;

// Damage on one drawable, as a frame source uses it: which notifications
// are news since its last grab. Without the extension it follows nothing,
// and the source polls instead.
class DamageFilter {
 public:
  enum class Seen {
    other,       // not a Damage notification
    nothingNew,  // another's
    earlier,     // ours, made before the last grab began
    fresh,
  };

  // `refused` words the server's refusal for the log.
  std::optional<CaptureError> follow(X11Connection& connection, xcb_drawable_t drawable,
                                     xcb_damage_report_level_t level,
                                     const std::function<std::string(const XcbError&)>& refused);

  bool following() const { return static_cast<bool>(damage_); }
  // `area`, when given, is set to where a change of ours was (with
  // bounding-box reports, all that changed since the last subtract).
  Seen see(const xcb_generic_event_t& event, xcb_rectangle_t* area = nullptr) const;
  // Call as a grab begins: what changes from here on is news again.
  void grabbing(xcb_connection_t* connection);
  // Empties the damage without a grab, so that the next change is reported
  // even where it falls inside what was reported already.
  void listen(xcb_connection_t* connection);

 private:
  XcbDamage damage_;
  std::uint8_t firstEvent_ = 0;
  std::uint32_t subtractSequence_ = 0;
};

}  // namespace fenwright::x11
