#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/expected.h"
#include "platform/unique_fd.h"

namespace fenwright {

class PacketConnection;

// One reply as a PacketConnection sends it.
struct OutgoingPacket {
  std::vector<std::uint8_t> bytes;
  // Opens, at every try, the descriptors that go with the bytes, so that
  // what the peer receives it alone owns. Unset: none go. The error is an
  // errno value (no room for now: tried again), or 0 (gone for good).
  std::function<Expected<std::vector<UniqueFd>, int>()> descriptors;
  // What goes out instead when the descriptors cannot go: they are gone
  // (error 0), or there was no room for them for a whole second (its
  // errno). Unset: the reply is dropped.
  std::function<OutgoingPacket(PacketConnection&, int error)> instead;
};

}  // namespace fenwright
