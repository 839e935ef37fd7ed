#pragma once

#include <cstdint>
#include <string>

#include <xcb/xcb.h>

namespace fenwright::x11 {

struct ExtensionVersion {
  bool present = false;
  std::uint32_t major = 0;
  std::uint32_t minor = 0;

  bool atLeast(std::uint32_t wantMajor, std::uint32_t wantMinor) const {
    return present && (major > wantMajor || (major == wantMajor && minor >= wantMinor));
  }
};

// What one connection's server offers, probed once when it is opened. The
// version queries are also what enables the extensions for the connection.
struct X11Capabilities {
  ExtensionVersion composite;
  ExtensionVersion damage;
  ExtensionVersion xfixes;
  ExtensionVersion shm;
  ExtensionVersion randr;
  std::uint8_t damageFirstEvent = 0;
  std::uint8_t xfixesFirstEvent = 0;
  std::uint8_t randrFirstEvent = 0;
  // On a Unix socket: shared memory and descriptor passing can work.
  bool local = false;

  static X11Capabilities probe(xcb_connection_t* connection);

  // Window capture: Composite with NameWindowPixmap.
  bool canCaptureWindows() const { return composite.atLeast(0, 2); }
  // Changes are reported by Damage; without it streams poll.
  bool reportsDamage() const { return damage.atLeast(1, 0); }
  bool sharesMemory() const { return local && shm.atLeast(1, 2); }
  bool readsCursor() const { return xfixes.atLeast(2, 0); }
  bool listsMonitors() const { return randr.atLeast(1, 5); }

  // "Composite 0.4, DAMAGE 1.1, ..." for the log.
  std::string describe() const;
};

}  // namespace fenwright::x11
